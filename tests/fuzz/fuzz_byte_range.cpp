// Feeds arbitrary "Range" values and file lengths to the range selection: a selected part must
// always lie inside the file.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "KestromKit/server/ByteRange.h"

using namespace kestrom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < sizeof(std::uint64_t)) return 0;
  std::uint64_t length = 0;
  std::memcpy(&length, data, sizeof length);
  length %= 1ull << 40;
  const std::string_view range(reinterpret_cast<const char*>(data + sizeof length), size - sizeof length);
  const auto selection = selectByteRange(range, length);
  if (selection.kind == ByteRangeSelection::Kind::part &&
      (selection.first > selection.last || selection.last >= length || selection.count() == 0))
    std::abort();
  return 0;
}
