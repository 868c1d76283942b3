#include "tools/host/ConsoleDelegate.h"

#include "tools/host/ConsoleLog.h"

namespace kestrom::headless {

void ConsoleDelegate::setProjectAvailable(bool available) {
  console().info("Project menu items %s", available ? "shown" : "hidden");
}

void ConsoleDelegate::setContentViewController(ContentViewController which) {
  console().info("Showing the %s", which == ContentViewController::loading ? "loading view" : "web view");
}

void ConsoleDelegate::languageChanged() { console().info("The interface language changed"); }

}  // namespace kestrom::headless
