#include "shell/glib_queue.h"

#include <glib.h>

namespace {
gboolean runOnce(gpointer data) {
  (*static_cast<Job*>(data))();
  return G_SOURCE_REMOVE;
}
void dropJob(gpointer data) { delete static_cast<Job*>(data); }

gboolean runTick(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_CONTINUE;
}
void dropTick(gpointer data) { delete static_cast<std::function<void()>*>(data); }
}  // namespace

void GlibMainQueue::post(Job job) {
  // An idle source, not g_main_context_invoke: that would run the job at once when called
  // from the main thread, inside whatever state change is half done.
  g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, new Job(std::move(job)), dropJob);
}

void everySeconds(double seconds, std::function<void()> tick) {
  g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(seconds * 1000), runTick,
                     new std::function<void()>(std::move(tick)), dropTick);
}
