#include "platform/log/GuardedCallback.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/log/FakeLogSink.h"

namespace kestrom::log {
namespace {

// A GLib source whose callback throws: the exception stays on our side of the trampoline, the
// source answers its fallback (removed), and the loop goes on to the next source.
TEST(GuardedCallbackTest, KeepsAThrowingSourceOutOfGLibAndLogsIt) {
  ScopedRecording recording;
  GMainContext* context = g_main_context_new();
  struct State {
    int calls = 0;
    bool nextRan = false;
  } state;
  GSource* throwing = g_idle_source_new();
  g_source_set_callback(
      throwing,
      [](gpointer data) -> gboolean {
        return guardedCallback("throwing idle", gboolean(G_SOURCE_REMOVE), [data]() -> gboolean {
          ++static_cast<State*>(data)->calls;
          throw std::runtime_error("disk on fire");
        });
      },
      &state, nullptr);
  g_source_attach(throwing, context);
  g_source_unref(throwing);
  GSource* next = g_idle_source_new();
  g_source_set_callback(
      next,
      [](gpointer data) -> gboolean {
        guardedCallback("next idle", [data] { static_cast<State*>(data)->nextRan = true; });
        return G_SOURCE_REMOVE;
      },
      &state, nullptr);
  g_source_attach(next, context);
  g_source_unref(next);

  for (int i = 0; i < 10 && g_main_context_iteration(context, FALSE); ++i) {
  }
  g_main_context_unref(context);

  EXPECT_EQ(state.calls, 1);  // removed after the throw, not called again
  EXPECT_TRUE(state.nextRan);
  EXPECT_TRUE(recording.sink().contains("callbacks", "The callback throwing idle threw: disk on fire"));
}

TEST(GuardedCallbackTest, AnswersTheBodysValueOrTheFallback) {
  ScopedRecording recording;
  EXPECT_EQ(guardedCallback("value", 0, [] { return 7; }), 7);
  EXPECT_EQ(guardedCallback("value", -1, []() -> int { throw 42; }), -1);
  EXPECT_TRUE(recording.sink().contains("callbacks", "The callback value threw: a non-standard exception"));
}

}  // namespace
}  // namespace kestrom::log
