#include "platform/console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/service_notify.h"

namespace orvent {

void PrepareConsoleOutput() {}

const bool kSlashAsksHelp = false;

bool StandardErrorIsJournal() {
  struct stat info {};
  if (::fstat(STDERR_FILENO, &info) != 0) return false;
  return JournalStreamMatches(std::getenv("JOURNAL_STREAM"), static_cast<unsigned long long>(info.st_dev),
                              static_cast<unsigned long long>(info.st_ino));
}

}  // namespace orvent
