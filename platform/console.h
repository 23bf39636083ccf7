#pragma once

namespace orvent {

// The status lines are UTF-8. A terminal on POSIX takes them as they are; a
// Windows console shows them right only once told that its output is UTF-8.
void PrepareConsoleOutput();

// Whether standard error is the system journal's stream
// (JournalStreamMatches in platform/service_notify.h): only then may a line
// carry its priority in front. Never on Windows.
bool StandardErrorIsJournal();

// Whether "/?" asks a program for its usage, as it does the system's own
// commands: on Windows.
extern const bool kSlashAsksHelp;

}  // namespace orvent
