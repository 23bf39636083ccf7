#include "delivery/event_record.h"

#include "delivery/byte_io.h"

namespace orvent {

SoobBytes Serialize(const stru_soob& record) {
  SoobBytes out{};
  LittleEndianWriter w(out);
  w.WriteInt32(record.Number);
  w.WriteUint8(record.ZoneLength);
  w.WriteBytes(record.ZoneChars);
  w.WriteUint8(record.Razdel);
  w.WriteUint8(record.Kind);
  w.WriteDouble(record.RecvTime);
  w.WriteUint8(record.Mark);
  assert(w.Position() == stru_soob::kSize);
  return out;
}

std::optional<stru_soob> DeserializeSoob(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != stru_soob::kSize) return std::nullopt;
  stru_soob r;
  LittleEndianReader in(bytes);
  const bool ok = in.ReadInt32(r.Number) && in.ReadUint8(r.ZoneLength) && in.ReadBytes(r.ZoneChars) &&
                  in.ReadUint8(r.Razdel) && in.ReadUint8(r.Kind) && in.ReadDouble(r.RecvTime) &&
                  in.ReadUint8(r.Mark);
  if (!ok) return std::nullopt;
  return r;
}

}  // namespace orvent
