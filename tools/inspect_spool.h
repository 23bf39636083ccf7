#pragma once

namespace orvent {

// `orvent-inspect spool [PREFIX]`: lists the spool files under a prefix read
// as the driver reads `PathForSoob` (default: the working directory) with
// their records, oldest `RecvTime` first, and flags files that are not 24
// bytes or do not start with the event command; when none matches, says what
// it looked for. Takes the arguments after "spool"; returns the exit status
// (0 listed, 1 the folder cannot be read, 2 bad arguments).
int RunInspectSpool(int argc, char** argv);

}  // namespace orvent
