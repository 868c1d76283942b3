#include "platform/launcher/Launcher.h"

#include <gio/gio.h>

#include "platform/dispatch/Queue.h"
#include "platform/log/GuardedCallback.h"

namespace kestrom::launcher {

namespace {

class GioLauncher final : public Launcher {
 public:
  void open(const std::string& uri, std::function<void(bool)> completion) override {
    dispatch::mainQueue()->async([uri, completion = std::move(completion)]() mutable {
      auto* pending = new std::function<void(bool)>(std::move(completion));
      g_app_info_launch_default_for_uri_async(
          uri.c_str(), nullptr, nullptr,
          [](GObject*, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void(bool)>> done(static_cast<std::function<void(bool)>*>(data));
            GError* error = nullptr;
            bool opened = g_app_info_launch_default_for_uri_finish(result, &error);
            if (error) g_error_free(error);
            log::guardedCallback("link launch completion", [&] {
              if (*done) (*done)(opened);
            });
          },
          pending);
    });
  }
};

}  // namespace

std::shared_ptr<Launcher> makeGioLauncher() { return std::make_shared<GioLauncher>(); }

}  // namespace kestrom::launcher
