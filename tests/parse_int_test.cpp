#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/parse_int.h"

namespace orvent {
namespace {

struct IntCase {
  std::string text;
  std::optional<std::int32_t> value;  // nullopt: does not follow the rule
};

void PrintTo(const IntCase& c, std::ostream* os) {
  *os << '"';
  for (char ch : c.text) {
    if (ch == '\0') *os << "\\0";
    else if (ch == '\t') *os << "\\t";
    else *os << ch;
  }
  *os << "\" -> " << (c.value ? std::to_string(*c.value) : "refused");
}

class IntegerRule : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntegerRule, ReadsOrRefuses) {
  const IntCase& c = GetParam();
  EXPECT_EQ(TryParseInt(c.text), c.value);
  EXPECT_EQ(ParseIntOr(c.text, -77), c.value.value_or(-77));
  if (c.value) {
    EXPECT_EQ(ParseInt(c.text), *c.value);
  } else {
    EXPECT_THROW(ParseInt(c.text), EConvertError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntegerRule,
    ::testing::Values(
        IntCase{"1234", 1234}, IntCase{" 12", 12}, IntCase{"12 ", std::nullopt}, IntCase{"12B4", std::nullopt},
        IntCase{"$1A", 26}, IntCase{"1A", std::nullopt}, IntCase{"-1", -1}, IntCase{"+7", 7},
        IntCase{"", std::nullopt}, IntCase{"   ", std::nullopt}, IntCase{"-", std::nullopt},
        IntCase{"$", std::nullopt}, IntCase{"0x", std::nullopt}, IntCase{"0x10", 16}, IntCase{"0X10", 16},
        IntCase{"x10", 16}, IntCase{"X1f", 31}, IntCase{"-$10", -16}, IntCase{"$FFFFFFFF", -1},
        IntCase{"$000000000001", 1}, IntCase{"$100000000", std::nullopt}, IntCase{"2147483647", 2147483647},
        IntCase{"2147483648", std::nullopt}, IntCase{"-2147483648", INT32_MIN}, IntCase{"-2147483649", std::nullopt},
        IntCase{"99999999999999999999", std::nullopt}, IntCase{"- 1", std::nullopt}, IntCase{"--1", std::nullopt},
        IntCase{"\t1", std::nullopt}, IntCase{std::string("12\0" "9", 4), 12}, IntCase{std::string("\0" "12", 3), std::nullopt},
        IntCase{"007", 7}, IntCase{"0x-1", std::nullopt}));

TEST(IntegerRuleMessage, NamesTheTextUpToItsFirstNul) {
  try {
    ParseInt("0A1");
    FAIL() << "0A1 was read";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'0A1' is not a valid integer value");
  }
  EXPECT_EQ(NotAnIntegerMessage(std::string("1\0" "2", 3)), "'1' is not a valid integer value");
}

}  // namespace
}  // namespace orvent
