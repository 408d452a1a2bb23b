// Running the GLib main loop in tests until something happens, for a bounded time.
#pragma once

#include <glib.h>

#include <functional>

// Runs the default main context until done() or the time-out; true when done() became true.
inline bool RunLoopUntil(const std::function<bool()>& done, unsigned int timeoutMilliseconds = 5000)
{
    const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeoutMilliseconds) * 1000;
    while (!done()) {
        if (g_get_monotonic_time() > deadline)
            return false;
        g_main_context_iteration(nullptr, false);
        g_usleep(1000);
    }
    return true;
}
