#pragma once

namespace orvent {

// Makes every later wait of this thread's event loop (PollEventLoop) also end
// for the thread's window messages and hand them to their windows, TranslateMessage and
// dialog navigation included; a WM_QUIT ends the loop's Run. Called by a
// window program on the thread that runs its loop, before it runs; the
// queue then takes one place of the wait, so one handle fewer can be watched.
void TakeWindowMessagesInLoopWait();

}  // namespace orvent
