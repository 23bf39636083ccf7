#pragma once

namespace orvent {

// Whether this process can show windows to a person: a desktop session's
// display on POSIX (DISPLAY or WAYLAND_DISPLAY), an interactive window
// station on Windows (not a service's). Without one the window program runs
// offscreen.
bool DisplayAvailable();

}  // namespace orvent
