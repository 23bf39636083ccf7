#include <gtest/gtest.h>

#include <QImage>
#include <set>

#include "app/link_indicator.h"

namespace orvent {
namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kGreen = qRgb(0, 128, 0);
const QRgb kRed = qRgb(255, 0, 0);

// The interior columns (inside the outline) that the bar marks on row 8.
std::set<int> BarColumns(const QImage& picture, QRgb colour) {
  std::set<int> columns;
  for (int x = 2; x < 14; ++x) {
    if (picture.pixel(x, 8) == colour) columns.insert(x);
  }
  return columns;
}

TEST(LinkIndicator, BarColumnsFollowTheCounter) {
  const std::pair<int, std::set<int>> cases[] = {
      {0, {2, 3, 4}},           // columns 0..4; 0 and 1 fall on the outline
      {11, {11, 12, 13}},       // 11..15; 14 and 15 fall on the outline
      {12, {12, 13}},           // 12..15, column 16 leaves no mark
      {13, {13}},               // 13, 14, 15, 1
      {16, {2, 3, 4}},          // 16, 1, 2, 3, 4
  };
  for (const auto& [counter, interior] : cases) {
    SCOPED_TRACE(counter);
    QImage picture;
    DrawLinkIndicator(picture, true, counter);
    EXPECT_EQ(BarColumns(picture, kGreen), interior);
  }
  EXPECT_EQ(IndicatorBarColumn(13, 4), 1);
  EXPECT_EQ(IndicatorBarColumn(12, 4), 16);
}

TEST(LinkIndicator, ColoursOutlineAndBackground) {
  QImage picture;
  DrawLinkIndicator(picture, false, 11);
  EXPECT_EQ(picture.size(), QSize(16, 16));
  for (int x = 0; x < 16; ++x) {
    EXPECT_EQ(picture.pixel(x, 0), kWhite) << "rows above the outline stay white";
    EXPECT_EQ(picture.pixel(x, 3), kRed);
    EXPECT_EQ(picture.pixel(x, 14), kRed);
    EXPECT_EQ(picture.pixel(x, 15), kWhite);
  }
  EXPECT_EQ(picture.pixel(0, 8), kRed);
  EXPECT_EQ(picture.pixel(15, 8), kRed);
  EXPECT_EQ(picture.pixel(11, 4 + 1), kRed) << "the bar starts at row 5";
  EXPECT_EQ(picture.pixel(11, 12), kWhite) << "and ends before row 12";
  EXPECT_EQ(picture.pixel(10, 8), kWhite);

  DrawLinkIndicator(picture, true, 0);  // redrawn completely: nothing red stays
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) EXPECT_NE(picture.pixel(x, y), kRed);
  }
}

TEST(LinkIndicator, SeventeenStepsBringTheCounterBack) {
  int counter = 0;
  for (int i = 0; i < 17; ++i) counter = AdvanceActivityCounter(counter);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(AdvanceActivityCounter(16), 0);
}

}  // namespace
}  // namespace orvent
