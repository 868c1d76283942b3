// The headless host: the kit on a bundle, without a window. Both servers run as in the desktop
// application; the page may connect from a browser or a test. Prints one line
// "ports ws=<port> http=<port>" on stdout once both servers listen; stops cleanly on SIGTERM or
// SIGINT.
//
//   kestrom-host [--bundle DIR] [--verbose]

#include <glib-unix.h>
#include <glib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/host/ConsoleMessageHandlers.h"
#include "KestromKit/hubs/LinuxHubTransports.h"
#include "KestromKit/base/AtomicFile.h"
#include "platform/bundle/Bundle.h"
#include "platform/log/Fatal.h"
#include "tools/host/ConsoleDelegate.h"

namespace {

std::filesystem::path defaultBundle(const char* program) {
  if (const char* dir = std::getenv("KESTROM_BUNDLE_DIR"); dir && *dir) return dir;
  auto installed = kestrom::bundle::installedBundleLocation(program);
  if (std::filesystem::is_directory(installed)) return installed;
  return std::filesystem::path(KESTROM_SOURCE_DIR) / "bundle";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrom;
  std::vector<std::string> arguments(argv, argv + argc);
  std::filesystem::path bundleDir = defaultBundle(argv[0]);
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "--bundle" && i + 1 < arguments.size()) bundleDir = arguments[++i];
  }
  bundle::Bundle::setMain(bundleDir);
  const auto& bundle = bundle::Bundle::main();
  auto configFile = bundle.url("variant/content/appconfig/appconfig", "json");
  if (!configFile) log::fatalError("kestrom-host", "No application configuration in " + bundleDir.string());
  auto text = AtomicFile::read(*configFile);
  if (!text) log::fatalError("kestrom-host", "Unable to read " + configFile->string());

  auto delegate = std::make_shared<headless::ConsoleDelegate>(bundleDir);
  KestromKitEnvironment environment;
  environment.localConfig = LocalConfig::read(bundleDir / "KestromKit.plist");
  environment.consoleScript = readConsoleScript(bundleDir);
  environment.arguments = arguments;
  environment.makeHubTransports = makeLinuxHubTransports;
  auto kit = KestromKit::create(*text, delegate, {}, PlatformType::macos, std::move(environment));
  kit->start();

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  auto quit = +[](gpointer data) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
  };
  g_unix_signal_add(SIGTERM, quit, loop);
  g_unix_signal_add(SIGINT, quit, loop);
  struct Ports {
    std::shared_ptr<KestromKit> kit;
  } ports{kit};
  g_timeout_add(
      5,
      +[](gpointer data) -> gboolean {
        // The ports as the servers reported them once listening, as the web view learns them.
        auto& controller = static_cast<Ports*>(data)->kit->webViewController();
        auto ws = controller->webSocketPort();
        auto http = controller->webServerPort();
        if (!ws || !http) return G_SOURCE_CONTINUE;
        std::printf("ports ws=%u http=%d\n", *ws, *http);
        std::fflush(stdout);
        return G_SOURCE_REMOVE;
      },
      &ports);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  // Nothing is left to save: the stores write their files when they change.
  ports.kit.reset();
  kit.reset();
  std::fprintf(stderr, "kestrom-host: stopped\n");
  return 0;
}
