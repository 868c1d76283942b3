#pragma once
// Stand-ins the server tests give the local HTTP server: a file delegate that fails at once (runs
// without a window), a projects handler that finds nothing, and the server's own listening socket
// found by its port, to break it as a failing system would.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "KestromKit/server/ProjectRequestHandler.h"
#include "KestromKit/server/WebServerFileDelegate.h"

namespace kestrom::test {

class FailingWebServerFileDelegate final : public WebServerFileDelegate {
 public:
  void openFileForWebServer(std::vector<std::string>,
                            std::function<void(Expected<OpenedFile, LoadError>)> completion) override {
    completion(makeUnexpected(LoadError::readError));
  }
  void saveFileForWebServer(std::filesystem::path,
                            std::function<void(Expected<void, SaveError>)> completion) override {
    completion(makeUnexpected(SaveError::moveError));
  }
};

class NotFoundProjectRequestHandler final : public ProjectRequestHandler {
 public:
  WebServerResponse handle(const WebServerRequest&) override { return WebServerResponse::notFound(); }
};

/// The descriptor of this process's listening TCP socket on `port`, or -1.
inline int listeningSocketOn(std::uint16_t port) {
  std::vector<int> fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') fds.push_back(std::atoi(entry->d_name));
    }
    ::closedir(dir);
  }
  for (int fd : fds) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) continue;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET &&
        ntohs(address.sin_port) == port)
      return fd;
  }
  return -1;
}

}  // namespace kestrom::test
