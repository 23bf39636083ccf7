#include "station/rotating_log.h"

#include <utility>

#include "platform/files.h"
#include "platform/paths.h"

namespace orvent {

RotatingLog::RotatingLog(std::string folder, std::string stem, std::uint64_t max_bytes, int kept)
    : folder_(std::move(folder)), stem_(std::move(stem)), max_bytes_(max_bytes), kept_(kept < 0 ? 0 : kept) {}

std::string RotatingLog::FileAt(int index) const {
  return JoinPath(folder_, index == 0 ? stem_ + ".txt" : stem_ + "." + std::to_string(index) + ".txt");
}

void RotatingLog::Rotate() {
  // Oldest first, so that each move finds its new name free: a move never
  // replaces a file. With no older file kept this drops the full one.
  RemoveFile(FileAt(kept_));
  for (int i = kept_ - 1; i >= 0; --i) MoveFileNoReplace(FileAt(i), FileAt(i + 1));
}

bool RotatingLog::Write(std::string_view line) {
  std::string bytes(line);
  bytes += kTextLineEnd;
  // Asked each time, as the file may have been moved or emptied by hand.
  const auto stamp = StampOfFile(FileAt(0));
  // A line longer than the bound still goes whole into a file of its own.
  if (stamp && stamp->Size > 0 && stamp->Size + bytes.size() > max_bytes_) Rotate();
  return !AppendToFile(FileAt(0), bytes);
}

}  // namespace orvent
