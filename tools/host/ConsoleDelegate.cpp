#include "tools/host/ConsoleDelegate.h"

#include "platform/log/Log.h"

namespace kestrom::headless {

namespace {
const log::Logger& console() {
  static const log::Logger logger("kestrom-host", "Delegate");
  return logger;
}
}  // namespace

void ConsoleDelegate::setProjectAvailable(bool available) {
  console().info("Project menu items %s", available ? "shown" : "hidden");
}

void ConsoleDelegate::setContentViewController(ContentViewController which) {
  console().info("Showing the %s", which == ContentViewController::loading ? "loading view" : "web view");
}

void ConsoleDelegate::languageChanged() { console().info("The interface language changed"); }

}  // namespace kestrom::headless
