#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace orvent {

// Reads the whole file into `out`. An empty error code on success.
std::error_code ReadWholeFile(const std::string& path, std::string& out);

// Appends the bytes to the file, creating it when missing, and closes it
// again. Other programs may hold the file open meanwhile.
std::error_code AppendToFile(const std::string& path, std::string_view bytes);

// Replaces the file's contents as one step: the bytes go to a temporary file
// beside it, are flushed to disk and renamed over it, so a crash leaves either
// the old file or the new one. Keeps the old file's permission bits.
std::error_code ReplaceFileContents(const std::string& path, std::string_view bytes);

// Creates `path`, which must not exist yet (std::errc::file_exists then),
// writes the bytes and flushes them to disk before closing. A file that could
// not be written whole is removed again.
std::error_code WriteNewFileFlushed(const std::string& path, std::string_view bytes);

// Gives the file `from` the name `to` in one step, unless `to` exists already:
// then std::errc::file_exists, and both files stay as they are. Both names
// lie on the same file system.
std::error_code MoveFileNoReplace(const std::string& from, const std::string& to);

// Flushes the folder that holds `path` to disk, so that a name just given to
// a file survives a power loss.
std::error_code FlushFolderOf(const std::string& path);

std::error_code RemoveFile(const std::string& path);

// Creates the folder `path` unless it is there already; its parent must
// exist. No error when it was there.
std::error_code MakeFolder(const std::string& path);

// How a line of a text file for people ends on this platform: "\n", or
// "\r\n" on Windows, where Notepad of older systems shows nothing else.
extern const char kTextLineEnd[];

// Whether ReadFileUpTo reads what a symbolic link points to.
enum class LinkRule { Refuse, Follow };

// Reads a regular file of at most `limit` bytes into `out`. A larger file
// gives std::errc::file_too_large, anything but a regular file (a folder, a
// pipe, a device, and a symbolic link unless it is followed to a regular
// file) std::errc::invalid_argument; neither is read, and the call never
// waits for a writer.
std::error_code ReadFileUpTo(const std::string& path, std::size_t limit, std::string& out,
                             LinkRule links = LinkRule::Refuse);

// What tells one version of a file from the next: its size and the time it
// was last written, in nanoseconds since 1970-01-01 UTC. Links are followed.
struct FileStamp {
  std::uint64_t Size = 0;
  std::int64_t WrittenNs = 0;
  bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> StampOfFile(const std::string& path);

// Whether `path` names a folder (links followed).
bool IsFolder(const std::string& path);

// Whether files can be created in `folder`: std::errc::no_such_file_or_directory
// when it is missing, std::errc::not_a_directory when it is something else,
// the system's refusal (no permission, a read-only file system) when it is
// known beforehand. An empty `folder` means the working directory.
std::error_code CheckFolderWritable(const std::string& folder);

// The bytes this program may still write on the file system of `folder`.
std::optional<std::uint64_t> FreeSpaceOf(const std::string& folder);

// The files of `path_prefix` + "*" + `suffix`: the folder is the part of the
// prefix up to its last separator (the working directory when there is
// none), and a name matches when it starts with the rest of the prefix and
// ends with the suffix. Names are compared byte for byte.
//
// Calls `visit` with the name of each match as the folder lists it (the name
// alone, without the folder), in the folder's own order. False when the
// folder cannot be read.
bool VisitMatches(const std::string& path_prefix, std::string_view suffix,
                  const std::function<void(std::string_view name)>& visit);

// The paths of every match (the folder part of the prefix, FolderPart, then
// the name), in the folder's own order; nullopt when the folder cannot be
// read. The prefix itself followed by the name would repeat the start of the
// name when the prefix does not end in a separator.
std::optional<std::vector<std::string>> ListMatches(const std::string& path_prefix, std::string_view suffix);

}  // namespace orvent
