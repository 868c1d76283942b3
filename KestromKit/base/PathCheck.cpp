#include "KestromKit/base/PathCheck.h"

#include <sys/stat.h>

#include <system_error>

#include "platform/AsciiCase.h"

namespace kestrom {
namespace fs = std::filesystem;

namespace {

// Links resolved for the part that exists, the rest appended lexically; "" on error.
fs::path realPath(const fs::path& path) {
  std::error_code ec;
  fs::path real = fs::weakly_canonical(path, ec);
  if (ec) return {};
  return real;
}

bool isBelow(const fs::path& real, const fs::path& realRoot) {
  auto r = realRoot.begin();
  auto p = real.begin();
  for (; r != realRoot.end(); ++r, ++p) {
    if (r->empty()) continue;  // the trailing "" of "/root/"
    if (p == real.end() || *p != *r) return false;
  }
  return p != real.end();  // the root itself is not "below" it
}

bool isRegularFile(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string_view toString(PathCheckError error) {
  switch (error) {
    case PathCheckError::badEncoding: return "bad percent encoding";
    case PathCheckError::empty: return "empty path";
    case PathCheckError::absolute: return "absolute path";
    case PathCheckError::dotSegment: return "dot segment";
    case PathCheckError::emptySegment: return "empty segment";
    case PathCheckError::nul: return "NUL byte";
    case PathCheckError::outsideRoot: return "outside its root";
    case PathCheckError::notRegularFile: return "not a regular file";
  }
  return "unknown";
}

Expected<std::string, PathCheckError> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return makeUnexpected(PathCheckError::badEncoding);
    int hi = asciiHexValue(text[i + 1]);
    int lo = asciiHexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return makeUnexpected(PathCheckError::badEncoding);
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

Expected<std::string, PathCheckError> checkPathComponent(std::string_view name) {
  if (name.empty()) return makeUnexpected(PathCheckError::empty);
  if (name.find('\0') != std::string_view::npos) return makeUnexpected(PathCheckError::nul);
  if (name.find('/') != std::string_view::npos) return makeUnexpected(PathCheckError::emptySegment);
  if (name == "." || name == "..") return makeUnexpected(PathCheckError::dotSegment);
  return std::string(name);
}

Expected<fs::path, PathCheckError> checkRelativePath(std::string_view text, PathCheckOptions options) {
  std::string decoded;
  if (options.percentEncoded) {
    auto d = percentDecode(text);
    if (!d) return makeUnexpected(d.error());
    decoded = std::move(*d);
  } else {
    decoded = std::string(text);
  }
  std::string_view rest = decoded;
  if (rest.find('\0') != std::string_view::npos) return makeUnexpected(PathCheckError::nul);
  if (!rest.empty() && rest.front() == '/') {
    if (!options.allowLeadingSlash) return makeUnexpected(PathCheckError::absolute);
    rest.remove_prefix(1);
  }
  if (rest.empty()) return makeUnexpected(PathCheckError::empty);

  fs::path result;
  while (true) {
    std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    if (segment.empty()) return makeUnexpected(PathCheckError::emptySegment);
    if (segment == "." || segment == "..") return makeUnexpected(PathCheckError::dotSegment);
    result /= fs::path(std::string(segment));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return result;
}

Expected<fs::path, PathCheckError> resolveUnder(const fs::path& root, std::string_view text,
                                                PathCheckOptions options) {
  auto relative = checkRelativePath(text, options);
  if (!relative) return makeUnexpected(relative.error());
  if (root.empty()) return makeUnexpected(PathCheckError::outsideRoot);
  fs::path realRoot = realPath(root);
  if (realRoot.empty()) return makeUnexpected(PathCheckError::outsideRoot);
  fs::path real = realPath(realRoot / *relative);
  // A link inside the root may still point out of it: only the resolved location counts.
  if (real.empty() || !isBelow(real, realRoot)) return makeUnexpected(PathCheckError::outsideRoot);
  if (options.regularFileOnly && !isRegularFile(real)) return makeUnexpected(PathCheckError::notRegularFile);
  return real;
}

Expected<fs::path, PathCheckError> checkHandedOutPath(std::string_view absolutePath,
                                                      const std::vector<fs::path>& folders) {
  if (absolutePath.empty() || absolutePath.front() != '/') return makeUnexpected(PathCheckError::empty);
  // Segment rules first, so "/tmp/kit/../../etc/passwd" fails before any disk access.
  auto relative = checkRelativePath(absolutePath, PathCheckOptions{});
  if (!relative) return makeUnexpected(relative.error());
  fs::path real = realPath(fs::path("/") / *relative);
  if (real.empty()) return makeUnexpected(PathCheckError::outsideRoot);
  for (const auto& folder : folders) {
    if (folder.empty()) continue;
    fs::path realFolder = realPath(folder);
    if (realFolder.empty() || !isBelow(real, realFolder)) continue;
    if (!isRegularFile(real)) return makeUnexpected(PathCheckError::notRegularFile);
    return real;
  }
  return makeUnexpected(PathCheckError::outsideRoot);
}

}  // namespace kestrom
