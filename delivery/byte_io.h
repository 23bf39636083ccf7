#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

namespace orvent {

static_assert(std::numeric_limits<double>::is_iec559, "records carry IEEE 754 doubles");

// Writes little-endian fields into a buffer that the caller sized for them.
// Running past the end is a programming error, hence the assertions.
class LittleEndianWriter {
public:
  explicit LittleEndianWriter(std::span<std::uint8_t> out) : out_(out) {}

  void WriteUint8(std::uint8_t v) {
    assert(pos_ < out_.size());
    out_[pos_++] = v;
  }
  void WriteUint16(std::uint16_t v) { WriteLittleEndian(v, 2); }
  void WriteUint32(std::uint32_t v) { WriteLittleEndian(v, 4); }
  void WriteInt32(std::int32_t v) { WriteUint32(static_cast<std::uint32_t>(v)); }
  void WriteUint64(std::uint64_t v) { WriteLittleEndian(v, 8); }
  void WriteDouble(double v) { WriteUint64(std::bit_cast<std::uint64_t>(v)); }
  void WriteBytes(std::span<const std::uint8_t> bytes) {
    assert(bytes.size() <= out_.size() - pos_);
    if (!bytes.empty()) std::memcpy(out_.data() + pos_, bytes.data(), bytes.size());
    pos_ += bytes.size();
  }
  std::size_t Position() const { return pos_; }

private:
  void WriteLittleEndian(std::uint64_t v, int count) {
    for (int i = 0; i < count; ++i) WriteUint8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::span<std::uint8_t> out_;
  std::size_t pos_ = 0;
};

// Reads little-endian fields from untrusted bytes: every read checks what is
// left and reports a short input instead of reading past it.
class LittleEndianReader {
public:
  explicit LittleEndianReader(std::span<const std::uint8_t> in) : in_(in) {}

  bool ReadUint8(std::uint8_t& v) {
    if (Remaining() < 1) return false;
    v = in_[pos_++];
    return true;
  }
  bool ReadUint16(std::uint16_t& v) { return ReadLittleEndian(v); }
  bool ReadUint32(std::uint32_t& v) { return ReadLittleEndian(v); }
  bool ReadInt32(std::int32_t& v) {
    std::uint32_t u = 0;
    if (!ReadUint32(u)) return false;
    v = static_cast<std::int32_t>(u);
    return true;
  }
  bool ReadUint64(std::uint64_t& v) { return ReadLittleEndian(v); }
  bool ReadDouble(double& v) {
    std::uint64_t u = 0;
    if (!ReadUint64(u)) return false;
    v = std::bit_cast<double>(u);
    return true;
  }
  bool ReadBytes(std::span<std::uint8_t> out) {
    if (Remaining() < out.size()) return false;
    if (!out.empty()) std::memcpy(out.data(), in_.data() + pos_, out.size());
    pos_ += out.size();
    return true;
  }
  std::size_t Remaining() const { return in_.size() - pos_; }

private:
  template <typename T>
  bool ReadLittleEndian(T& v) {
    if (Remaining() < sizeof(T)) return false;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(in_[pos_ + i]) << (8 * i));
    pos_ += sizeof(T);
    v = value;
    return true;
  }
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
};

}  // namespace orvent
