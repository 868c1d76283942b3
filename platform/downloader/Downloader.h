#pragma once
// Fetches one http or https resource into a file. The file appears at its destination only when
// the whole body arrived: the body streams into a temporary file beside the destination, which is
// flushed and renamed into place at the end; after any failure the temporary file is removed and
// the destination is left as it was.
//
// The libcurl backend (CurlDownloader) runs every transfer on one thread of its own; progress and
// completion handlers run on that thread, never on the caller's. FakeDownloader records requests
// for tests and runs its handlers on a queue the test drives.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Expected.h"

namespace kestrom::downloader {

enum class DownloadErrorKind {
  invalidURL,  // malformed, or a scheme other than http and https
  redirect,    // too many redirects, or a redirect to a scheme other than http and https
  connection,  // name look-up, connect, reset or any other network failure
  tls,         // TLS handshake or certificate failure
  timedOut,    // no connection within the connect time-out, or the data stalled
  httpStatus,  // the final answer was not a success (400 and above, or an unfollowed 1xx/3xx)
  incomplete,  // the connection closed before the announced length arrived
  tooLarge,    // the body exceeds the size limit
  overrun,     // the body runs past the length its answer announced (Content-Length)
  file,        // the temporary file could not be created, written, flushed or renamed
  cancelled,   // cancel() was called
};

struct DownloadError {
  DownloadErrorKind kind = DownloadErrorKind::connection;
  /// One line for logs and replies: "Could not download URL: the server answered 404".
  std::string message;
  /// The last HTTP status received, 0 when none was.
  long httpStatus = 0;
};

struct DownloadProgress {
  std::uint64_t received = 0;
  /// The length the server announced, when it did.
  std::optional<std::uint64_t> expected;
};

/// Limits of every transfer. The defaults are the host's; tests shorten the times.
struct DownloadOptions {
  std::chrono::milliseconds connectTimeout{15'000};
  /// A transfer fails once fewer than `stallBytesPerSecond` bytes per second arrived for
  /// `stallTime` (the default: no data at all for 30 s).
  std::chrono::seconds stallTime{30};
  long stallBytesPerSecond = 1;
  std::uint64_t maxFileSize = std::uint64_t{2} << 30;
  long maxRedirects = 5;
};

using DownloadId = std::uint64_t;
using DownloadResult = Expected<void, DownloadError>;
using ProgressHandler = std::function<void(const DownloadProgress&)>;
using CompletionHandler = std::function<void(DownloadResult)>;

class Downloader {
 public:
  virtual ~Downloader() = default;
  Downloader() = default;
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  /// Starts fetching `url` into `destination` (whose folder must exist) and returns at once.
  /// `progress` (may be empty) runs now and then while data arrives; `completion` runs exactly
  /// once, after the file is in place or the temporary file is gone.
  virtual DownloadId download(std::string url, std::filesystem::path destination, ProgressHandler progress,
                              CompletionHandler completion) = 0;
  /// Stops a download without waiting for it. Its completion then runs once, soon, with the
  /// error `cancelled`, unless the download had already finished (then this does nothing).
  /// Unknown ids are ignored. Destroying the downloader cancels whatever still runs.
  virtual void cancel(DownloadId id) = 0;
};

/// "Could not download URL: ..." for a failure that happened before or outside a transfer.
DownloadError makeDownloadError(DownloadErrorKind kind, const std::string& url, const std::string& detail,
                                long httpStatus = 0);

}  // namespace kestrom::downloader
