// Handing work from the transfer threads to the main loop, where jobs are kept.
#pragma once

#include <functional>

// Queues the work on the default main context; it runs there, never on the caller's thread.
void RunOnMainThread(std::function<void()> work);
