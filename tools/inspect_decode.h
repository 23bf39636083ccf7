#pragma once

namespace orvent {

// `orvent-inspect decode [--ini FILE] [--time "YYYY-MM-DD HH:MM:SS.mmm"] LINE`;
// argv holds the words after "decode". Returns the process's exit status.
int RunInspectDecode(int argc, char** argv);

}  // namespace orvent
