#include "KestromKit/server/SrtToWebVtt.h"

#include <array>
#include <vector>

#include "KestromKit/base/SplitText.h"
#include "KestromKit/base/Utf8.h"

namespace kestrom {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

/// UTF-8 forms of the white space and line breaks trimmed from both ends of the file: the ASCII
/// controls TAB to CR, NEL, and every space and line or paragraph separator of Unicode.
constexpr std::array<std::string_view, 25> kWhiteSpace{
    " ", "\t", "\n", "\v", "\f", "\r",
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

std::string_view trimWhiteSpace(std::string_view text) {
  for (bool trimmed = true; trimmed && !text.empty();) {
    trimmed = false;
    for (auto space : kWhiteSpace)
      if (text.starts_with(space)) {
        text.remove_prefix(space.size());
        trimmed = true;
        break;
      }
  }
  for (bool trimmed = true; trimmed && !text.empty();) {
    trimmed = false;
    for (auto space : kWhiteSpace)
      if (text.ends_with(space)) {
        text.remove_suffix(space.size());
        trimmed = true;
        break;
      }
  }
  return text;
}

/// "00:00:01,000 --> 00:00:02,500" splits at ":" into five pieces; a timing without hours does not.
bool isTimingLine(std::string_view line) { return splitDroppingEmpty(line, ":").size() == 5; }

void appendCue(std::string& out, std::string_view block) {
  const auto lines = splitDroppingEmpty(block, "\n");
  if (lines.size() < 2) return;
  std::size_t timing = 0;
  if (!isTimingLine(lines[0])) {
    if (!isTimingLine(lines[1])) return;
    timing = 1;
  }
  // A cue needs its arrow and at least one text line; an identifier and a timing alone make no cue.
  if (lines[timing].find(" --> ") == std::string_view::npos || timing + 1 >= lines.size()) return;
  if (timing == 1) {
    out += lines[0];
    out += '\n';
  }
  for (char c : lines[timing]) out += c == ',' ? '.' : c;
  out += '\n';
  for (std::size_t i = timing + 1; i < lines.size(); ++i) {
    out += lines[i];
    out += '\n';
  }
  out += '\n';
}

}  // namespace

std::optional<std::string> convertSrtToWebVtt(std::string_view srt) {
  if (!isValidUtf8(srt)) return std::nullopt;
  if (srt.starts_with(kByteOrderMark)) srt.remove_prefix(kByteOrderMark.size());
  std::string text;
  text.reserve(srt.size());
  for (char c : srt)
    if (c != '\r') text += c;

  std::string out = "WEBVTT\n\n";
  out.reserve(out.size() + text.size() + text.size() / 8);
  for (auto block : splitDroppingEmpty(trimWhiteSpace(text), "\n\n")) appendCue(out, block);
  return out;
}

}  // namespace kestrom
