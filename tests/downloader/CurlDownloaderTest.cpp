// The libcurl downloader against a real HTTP peer on the loopback: files land whole or not at all.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/downloader/CurlDownloader.h"
#include "tests/downloader/DownloadTestSupport.h"
#include "tests/downloader/HttpPeer.h"

namespace kestrom::test {
namespace {

using namespace std::chrono_literals;
using downloader::DownloadErrorKind;
using downloader::DownloadOptions;
using downloader::makeCurlDownloader;

// A proxy set in the environment must not take the loopback traffic of these tests.
const bool kNoProxy = [] { return ::setenv("no_proxy", "127.0.0.1,localhost", 1) == 0; }();

constexpr std::size_t kFileSize = 1 << 20;
constexpr std::uint64_t kLargeSize = std::uint64_t{200} << 20;

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

/// A listening socket whose accept queue is full, so a further connect hangs unanswered.
class FullListener {
 public:
  FullListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 16 && !full_; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      clients_.push_back(fd);
      pollfd p{fd, POLLOUT, 0};
      full_ = ::poll(&p, 1, 300) == 0;  // this one was not answered: the queue is full
    }
  }
  ~FullListener() {
    for (int fd : clients_) ::close(fd);
    ::close(listener_);
  }
  bool full() const { return full_; }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  bool full_ = false;
  std::vector<int> clients_;
};

class CurlDownloaderTest : public ::testing::Test {
 protected:
  CurlDownloaderTest() : file_(pattern(kFileSize)) {
    peer_.route("/file", [this](HttpPeer::Connection& c) {
      c.sendHead(200, {"Content-Length: " + std::to_string(file_.size())}) && c.send(file_);
    });
    for (int n = 0; n <= 6; ++n) {
      const std::string next = n == 0 ? "/file" : "/redirect/" + std::to_string(n - 1);
      peer_.route("/redirect/" + std::to_string(n), [next](HttpPeer::Connection& c) {
        c.sendHead(302, {"Location: " + next, "Content-Length: 0"});
      });
    }
    peer_.route("/to-file", [](HttpPeer::Connection& c) {
      c.sendHead(302, {"Location: file:///etc/passwd", "Content-Length: 0"});
    });
    peer_.route("/to-ftp", [this](HttpPeer::Connection& c) {
      c.sendHead(302, {"Location: ftp://127.0.0.1:" + std::to_string(peer_.port()) + "/file", "Content-Length: 0"});
    });
    for (int status : {404, 500}) {
      peer_.route("/status/" + std::to_string(status), [status](HttpPeer::Connection& c) {
        c.sendHead(status, {"Content-Length: 5"}) && c.send("error");
      });
    }
    peer_.route("/no-location", [](HttpPeer::Connection& c) {
      c.sendHead(302, {"Content-Length: 4"}) && c.send("moved");
    });
    peer_.route("/truncated", [this](HttpPeer::Connection& c) {
      c.sendHead(200, {"Content-Length: " + std::to_string(file_.size())}) && c.send(file_.substr(0, file_.size() / 2));
    });
    // Chunked bodies, with a Content-Length beside the Transfer-Encoding (which overrides it).
    auto chunked = [](HttpPeer::Connection& c, std::size_t announced, const std::string& body) {
      if (!c.sendHead(200, {"Transfer-Encoding: chunked", "Content-Length: " + std::to_string(announced)})) return;
      for (std::size_t at = 0; at < body.size(); at += 7) {
        const auto piece = body.substr(at, 7);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        if (!c.send(size) || !c.send(piece) || !c.send("\r\n")) return;
      }
      c.send("0\r\n\r\n");
    };
    peer_.route("/chunked-overrun", [chunked](HttpPeer::Connection& c) { chunked(c, 10, std::string(40, 'o')); });
    peer_.route("/chunked-announced", [chunked](HttpPeer::Connection& c) { chunked(c, 40, std::string(40, 'c')); });
    // A plain body with more bytes behind it than its Content-Length says.
    peer_.route("/overlong", [](HttpPeer::Connection& c) {
      c.sendHead(200, {"Content-Length: 5"}) && c.send("first") && c.send(std::string(1000, 'x'));
    });
    peer_.route("/unknown-length", [this](HttpPeer::Connection& c) {
      // No length: the body ends when the connection closes.
      if (!c.sendHead(200, {})) return;
      for (int i = 0; i < 4 && c.send(file_); ++i) {
      }
    });
    peer_.route("/slow", [](HttpPeer::Connection& c) {
      if (!c.sendHead(200, {"Content-Length: 100000"})) return;
      for (int i = 0; i < 600 && c.idle(50) && c.send("x"); ++i) {
      }
    });
    peer_.route("/stall", [this](HttpPeer::Connection& c) {
      if (!c.sendHead(200, {"Content-Length: " + std::to_string(10 * file_.size())}) || !c.send(file_)) return;
      for (int i = 0; i < 1200 && c.idle(50); ++i) {
      }
    });
    peer_.route("/large", [this](HttpPeer::Connection& c) {
      if (auto hash = sendStream(c, kLargeSize)) largeHash_ = *hash;
    });
  }

  /// Downloads `path` of the peer into `destination` and waits for the completion.
  downloader::DownloadResult fetch(downloader::Downloader& d, const std::string& url,
                                   const std::filesystem::path& destination) {
    Outcome outcome;
    d.download(url, destination, nullptr, outcome.handler());
    auto result = outcome.wait();
    if (!result) {
      ADD_FAILURE() << "no completion for " << url;
      return makeUnexpected(downloader::DownloadError{});
    }
    return *result;
  }

  std::string file_;
  std::atomic<std::uint64_t> largeHash_{0};
  TemporaryFolder folder_;
  HttpPeer peer_;  // last: stops before the members its handlers use go away
};

TEST_F(CurlDownloaderTest, DeliversFilesWholeReplacingTheDestination) {
  auto downloader = makeCurlDownloader();
  writeFile(folder_ / "a.bin", "old");

  // Three at once, through one thread; one of them follows five redirects (the most allowed).
  Outcome a, b, c;
  downloader->download(peer_.url("/file"), folder_ / "a.bin", a.progressHandler(), a.handler());
  downloader->download(peer_.url("/redirect/4"), folder_ / "b.bin", nullptr, b.handler());
  downloader->download(peer_.url("/unknown-length"), folder_ / "c.bin", nullptr, c.handler());
  for (auto* outcome : {&a, &b, &c}) {
    auto result = outcome->wait();
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(result->has_value()) << result->error().message;
  }
  EXPECT_EQ(readFile(folder_ / "a.bin"), file_);
  EXPECT_EQ(readFile(folder_ / "b.bin"), file_);
  EXPECT_EQ(readFile(folder_ / "c.bin"), file_ + file_ + file_ + file_);
  EXPECT_EQ(folder_.names(), (std::vector<std::string>{"a.bin", "b.bin", "c.bin"}));
  EXPECT_EQ(a.calls(), 1);

  // Progress names the announced length and never more than arrived.
  if (auto progress = a.lastProgress()) {
    EXPECT_EQ(progress->expected, std::optional<std::uint64_t>(kFileSize));
    EXPECT_LE(progress->received, kFileSize);
  }

  // The file is readable like any other the user makes (mkstemp alone would leave it 0600).
  struct stat info {};
  ASSERT_EQ(::stat((folder_ / "a.bin").c_str(), &info), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(CurlDownloaderTest, FailuresLeaveTheDestinationAsItWas) {
  DownloadOptions options;
  options.maxFileSize = 2 * kFileSize;  // /unknown-length sends four files' worth
  auto downloader = makeCurlDownloader(options);
  DownloadOptions small;
  small.maxFileSize = kFileSize / 2;  // below the announced length of /file
  auto strict = makeCurlDownloader(small);

  int closedPort = 0;
  {
    HttpPeer gone;
    closedPort = gone.port();
  }
  const std::string https = "https://127.0.0.1:" + std::to_string(peer_.port()) + "/file";
  struct Case {
    std::string url;
    DownloadErrorKind kind;
    long status;
    downloader::Downloader* downloader;
  };
  const std::vector<Case> cases = {
      {peer_.url("/status/404"), DownloadErrorKind::httpStatus, 404, downloader.get()},
      {peer_.url("/status/500"), DownloadErrorKind::httpStatus, 500, downloader.get()},
      {peer_.url("/no-location"), DownloadErrorKind::httpStatus, 302, downloader.get()},
      {peer_.url("/redirect/5"), DownloadErrorKind::redirect, 302, downloader.get()},
      {peer_.url("/to-file"), DownloadErrorKind::redirect, 302, downloader.get()},
      {peer_.url("/to-ftp"), DownloadErrorKind::redirect, 302, downloader.get()},
      {peer_.url("/truncated"), DownloadErrorKind::incomplete, 200, downloader.get()},
      {peer_.url("/unknown-length"), DownloadErrorKind::tooLarge, 200, downloader.get()},
      {peer_.url("/chunked-overrun"), DownloadErrorKind::overrun, 200, downloader.get()},
      {peer_.url("/file"), DownloadErrorKind::tooLarge, 200, strict.get()},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/file", DownloadErrorKind::connection, 0,
       downloader.get()},
      {https, DownloadErrorKind::tls, 0, downloader.get()},
      {"ftp://127.0.0.1:" + std::to_string(peer_.port()) + "/file", DownloadErrorKind::invalidURL, 0,
       downloader.get()},
      {"file:///etc/passwd", DownloadErrorKind::invalidURL, 0, downloader.get()},
      {"not a url", DownloadErrorKind::invalidURL, 0, downloader.get()},
  };
  const auto destination = folder_ / "file.bin";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    writeFile(destination, "old");
    auto result = fetch(*c.downloader, c.url, destination);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, c.kind) << result.error().message;
    EXPECT_EQ(result.error().httpStatus, c.status) << result.error().message;
    EXPECT_EQ(result.error().message.rfind("Could not download " + c.url + ": ", 0), 0u) << result.error().message;
    EXPECT_EQ(readFile(destination), "old");
    EXPECT_EQ(folder_.names(), std::vector<std::string>{"file.bin"});
  }

  // A destination whose folder is missing, or which is a folder: nothing is created anywhere.
  std::filesystem::create_directory(folder_ / "folder");
  for (const auto& target : {folder_ / "missing" / "file.bin", folder_ / "folder"}) {
    SCOPED_TRACE(target);
    auto result = fetch(*downloader, peer_.url("/file"), target);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, DownloadErrorKind::file) << result.error().message;
    EXPECT_EQ(folder_.names(), (std::vector<std::string>{"file.bin", "folder"}));
    EXPECT_TRUE(std::filesystem::is_empty(folder_ / "folder"));
  }
}

TEST_F(CurlDownloaderTest, NoByteBeyondTheAnnouncedLengthReachesTheFile) {
  auto downloader = makeCurlDownloader();
  const auto destination = folder_ / "file.bin";
  // A plain body ends at its Content-Length: what the peer sends behind it is not the file's.
  auto overlong = fetch(*downloader, peer_.url("/overlong"), destination);
  ASSERT_TRUE(overlong.has_value()) << overlong.error().message;
  EXPECT_EQ(readFile(destination), "first");
  // A chunked body within the length announced beside it is delivered whole...
  auto within = fetch(*downloader, peer_.url("/chunked-announced"), destination);
  ASSERT_TRUE(within.has_value()) << within.error().message;
  EXPECT_EQ(readFile(destination), std::string(40, 'c'));
  // ...one that runs past it fails, and leaves the file as it was and no partial file.
  auto overrun = fetch(*downloader, peer_.url("/chunked-overrun"), destination);
  ASSERT_FALSE(overrun.has_value());
  EXPECT_EQ(overrun.error().kind, DownloadErrorKind::overrun);
  EXPECT_NE(overrun.error().message.find("more than the 10 bytes it announced"), std::string::npos)
      << overrun.error().message;
  EXPECT_EQ(readFile(destination), std::string(40, 'c'));
  EXPECT_EQ(folder_.names(), std::vector<std::string>{"file.bin"});
}

TEST_F(CurlDownloaderTest, StalledAndUnansweredTransfersTimeOut) {
  DownloadOptions options;
  options.stallTime = 1s;
  options.stallBytesPerSecond = 1000;  // /slow drips about 20 bytes a second
  options.connectTimeout = 500ms;
  auto downloader = makeCurlDownloader(options);
  const auto destination = folder_ / "file.bin";
  writeFile(destination, "old");

  auto slow = fetch(*downloader, peer_.url("/slow"), destination);
  ASSERT_FALSE(slow.has_value());
  EXPECT_EQ(slow.error().kind, DownloadErrorKind::timedOut) << slow.error().message;

  FullListener full;
  if (full.full()) {
    auto unanswered = fetch(*downloader, "http://127.0.0.1:" + std::to_string(full.port()) + "/file", destination);
    ASSERT_FALSE(unanswered.has_value());
    EXPECT_EQ(unanswered.error().kind, DownloadErrorKind::timedOut) << unanswered.error().message;
  } else {
    ADD_FAILURE() << "could not fill a listener's accept queue; the connect time-out went untested";
  }
  EXPECT_EQ(readFile(destination), "old");
  EXPECT_EQ(folder_.names(), std::vector<std::string>{"file.bin"});
}

TEST_F(CurlDownloaderTest, CancelStopsARunningDownloadAndCompletesItOnce) {
  auto downloader = makeCurlDownloader();
  const auto destination = folder_ / "file.bin";
  writeFile(destination, "old");

  Outcome outcome;
  const auto id = downloader->download(peer_.url("/stall"), destination, outcome.progressHandler(), outcome.handler());
  ASSERT_TRUE(outcome.waitForProgress());
  EXPECT_EQ(folder_.names().size(), 2u);  // the destination and the temporary file being written

  const auto before = std::chrono::steady_clock::now();
  downloader->cancel(id);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);  // cancel does not wait for the transfer
  auto result = outcome.wait();
  ASSERT_TRUE(result.has_value());
  ASSERT_FALSE(result->has_value());
  EXPECT_EQ(result->error().kind, DownloadErrorKind::cancelled);
  EXPECT_EQ(readFile(destination), "old");
  EXPECT_EQ(folder_.names(), std::vector<std::string>{"file.bin"});

  // Cancelling again, or an unknown id, changes nothing; the completion ran once.
  downloader->cancel(id);
  downloader->cancel(id + 100);
  ASSERT_TRUE(fetch(*downloader, peer_.url("/file"), folder_ / "other.bin").has_value());
  EXPECT_EQ(outcome.calls(), 1);
}

TEST_F(CurlDownloaderTest, DestroyingTheDownloaderCancelsWhatRuns) {
  Outcome outcome;
  {
    auto downloader = makeCurlDownloader();
    downloader->download(peer_.url("/stall"), folder_ / "file.bin", outcome.progressHandler(), outcome.handler());
    ASSERT_TRUE(outcome.waitForProgress());
  }
  ASSERT_EQ(outcome.calls(), 1);  // before the destructor returned
  auto result = outcome.wait(0s);
  ASSERT_TRUE(result.has_value() && !result->has_value());
  EXPECT_EQ(result->error().kind, DownloadErrorKind::cancelled);
  EXPECT_TRUE(folder_.names().empty());

  // The last reference may also go inside a completion, on the downloader's own thread.
  Outcome inner;
  auto downloader = makeCurlDownloader();
  auto* raw = downloader.get();
  raw->download(peer_.url("/file"), folder_ / "file.bin", nullptr,
                [&inner, keep = std::move(downloader)](downloader::DownloadResult result) mutable {
                  keep.reset();
                  inner.handler()(std::move(result));
                });
  auto last = inner.wait();
  ASSERT_TRUE(last.has_value());
  EXPECT_TRUE(last->has_value());
}

TEST_F(CurlDownloaderTest, StreamsALargeBodyInBoundedMemory) {
  auto downloader = makeCurlDownloader();
  const auto destination = folder_ / "large.bin";
  // The peak since the reset is what this download adds; where the kernel refuses the reset, the
  // growth of the lifetime peak is measured instead (a weaker bound, never a false failure).
  const bool reset = resetPeakMemory();
  const auto baseline = reset ? processMemoryKiB("VmRSS") : processMemoryKiB("VmHWM");
  auto result = fetch(*downloader, peer_.url("/large"), destination);
  const auto peak = processMemoryKiB("VmHWM");
  ASSERT_TRUE(result.has_value()) << result.error().message;

  ASSERT_EQ(std::filesystem::file_size(destination), kLargeSize);
  EXPECT_EQ(hashFile(destination), largeHash_.load());
  const auto growthKiB = peak > baseline ? peak - baseline : 0;
  RecordProperty("PeakGrowthKiB", std::to_string(growthKiB));
  EXPECT_LT(growthKiB, 16u * 1024) << "peak resident size grew by " << growthKiB << " KiB";
}

}  // namespace
}  // namespace kestrom::test
