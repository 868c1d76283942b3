#pragma once
// Stand-ins the server tests give the local HTTP server: a file delegate that fails at once (runs
// without a window), a projects handler that finds nothing, and the server's own sockets found by
// their port: the listening one, to break it as a failing system would, and the connections it
// holds, to count them.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
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

/// This process's TCP sockets whose own end is `port`: listening ones when `listening`, else the
/// connections accepted on it (the client ends of connections to `port` have ports of their own).
inline std::vector<int> socketsOn(std::uint16_t port, bool listening) {
  std::vector<int> fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') fds.push_back(std::atoi(entry->d_name));
    }
    ::closedir(dir);
  }
  std::vector<int> found;
  for (int fd : fds) {
    int accepting = 0;
    socklen_t size = sizeof accepting;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) != 0 || (accepting != 0) != listening) continue;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET &&
        ntohs(address.sin_port) == port)
      found.push_back(fd);
  }
  return found;
}

/// The descriptor of this process's listening TCP socket on `port`, or -1.
inline int listeningSocketOn(std::uint16_t port) {
  const auto found = socketsOn(port, true);
  return found.empty() ? -1 : found.front();
}

/// The most connections the server on `port` held at once over `during`, looked at every few ms.
inline std::size_t mostConnectionsHeldOn(std::uint16_t port, std::chrono::milliseconds during) {
  std::size_t most = 0;
  for (const auto end = std::chrono::steady_clock::now() + during; std::chrono::steady_clock::now() < end;) {
    most = std::max(most, socketsOn(port, false).size());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return most;
}

}  // namespace kestrom::test
