#pragma once

namespace orvent {

// The status lines are UTF-8. A terminal on POSIX takes them as they are; a
// Windows console shows them right only once told that its output is UTF-8.
void PrepareConsoleOutput();

// Whether "/?" asks a program for its usage, as it does the system's own
// commands: on Windows.
extern const bool kSlashAsksHelp;

}  // namespace orvent
