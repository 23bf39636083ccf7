#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace orvent {

// The close-code question: a modal dialog with a field that shows stars.
// What was typed, or nullopt when it was cancelled.
std::optional<std::string> AskCloseCodeDialog(HINSTANCE instance, HWND owner);

// Closes the modal windows this thread has up (the question, message
// boxes): an orderly end waits for nobody.
void CloseThreadDialogs();

}  // namespace orvent
