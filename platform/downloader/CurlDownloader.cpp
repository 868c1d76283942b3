#include "platform/downloader/CurlDownloader.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "platform/AsciiCase.h"
#include "platform/dispatch/DetachedThreads.h"
#include "platform/log/GuardedCallback.h"

namespace kestrom::downloader {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kProgressInterval = std::chrono::milliseconds(100);
// Fewer, larger writes: curl hands over at most this much per write callback.
constexpr long kReceiveBufferBytes = 256 * 1024;
// With nothing running the worker waits for curl_multi_wakeup (a download, a cancel, the end)
// alone: curl_multi_poll knows no endless wait, and its longest, about 24 days, is as good.
constexpr int kIdlePollMilliseconds = std::numeric_limits<int>::max();
constexpr int kBusyPollMilliseconds = 1'000;

// libcurl must be initialised once per process before any other thread uses it.
void initialiseCurlOnce() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) throw std::runtime_error(std::string("libcurl: ") + curl_easy_strerror(result));
}

// The mode a file created with open(..., 0666) would get: mkstemp makes it 0600.
mode_t finishedFileMode() {
  static const mode_t mode = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("Umask:", 0) != 0) continue;
      try {
        return static_cast<mode_t>(0666 & ~std::stoul(line.substr(6), nullptr, 8));
      } catch (const std::exception&) {
        break;
      }
    }
    return static_cast<mode_t>(0644);
  }();
  return mode;
}

std::string systemError(int code) { return std::strerror(code); }

/// One download from the moment the worker takes it until its completion ran.
struct Transfer {
  DownloadId id = 0;
  std::string url;
  std::filesystem::path destination;
  ProgressHandler progress;
  CompletionHandler completion;

  std::uint64_t maxFileSize = 0;
  std::string temporaryPath;  // empty once there is nothing to remove
  int fd = -1;
  CURL* easy = nullptr;
  bool added = false;  // easy is in the multi handle
  std::uint64_t received = 0;
  std::optional<std::uint64_t> announced;  // the Content-Length of the answer being received
  Clock::time_point lastProgress{};
  std::optional<DownloadError> stopReason;  // why the write callback stopped the transfer
  char errorBuffer[CURL_ERROR_SIZE] = {};

  DownloadError fail(DownloadErrorKind kind, const std::string& detail, long status = 0) const {
    return makeDownloadError(kind, url, detail, status);
  }
};

/// What the callers and the worker thread share.
struct State {
  explicit State(DownloadOptions o) : options(o) {}
  ~State() {
    if (multi) curl_multi_cleanup(multi);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  const DownloadOptions options;
  dispatch::ThreadExit exit;  // goes with the last of the thread and the downloader
  // Lives as long as the state, so a wake-up never meets a freed handle; curl_multi_wakeup may
  // come from any thread, everything else happens on the worker.
  CURLM* multi = nullptr;

  std::mutex mutex;  // guards the fields below
  std::vector<std::unique_ptr<Transfer>> starting;
  std::vector<DownloadId> cancelling;
  DownloadId lastId = 0;
  bool stopping = false;
};

void reportProgress(Transfer& t) {
  const auto now = Clock::now();
  if (now - t.lastProgress < kProgressInterval) return;
  t.lastProgress = now;
  curl_off_t length = -1;
  curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  DownloadProgress progress{t.received, std::nullopt};
  if (length >= 0) progress.expected = static_cast<std::uint64_t>(length);
  log::guardedCallback("Download progress", [&] { t.progress(progress); });
}

size_t onData(char* data, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const size_t n = size * count;
  // The length may be unknown (chunked or close-delimited bodies), so the limit is checked here
  // as well as against an announced length.
  if (t.received + n > t.maxFileSize) {
    t.stopReason = t.fail(DownloadErrorKind::tooLarge,
                          "the file is larger than " + std::to_string(t.maxFileSize) + " bytes");
    return 0;
  }
  // libcurl stops at the announced length of a plain body itself; a chunked body (which
  // overrides a Content-Length sent beside it) is held to that length here.
  if (t.announced && t.received + n > *t.announced) {
    t.stopReason = t.fail(DownloadErrorKind::overrun,
                          "the server sent more than the " + std::to_string(*t.announced) + " bytes it announced");
    return 0;
  }
  for (size_t done = 0; done < n;) {
    const ssize_t written = ::write(t.fd, data + done, n - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      t.stopReason = t.fail(DownloadErrorKind::file, "could not write " + t.temporaryPath + ": " + systemError(errno));
      return 0;
    }
    done += static_cast<size_t>(written);
  }
  t.received += n;
  if (t.progress) reportProgress(t);
  return n;
}

/// Keeps the Content-Length of the answer whose headers arrive; every status line (a redirect, an
/// interim answer) starts a new answer without one.
size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const size_t n = size * count;
  std::string_view line(data, n);
  if (line.starts_with("HTTP/")) {
    t.announced.reset();
    return n;
  }
  constexpr std::string_view kName = "content-length:";
  if (line.size() <= kName.size() || !equalsIgnoringCase(line.substr(0, kName.size()), kName)) return n;
  line.remove_prefix(kName.size());
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  std::uint64_t value = 0;
  const auto [end, failed] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (failed == std::errc() && end != line.data()) t.announced = value;
  return n;
}

bool isTLSFailure(CURLcode code) {
  switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
      return true;
    default:
      return false;
  }
}

/// Checks the address: a URL libcurl accepts, with the scheme http or https.
std::optional<DownloadError> checkURL(const Transfer& t) {
  CURLU* parsed = curl_url();
  if (!parsed) return t.fail(DownloadErrorKind::connection, "out of memory");
  std::optional<DownloadError> error;
  char* scheme = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, t.url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
    error = t.fail(DownloadErrorKind::invalidURL, "not a valid address");
  } else if (std::strcmp(scheme, "http") != 0 && std::strcmp(scheme, "https") != 0) {
    // curl hands the scheme back in lower case.
    error = t.fail(DownloadErrorKind::invalidURL, "only http and https addresses are downloaded");
  }
  curl_free(scheme);
  curl_url_cleanup(parsed);
  return error;
}

/// Creates the temporary file beside the destination, with a name nobody can predict.
std::optional<DownloadError> createTemporaryFile(Transfer& t) {
  const std::string name = t.destination.filename().string();
  if (name.empty() || name == "." || name == "..") {
    return t.fail(DownloadErrorKind::file, "the destination " + t.destination.string() + " names no file");
  }
  std::filesystem::path folder = t.destination.parent_path();
  if (folder.empty()) folder = ".";
  // Keep the name short enough that the suffix never pushes it past NAME_MAX.
  std::string leaf = ".";
  leaf.append(name, 0, 200);
  leaf += ".download-XXXXXX";
  std::string pattern = (folder / leaf).string();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    return t.fail(DownloadErrorKind::file,
                  "could not create a temporary file in " + folder.string() + ": " + systemError(errno));
  }
  t.fd = fd;
  t.temporaryPath = pattern;
  return std::nullopt;
}

void setProtocols(CURL* easy) {
#if LIBCURL_VERSION_NUM >= 0x075500  // 7.85: the string forms; the bitmask forms are deprecated
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
#endif
}

std::optional<DownloadError> start(State& state, Transfer& t) {
  if (auto error = checkURL(t)) return error;
  if (auto error = createTemporaryFile(t)) return error;
  t.easy = curl_easy_init();
  if (!t.easy) return t.fail(DownloadErrorKind::connection, "libcurl could not start a transfer");
  const DownloadOptions& o = state.options;
  t.maxFileSize = o.maxFileSize;
  CURL* e = t.easy;
  curl_easy_setopt(e, CURLOPT_URL, t.url.c_str());
  curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &onData);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  setProtocols(e);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, o.maxRedirects);
  curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(o.connectTimeout.count()));
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, o.stallBytesPerSecond);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, static_cast<long>(o.stallTime.count()));
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(o.maxFileSize));
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  if (curl_multi_add_handle(state.multi, e) != CURLM_OK) {
    return t.fail(DownloadErrorKind::connection, "libcurl could not start a transfer");
  }
  t.added = true;
  return std::nullopt;
}

/// What a finished transfer amounts to, from libcurl's result and the final status.
DownloadResult outcome(const Transfer& t, CURLcode code, const DownloadOptions& options) {
  long status = 0;
  curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
  if (code == CURLE_OK) {
    if (status >= 200 && status < 300) return {};
    return makeUnexpected(
        t.fail(DownloadErrorKind::httpStatus, "the server answered " + std::to_string(status), status));
  }
  if (code == CURLE_WRITE_ERROR && t.stopReason) {
    DownloadError error = *t.stopReason;
    error.httpStatus = status;
    return makeUnexpected(std::move(error));
  }
  const std::string detail = t.errorBuffer[0] ? t.errorBuffer : curl_easy_strerror(code);
  auto failure = [&](DownloadErrorKind kind, const std::string& text) {
    return makeUnexpected(t.fail(kind, text, status));
  };
  switch (code) {
    case CURLE_HTTP_RETURNED_ERROR:
      return failure(DownloadErrorKind::httpStatus, "the server answered " + std::to_string(status));
    case CURLE_FILESIZE_EXCEEDED:
      return failure(DownloadErrorKind::tooLarge,
                     "the file is larger than " + std::to_string(options.maxFileSize) + " bytes");
    case CURLE_OPERATION_TIMEDOUT:
      return failure(DownloadErrorKind::timedOut, detail);
    case CURLE_PARTIAL_FILE:
      return failure(DownloadErrorKind::incomplete, detail);
    case CURLE_TOO_MANY_REDIRECTS:
      return failure(DownloadErrorKind::redirect, "more than " + std::to_string(options.maxRedirects) + " redirects");
    case CURLE_UNSUPPORTED_PROTOCOL: {
      long redirects = 0;
      curl_easy_getinfo(t.easy, CURLINFO_REDIRECT_COUNT, &redirects);
      if (redirects > 0 || (status >= 300 && status < 400)) {
        return failure(DownloadErrorKind::redirect, "redirected to an address that is not http or https");
      }
      return failure(DownloadErrorKind::invalidURL, "only http and https addresses are downloaded");
    }
    case CURLE_URL_MALFORMAT:
      return failure(DownloadErrorKind::invalidURL, detail);
    default:
      return failure(isTLSFailure(code) ? DownloadErrorKind::tls : DownloadErrorKind::connection, detail);
  }
}

/// Flushes the complete temporary file and renames it over the destination.
DownloadResult place(Transfer& t) {
  ::fchmod(t.fd, finishedFileMode());  // a failure leaves the file private, which is harmless
  if (::fdatasync(t.fd) != 0) {
    return makeUnexpected(t.fail(DownloadErrorKind::file, "could not flush " + t.temporaryPath + ": " + systemError(errno)));
  }
  const int fd = std::exchange(t.fd, -1);
  if (::close(fd) != 0) {
    return makeUnexpected(t.fail(DownloadErrorKind::file, "could not write " + t.temporaryPath + ": " + systemError(errno)));
  }
  if (::rename(t.temporaryPath.c_str(), t.destination.c_str()) != 0) {
    return makeUnexpected(t.fail(DownloadErrorKind::file, "could not move the file into place at " +
                                                                   t.destination.string() + ": " + systemError(errno)));
  }
  t.temporaryPath.clear();
  return {};
}

/// Ends a transfer: the file goes into place or away, then the completion runs (once).
void finish(State& state, std::unique_ptr<Transfer> t, DownloadResult result) {
  if (t->easy) {
    if (t->added) curl_multi_remove_handle(state.multi, t->easy);
    curl_easy_cleanup(t->easy);
    t->easy = nullptr;
  }
  if (result) result = place(*t);
  if (t->fd >= 0) ::close(std::exchange(t->fd, -1));
  if (!t->temporaryPath.empty()) ::unlink(t->temporaryPath.c_str());
  log::guardedCallback("Download completion", [&] { t->completion(std::move(result)); });
}

DownloadResult cancelled(const Transfer& t) {
  return makeUnexpected(t.fail(DownloadErrorKind::cancelled, "cancelled"));
}

void run(const std::shared_ptr<State>& state) {
  std::map<DownloadId, std::unique_ptr<Transfer>> running;
  for (;;) {
    std::vector<std::unique_ptr<Transfer>> starting;
    std::vector<DownloadId> cancelling;
    bool stopping = false;
    {
      std::lock_guard lock(state->mutex);
      starting.swap(state->starting);
      cancelling.swap(state->cancelling);
      stopping = state->stopping;
    }
    for (auto& t : starting) {
      if (auto error = start(*state, *t)) {
        finish(*state, std::move(t), makeUnexpected(std::move(*error)));
      } else {
        const DownloadId id = t->id;
        running.emplace(id, std::move(t));
      }
    }
    auto stop = [&](std::map<DownloadId, std::unique_ptr<Transfer>>::iterator it) {
      auto t = std::move(it->second);
      running.erase(it);
      auto result = cancelled(*t);
      finish(*state, std::move(t), std::move(result));
    };
    for (DownloadId id : cancelling) {
      if (auto it = running.find(id); it != running.end()) stop(it);
    }
    if (stopping) {
      while (!running.empty()) stop(running.begin());
      // Nothing should arrive once the owner let go, but every completion runs all the same.
      std::vector<std::unique_ptr<Transfer>> late;
      {
        std::lock_guard lock(state->mutex);
        late.swap(state->starting);
      }
      for (auto& t : late) {
        auto result = cancelled(*t);
        finish(*state, std::move(t), std::move(result));
      }
      break;
    }

    int active = 0;
    curl_multi_perform(state->multi, &active);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(state->multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      const CURLcode code = message->data.result;
      Transfer* raw = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &raw);
      auto it = running.find(raw->id);
      if (it == running.end()) continue;
      auto t = std::move(it->second);
      running.erase(it);
      auto result = outcome(*t, code, state->options);
      finish(*state, std::move(t), std::move(result));
    }
    curl_multi_poll(state->multi, nullptr, 0, running.empty() ? kIdlePollMilliseconds : kBusyPollMilliseconds,
                    nullptr);
  }
}

class CurlDownloader final : public Downloader {
 public:
  explicit CurlDownloader(DownloadOptions options) : state_(std::make_shared<State>(options)) {
    initialiseCurlOnce();
    state_->multi = curl_multi_init();
    if (!state_->multi) throw std::runtime_error("libcurl could not make a multi handle");
    thread_ = std::thread([state = state_] {
      pthread_setname_np(pthread_self(), "Downloader");
      run(state);
    });
  }

  ~CurlDownloader() override {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
    }
    curl_multi_wakeup(state_->multi);
    if (std::this_thread::get_id() == thread_.get_id()) {
      state_->exit.detach(thread_);  // a handler dropped the last reference: the loop ends after it returns
    } else {
      thread_.join();
    }
  }

  // Downloader
  DownloadId download(std::string url, std::filesystem::path destination, ProgressHandler progress,
                      CompletionHandler completion) override {
    auto t = std::make_unique<Transfer>();
    t->url = std::move(url);
    t->destination = std::move(destination);
    t->progress = std::move(progress);
    t->completion = std::move(completion);
    DownloadId id = 0;
    {
      std::lock_guard lock(state_->mutex);
      id = ++state_->lastId;
      t->id = id;
      state_->starting.push_back(std::move(t));
    }
    curl_multi_wakeup(state_->multi);
    return id;
  }

  void cancel(DownloadId id) override {
    {
      std::lock_guard lock(state_->mutex);
      state_->cancelling.push_back(id);
    }
    curl_multi_wakeup(state_->multi);
  }

 private:
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace

std::shared_ptr<Downloader> makeCurlDownloader(DownloadOptions options) {
  return std::make_shared<CurlDownloader>(options);
}

}  // namespace kestrom::downloader
