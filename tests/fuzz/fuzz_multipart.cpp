// Feeds arbitrary bodies and boundaries to the multipart parser. The first byte picks how many of
// the following bytes form the boundary; the rest is the body, left in libFuzzer's own exactly
// sized buffer so any read past its end is caught.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "KestromKit/server/MultipartParser.h"

using namespace kestrom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t boundaryLength = std::min<std::size_t>(data[0] % 8, size - 1);
  const std::string_view boundary(reinterpret_cast<const char*>(data + 1), boundaryLength);
  const std::string_view body(reinterpret_cast<const char*>(data + 1 + boundaryLength), size - 1 - boundaryLength);

  auto slices = locateMultipart(body, boundary);
  auto parts = parseMultipart(body, boundary);
  if (slices.has_value() != parts.has_value()) std::abort();
  if (!slices) return 0;
  if (slices->size() != parts->size()) std::abort();
  for (std::size_t i = 0; i < slices->size(); ++i) {
    const auto& slice = (*slices)[i];
    if (slice.offset > body.size() || slice.length > body.size() - slice.offset) std::abort();
    if (body.substr(slice.offset, slice.length) != (*parts)[i].data) std::abort();
    if (slice.headers != (*parts)[i].headers) std::abort();
    for (const auto& [name, value] : slice.headers) (void)parseDispositionParameters(value);
  }
  (void)multipartPart("file", *parts);
  (void)multipartPart("name", *slices);
  (void)multipartBoundary(body);
  return 0;
}
