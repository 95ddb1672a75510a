// The main thread's message loop: takes the window's messages one by one, answers those that
// were sent, and fires timer 1 every two seconds while it runs. Ends once Close has posted the
// quit.
#pragma once

#include "platform/Clock.h"
#include "platform/MessageQueue.h"
#include "shell/MainWindow.h"

namespace drovn::shell {

// Gives the quit code.
int runMessageLoop(MainWindow& window, platform::MessageQueue& queue, platform::Clock& clock);

}  // namespace drovn::shell
