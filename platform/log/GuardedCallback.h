#pragma once
// The one way C code (GLib sources, GTK and WebKit signals, GIO completions) calls back into
// ours: an exception never crosses into C, where unwinding through GLib's frames is undefined.
// It is logged with the callback's name, and the callback answers its fallback instead.
//
//   static gboolean step(gpointer data) {
//     return log::guardedCallback("Fade step", G_SOURCE_REMOVE, [&] { ... return G_SOURCE_CONTINUE; });
//   }

#include <exception>
#include <type_traits>
#include <utility>

namespace kestrom::log {

/// Logs that `body` of the callback `where` threw (`what`: the exception's text). Never throws.
void reportEscapedException(const char* where, const char* what) noexcept;

/// Runs `body` and returns what it returns, or `fallback` when it throws.
template <class R, class F>
R guardedCallback(const char* where, R fallback, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::exception& e) {
    reportEscapedException(where, e.what());
  } catch (...) {
    reportEscapedException(where, "a non-standard exception");
  }
  return fallback;
}

/// Runs `body`, which returns nothing; an exception ends it.
template <class F>
void guardedCallback(const char* where, F&& body) noexcept {
  static_assert(std::is_void_v<std::invoke_result_t<F>>, "give a fallback for a callback that returns a value");
  try {
    std::forward<F>(body)();
  } catch (const std::exception& e) {
    reportEscapedException(where, e.what());
  } catch (...) {
    reportEscapedException(where, "a non-standard exception");
  }
}

}  // namespace kestrom::log
