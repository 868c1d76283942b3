#include "KestromKit/server/SrtToWebVtt.h"

#include <algorithm>
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

/// The timing of a timing line without what follows its end time: SubRip's position
/// ("X1:40 X2:600 Y1:20 Y2:50"), which a player of WebVTT has no use for.
std::string_view timingOf(std::string_view line) {
  auto arrow = line.find(" --> ");
  if (arrow == std::string_view::npos) return line;
  auto end = line.find_first_not_of(" \t", arrow + 5);
  if (end == std::string_view::npos) return line;
  end = line.find_first_of(" \t", end);
  return end == std::string_view::npos ? line : line.substr(0, end);
}

/// "00:00:01,000 --> 00:00:02,500" splits at ":" into five pieces; a timing without hours does not.
bool isTimingLine(std::string_view line) { return splitDroppingEmpty(timingOf(line), ":").size() == 5; }

/// A text line as cue text: "-->" would make a WebVTT reader take the line for a timing and lose
/// the cue, so its ">" is written as a character reference.
void appendText(std::string& out, std::string_view line) {
  for (auto arrow = line.find("-->"); arrow != std::string_view::npos; arrow = line.find("-->")) {
    out += line.substr(0, arrow);
    out += "--&gt;";
    line.remove_prefix(arrow + 3);
  }
  out += line;
}

/// The text with every line break written as a line feed. CR LF is one break, and so is the
/// CR CR LF of a file whose line ends were converted twice; each lone CR is a break of its own.
std::string withLineFeeds(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    auto returns = text.find('\r');
    out += text.substr(0, returns);
    if (returns == std::string_view::npos) break;
    auto after = std::min(text.find_first_not_of('\r', returns), text.size());
    if (after == text.size() || text[after] != '\n') out.append(after - returns, '\n');
    text.remove_prefix(after);
  }
  return out;
}

void appendCue(std::string& out, std::string_view block) {
  const auto lines = splitDroppingEmpty(block, "\n");
  if (lines.size() < 2) return;
  std::size_t timing = 0;
  if (!isTimingLine(lines[0])) {
    if (!isTimingLine(lines[1])) return;
    timing = 1;
  }
  // A cue needs its arrow and at least one text line; an identifier and a timing alone make no cue.
  const auto times = timingOf(lines[timing]);
  if (times.find(" --> ") == std::string_view::npos || timing + 1 >= lines.size()) return;
  if (timing == 1) {
    out += lines[0];
    out += '\n';
  }
  for (char c : times) out += c == ',' ? '.' : c;
  out += '\n';
  for (std::size_t i = timing + 1; i < lines.size(); ++i) {
    appendText(out, lines[i]);
    out += '\n';
  }
  out += '\n';
}

}  // namespace

std::optional<std::string> convertSrtToWebVtt(std::string_view srt) {
  if (!isValidUtf8(srt)) return std::nullopt;
  if (srt.starts_with(kByteOrderMark)) srt.remove_prefix(kByteOrderMark.size());
  const std::string text = withLineFeeds(srt);

  std::string out = "WEBVTT\n\n";
  out.reserve(out.size() + text.size() + text.size() / 8);
  for (auto block : splitDroppingEmpty(trimWhiteSpace(text), "\n\n")) appendCue(out, block);
  return out;
}

}  // namespace kestrom
