// Feeds arbitrary bytes to the SubRip-to-WebVTT conversion: it must never crash, must refuse only
// text that is not UTF-8, and must always produce UTF-8 WebVTT.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "KestromKit/server/SrtToWebVtt.h"
#include "KestromKit/base/Utf8.h"

using namespace kestrom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view srt(reinterpret_cast<const char*>(data), size);
  const auto vtt = convertSrtToWebVtt(srt);
  if (vtt.has_value() != isValidUtf8(srt)) std::abort();
  if (!vtt) return 0;
  if (!std::string_view(*vtt).starts_with("WEBVTT\n\n") || !isValidUtf8(*vtt)) std::abort();
  if (vtt->size() > 8 && !std::string_view(*vtt).ends_with("\n\n")) std::abort();
  return 0;
}
