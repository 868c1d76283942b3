// Serves one folder with the host's HTTP server, for load tests against other servers
// (bench/http_vs_nginx.sh): the folder is the web root, its "content" sub-folder the downloaded
// content. Asks every request for a per-launch secret as the host does. Prints the port on the
// first line of standard output and the Cookie header value ("kestrom-session=…") on the second,
// then serves until SIGINT or SIGTERM.
//
//   http_serve FOLDER

#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tests/support/FolderContent.h"
#include "KestromKit/server/ContentManifestSource.h"
#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/server/WebServer.h"
#include "platform/log/Log.h"

namespace {

using namespace kestrom;

class PortPrinter final : public WebServerDelegate {
 public:
  explicit PortPrinter(std::string cookie) : cookie_(std::move(cookie)) {}
  void webServerDidStart(std::int32_t port) override {
    std::printf("%d\n%s\n", port, cookie_.c_str());
    std::fflush(stdout);
  }

 private:
  std::string cookie_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::filesystem::path folder = std::filesystem::absolute(argv[1]);

  // The main thread only waits for the signal; every other thread leaves it to the main thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  WebServerServices services;
  services.webroot = folder;
  services.content = std::make_shared<test::FolderContent>(folder / "content");
  services.temporaryFolder = std::filesystem::temp_directory_path();
  services.session = std::make_shared<SessionSecret>();
  auto delegate = std::make_shared<PortPrinter>(services.session->cookie());
  WebServer server(std::move(services), false);
  server.setDelegate(delegate);
  server.start(0);

  int received = 0;
  sigwait(&signals, &received);
  server.stop();
  return 0;
}
