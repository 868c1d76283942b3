#include "KestromKit/server/WebServerRoutes.h"

#include <stdlib.h>

#include <atomic>
#include <mutex>

#include "KestromKit/server/ContentServing.h"
#include "KestromKit/server/ContentTypes.h"
#include "KestromKit/server/MultipartParser.h"
#include "KestromKit/base/PathCheck.h"
#include "KestromKit/server/ProjectRequestHandler.h"
#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/base/URLText.h"
#include "KestromKit/base/Utf8.h"
#include "KestromKit/server/WebServerRequestParser.h"
#include "KestromKit/base/SplitText.h"
#include "KestromKit/server/WebServerFileDelegate.h"
#include "KestromKit/model/Coding.h"
#include "KestromKit/model/PostRecords.h"
#include "platform/files/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/dispatch/Queue.h"

namespace kestrom {
namespace fs = std::filesystem;

namespace {

const log::Logger& logger() { return Constants::log().webServer; }

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The answer of a file route, written by the dialog's completion on the main queue and read by the
// waiting worker; a lock because a worker that gave up waiting may read while it is written.
class ReplyBox {
 public:
  void set(WebServerResponse response) {
    std::lock_guard lock(mutex_);
    value_ = std::move(response);
  }
  WebServerResponse get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }

 private:
  mutable std::mutex mutex_;
  WebServerResponse value_ = WebServerResponse::serverError();
};

// Leaves the group once: when called, or when the last copy of the completion holding it is
// dropped uncalled (a delegate that has gone away), so the waiting worker is never stranded.
class LeaveOnce {
 public:
  explicit LeaveOnce(dispatch::Group group) : group_(std::move(group)) {}
  ~LeaveOnce() { leave(); }
  LeaveOnce(const LeaveOnce&) = delete;
  LeaveOnce& operator=(const LeaveOnce&) = delete;
  void leave() {
    if (!left_.exchange(true)) group_.leave();
  }

 private:
  dispatch::Group group_;
  std::atomic<bool> left_{false};
};

fs::path temporaryFolder(const WebServerServices& services) {
  return services.temporaryFolder.empty() ? fs::path(Constants::path().tmp) : services.temporaryFolder;
}

}  // namespace

std::optional<std::string> cookieOf(const std::map<std::string, std::string>& headers) {
  auto values = headerValuesIgnoringCase(headers, "Cookie");
  if (values.empty()) return std::nullopt;
  std::string joined;
  for (const auto& value : values) joined += (joined.empty() ? "" : "; ") + value;
  return joined;
}

enum class WebServerRoutes::Rule {
  sentryEnabled, debug, projects, contentUpload, contentManifest, byteRange, subtitles, saveAs, load, staticFile
};

WebServerRoutes::WebServerRoutes(const WebServerServices& services, std::chrono::milliseconds fileDialogTimeout)
    : services_(services), fileDialogTimeout_(fileDialogTimeout) {}

WebServerRoutes::Rule WebServerRoutes::ruleFor(WebServerRequestMethod method, const std::string& path,
                                               const std::vector<std::string>& parts) {
  const bool get = method == WebServerRequestMethod::get || method == WebServerRequestMethod::head;
  const bool post = method == WebServerRequestMethod::post;
  if (post && path == "/v1/sentryEnabled") return Rule::sentryEnabled;
  if (path == "/debug") return Rule::debug;
  if (startsWith(path, "/projects/") && parts.size() >= 2) return Rule::projects;
  if (startsWith(path, "/content/tmp/") && post) return Rule::contentUpload;
  if (startsWith(path, "/content") && parts.size() == 3 && parts[2] == "manifest.json") return Rule::contentManifest;
  if (startsWith(path, "/content") && endsWith(path, ".mp4")) return Rule::byteRange;
  if (startsWith(path, "/subtitles")) return Rule::subtitles;
  if (startsWith(path, "/files/saveAs") && post) return Rule::saveAs;
  if (startsWith(path, "/files/load") && get) return Rule::load;
  return Rule::staticFile;
}

bool WebServerRoutes::servesStaticFile(const WebServerRequestHead& head) {
  return ruleFor(head.method, head.path, head.pathParts) == Rule::staticFile;
}

WebServerResponse WebServerRoutes::route(const WebServerRequest& request) const {
  const auto& parts = request.pathParts;
  const fs::path contentPath = services_.content ? services_.content->contentPath() : fs::path();
  switch (ruleFor(request.method, request.path, parts)) {
    case Rule::sentryEnabled: return handleSentryEnabledPost(request);
    case Rule::debug: return handleDebug(request);
    case Rule::projects: return services_.projects ? services_.projects->handle(request) : WebServerResponse::notFound();
    case Rule::contentUpload: return uploadContentFile(request);
    case Rule::contentManifest:
      if (!services_.content) return WebServerResponse::notFound();
      return serveContentManifest(request, parts[1], *services_.content, request.defaultLanguage);
    case Rule::byteRange: return serveByteRange(request, contentPath);
    case Rule::subtitles: return serveSubtitles(request, contentPath);
    case Rule::saveAs: return handleFilesSaveAs(request);
    case Rule::load: return handleFilesLoad(request);
    case Rule::staticFile: break;
  }
  return serveStaticFile(request, contentPath);
}

WebServerResponse WebServerRoutes::handleDebug(const WebServerRequest& request) const {
  std::string location = services_.debugRedirectURL ? services_.debugRedirectURL() : std::string{};
  if (!services_.session || services_.session->admits(cookieOf(request.headers)))
    return WebServerResponse::redirect(std::move(location));
  auto code = request.urlComponents.queryValue("code");
  if (!code || !services_.session->redeemDebugCode(*code)) return WebServerResponse::forbidden();
  // The code is spent: no other browser gets in this way.
  return WebServerResponse::redirect(
      std::move(location), {{"Set-Cookie", services_.session->cookie() + "; Path=/; HttpOnly; SameSite=Strict"}});
}

WebServerResponse WebServerRoutes::handleSentryEnabledPost(const WebServerRequest& request) const {
  auto body = decodeText<HTTPPostSentryEnabledBodyV1>(request.body.view());
  if (!body) return WebServerResponse::badRequest();
  // An answer of success while the switch did not stick would leave the page believing it.
  if (!services_.userDefaults || !services_.userDefaults->setBool(Constants::kSentryEnabledKey, body->enabled)) {
    logger().error("Unable to store %s", std::string(Constants::kSentryEnabledKey));
    return WebServerResponse::serverError();
  }
  return WebServerResponse::ok();
}

WebServerResponse WebServerRoutes::uploadContentFile(const WebServerRequest& request) const {
  const auto& parts = request.pathParts;
  if (parts.size() < 3 || !services_.content) return WebServerResponse::serverError();
  std::string relative;
  for (std::size_t i = 2; i < parts.size(); ++i) relative += (i > 2 ? "/" : "") + parts[i];
  auto target = resolveUnder(services_.content->contentPath(), relative);
  if (!target) return WebServerResponse::serverError();

  const std::string* contentType = request.header("Content-Type");
  auto boundary = contentType ? multipartBoundary(*contentType) : std::nullopt;
  if (!boundary) return WebServerResponse::serverError();

  // Everything is parsed and checked before the disk changes: a bad upload leaves the old file.
  std::string_view body = request.body.view();
  auto slices = locateMultipart(body, *boundary);
  if (!slices && slices.error() == MultipartParserError::tooManyParts) {
    logger().error("Unable to save file: %s", "The multipart data has too many parts.");
    return WebServerResponse::payloadTooLarge();
  }
  if (!slices) {
    logger().error("Unable to save file: %s", "The multipart data is malformed.");
    return WebServerResponse::serverError();
  }
  const MultipartSlice* file = nullptr;
  for (const auto& slice : *slices) {
    auto disposition = slice.headers.find("Content-Disposition");
    if (disposition != slice.headers.end() && startsWith(disposition->second, "form-data; name=\"file")) {
      file = &slice;
      break;
    }
  }
  if (!file) return WebServerResponse::serverError();

  std::error_code ec;
  fs::create_directories(target->parent_path(), ec);
  // Written beside the target and renamed over it: the old file stays until the new one is whole.
  auto written = AtomicFile::write(*target, body.substr(file->offset, file->length));
  if (!written) {
    logger().error("Unable to save file: %s", written.error().message());
    return WebServerResponse::serverError();
  }
  return WebServerResponse::ok({{"Connection", "close"}});
}

WebServerResponse WebServerRoutes::handleFilesSaveAs(const WebServerRequest& request) const {
  const std::string* contentType = request.header("Content-Type");
  auto boundary = contentType ? multipartBoundary(*contentType) : std::nullopt;
  if (!boundary) return WebServerResponse::serverError();
  std::string_view body = request.body.view();
  auto slices = locateMultipart(body, *boundary);
  if (!slices && slices.error() == MultipartParserError::tooManyParts) return WebServerResponse::payloadTooLarge();
  if (!slices) return WebServerResponse::serverError();
  auto name = multipartPart("name", *slices);
  auto file = multipartPart("file", *slices);
  if (!name || !file) return WebServerResponse::serverError();
  std::string_view nameText = body.substr(name->offset, name->length);
  if (!isValidUtf8(nameText)) return WebServerResponse::serverError();
  // The page names the file; it may not name a folder outside ours.
  auto fileName = checkPathComponent(nameText);
  if (!fileName) return WebServerResponse::serverError();
  if (!services_.files) return WebServerResponse::serverError();

  // A folder of its own, so two saves of one name do not meet. The copy exists only for the
  // dialog: the folder goes once the dialog is done, whatever its outcome (also when the
  // completion is dropped uncalled).
  std::string pattern = (temporaryFolder(services_) / "saveAs-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return WebServerResponse::serverError();
  auto copy = std::shared_ptr<const fs::path>(new fs::path(pattern), [](const fs::path* folder) {
    std::error_code ignored;
    fs::remove_all(*folder, ignored);
    delete folder;
  });
  fs::path temporary = *copy / *fileName;
  if (!AtomicFile::write(temporary, body.substr(file->offset, file->length))) return WebServerResponse::serverError();

  auto box = std::make_shared<ReplyBox>();
  bool answered = waitForFileDialog([&](std::function<void()> done) {
    services_.files->saveFileForWebServer(temporary, [box, done, copy](Expected<void, SaveError> result) {
      if (result) box->set(WebServerResponse::ok());
      std::error_code ignored;
      fs::remove_all(*copy, ignored);
      done();
    });
  });
  return answered ? box->get() : WebServerResponse::serverError();
}

WebServerResponse WebServerRoutes::handleFilesLoad(const WebServerRequest& request) const {
  auto query = request.urlComponents.query();
  if (!query) return WebServerResponse::notFound();
  auto pieces = splitDroppingEmpty(*query, "=");
  if (pieces.size() != 2 || !isURLText(pieces[1])) return WebServerResponse::notFound();
  std::vector<std::string> fileTypes;
  for (auto type : splitDroppingEmpty(pieces[1], ",")) fileTypes.emplace_back(type);
  if (!services_.files) return WebServerResponse::serverError();

  auto box = std::make_shared<ReplyBox>();
  bool answered = waitForFileDialog([&](std::function<void()> done) {
    services_.files->openFileForWebServer(fileTypes, [box, done](Expected<OpenedFile, LoadError> result) {
      if (result) {
        Json json = Json::object();
        json["file"] = result->url.string();
        json["content"] = result->text;
        box->set(WebServerResponse::ok({{"Content-Type", contentTypeForFileName(result->url.string())}},
                                       dumpJson(json)));
      }
      done();
    });
  });
  return answered ? box->get() : WebServerResponse::serverError();
}

bool WebServerRoutes::waitForFileDialog(const std::function<void(std::function<void()> done)>& ask) const {
  // The dialog completes on the main queue: waiting there for it would never end.
  if (dispatch::mainQueue()->isCurrent()) {
    logger().fault("A file route ran on the main queue; refused");
    return false;
  }
  dispatch::Group group;
  group.enter();
  {
    auto once = std::make_shared<LeaveOnce>(group);
    ask([once] { once->leave(); });
  }  // from here only the completion keeps `once`
  const auto deadline = std::chrono::steady_clock::now() + fileDialogTimeout_;
  while (!group.waitFor(std::chrono::milliseconds(100))) {
    if (stopping_ || std::chrono::steady_clock::now() >= deadline) {
      logger().error("Gave up waiting for a file dialog");
      return false;
    }
  }
  return true;
}

}  // namespace kestrom
