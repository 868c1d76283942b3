#include "KestromKit/storage/ProjectRoute.h"

#include "KestromKit/base/Constants.h"
#include "KestromKit/base/Utf8.h"
#include "KestromKit/server/ContentTypes.h"
#include "KestromKit/server/MultipartParser.h"

namespace kestrom {

namespace {

const std::string* partHeader(const MultipartSlice& part, const char* name) {
  auto found = part.headers.find(name);
  return found == part.headers.end() ? nullptr : &found->second;
}

/// The first part whose Content-Disposition begins with `form-data; name="<field>` (a prefix
/// test: a longer field name of the same beginning matches too).
const MultipartSlice* fieldPart(const std::vector<MultipartSlice>& parts, std::string_view field) {
  const std::string prefix = "form-data; name=\"" + std::string(field);
  for (const auto& part : parts)
    if (const auto* disposition = partHeader(part, "Content-Disposition"); disposition && disposition->starts_with(prefix))
      return &part;
  return nullptr;
}

/// The last non-empty piece of the Content-Type value split at "=", when it begins with "--".
std::optional<std::string> boundaryOf(const std::string& contentType) {
  std::string last;
  std::size_t start = 0;
  while (start <= contentType.size()) {
    auto end = contentType.find('=', start);
    if (end == std::string::npos) end = contentType.size();
    if (end > start) last = contentType.substr(start, end - start);
    start = end + 1;
  }
  if (!last.starts_with("--")) return std::nullopt;
  return last;
}

/// The answer to an entry that could not be read: missing, or there and not answered.
WebServerResponse entryFailure(const ProjectsHandlerError& failure) {
  switch (failure.kind) {
    case ProjectsHandlerError::Kind::spoolFull:  // for a moment
      return WebServerResponse::serviceUnavailable();
    case ProjectsHandlerError::Kind::entryTooLarge:
    case ProjectsHandlerError::Kind::fileSystem:
      return WebServerResponse::serverError();
    default:
      return WebServerResponse::notFound();
  }
}

/// The answer to a save that failed, logged: the page's data refused (no readable ZIP archive
/// 400, an entry larger than the host answers 413) or anything else (500).
WebServerResponse saveFailure(const ProjectsHandlerError& failure) {
  Constants::log().webServer.error("Unable to save project: %s", failure.description());
  switch (failure.kind) {
    case ProjectsHandlerError::Kind::unableToOpenZip:
      return WebServerResponse::badRequest();
    case ProjectsHandlerError::Kind::entryTooLarge:
      return WebServerResponse::payloadTooLarge();
    default:
      return WebServerResponse::serverError();
  }
}

}  // namespace

WebServerResponse ProjectRouteHandler::handle(const WebServerRequest& request) {
  const auto& parts = request.pathParts;
  if (parts.size() < 2) return WebServerResponse::notFound();
  const std::string& id = parts[1];
  if (parts.size() == 3) {
    auto entry = library_->loadProjectEntry(id, parts[2]);
    if (!entry) return entryFailure(entry.error());
    WebServerHeaders headers{{"Content-Type", contentTypeForFileName(parts[2])}};
    if (entry->file) return WebServerResponse::ok(std::move(headers), WebServerFileRegion::whole(std::move(entry->file)));
    return WebServerResponse::ok(std::move(headers), std::move(entry->bytes));
  }
  if (request.method == WebServerRequestMethod::post) return upload(request);
  auto project = library_->loadProject(id);
  if (!project) return WebServerResponse::notFound();
  return WebServerResponse::ok({{"Content-Type", "application/zip"}}, WebServerFileRegion::whole(std::move(*project)));
}

WebServerResponse ProjectRouteHandler::upload(const WebServerRequest& request) {
  const auto& log = Constants::log().webServer;
  const std::string* contentType = request.header("Content-Type");
  if (!contentType) return WebServerResponse::serverError();
  auto boundary = boundaryOf(*contentType);
  if (!boundary) return WebServerResponse::serverError();

  // Located, not copied: a large upload is written out of the (possibly mapped) body directly.
  const std::string_view body = request.body.view();
  auto parts = locateMultipart(body, *boundary);
  if (!parts) {
    log.error("Unable to save project: %s", "The multipart body could not be read");
    return WebServerResponse::serverError();
  }
  std::optional<std::string> path;
  if (const auto* part = fieldPart(*parts, "path")) {
    auto text = body.substr(part->offset, part->length);
    if (isValidUtf8(text)) path = std::string(text);
  }
  const MultipartSlice* zip = nullptr;
  for (const auto& part : *parts)
    if (const auto* type = partHeader(part, "Content-Type"); type && *type == "application/zip") {
      zip = &part;
      break;
    }
  if (!zip) return WebServerResponse::serverError();
  const auto* namePart = fieldPart(*parts, "name");
  if (!namePart) return WebServerResponse::serverError();
  const auto nameText = body.substr(namePart->offset, namePart->length);
  if (!isValidUtf8(nameText)) return WebServerResponse::serverError();
  const std::string name(nameText);
  const std::string& id = request.pathParts[1];
  const auto data = body.substr(zip->offset, zip->length);

  if (!path) {
    if (auto saved = library_->saveProject(id, name, data); !saved) return saveFailure(saved.error());
    return WebServerResponse::ok({{"Connection", "close"}});
  }
  auto saved = library_->saveProjectAs(id, name, data, *path);
  if (!saved) return saveFailure(saved.error());
  if (!*saved) return WebServerResponse::ok({{"Connection", "close"}});
  Json reply = Json::object();
  reply["deletedProjectId"] = **saved;
  return WebServerResponse::ok({{"Connection", "close"}}, dumpJson(reply));
}

}  // namespace kestrom
