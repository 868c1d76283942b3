// Feeds arbitrary bytes to the HTTP request-head parser as a connection's first bytes, then checks
// what it promises: the body starts inside the bytes, path parts are non-empty and slash-free, and
// the path checker and query splitting cope with whatever path and query came out.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "KestromKit/base/PathCheck.h"
#include "KestromKit/server/WebServerRequestParser.h"

using namespace kestrom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto head = parseRequestHead(bytes);
  findHeadEnd(bytes, size / 2);
  if (!head) return 0;

  if (head->bodyOffset > bytes.size()) std::abort();
  if (head->path.empty() && !head->pathParts.empty()) std::abort();
  if (head->path == "/") std::abort();  // the root is always the index page
  for (const auto& part : head->pathParts) {
    if (part.empty() || part.find('/') != std::string::npos) std::abort();
  }
  declaredContentLength(head->headers);
  headerValuesIgnoringCase(head->headers, "host");

  auto checked = checkRelativePath(head->path);
  if (checked) {
    for (const auto& segment : *checked) {
      if (segment == ".." || segment == ".") std::abort();
    }
  }
  head->urlComponents.path();
  head->urlComponents.query();
  for (const auto& item : head->urlComponents.queryItems()) {
    (void)item;
  }
  return 0;
}
