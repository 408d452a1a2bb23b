#include "MainThread.h"

#include <glib.h>

namespace {
typedef std::function<void()> Work;

gboolean RunWork(gpointer data)
{
    (*static_cast<Work*>(data))();
    return G_SOURCE_REMOVE;
}

void DeleteWork(gpointer data) { delete static_cast<Work*>(data); }
}  // namespace

void RunOnMainThread(std::function<void()> work)
{
    // An idle source at default priority: queued like an arriving event, whichever thread asks.
    g_idle_add_full(G_PRIORITY_DEFAULT, &RunWork, new Work(std::move(work)), &DeleteWork);
}
