#pragma once
// Turning SubRip subtitles into WebVTT, the only subtitle format the page's video element reads.

#include <optional>
#include <string>
#include <string_view>

namespace kestrom {

/// WebVTT for the SubRip text `srt`: "WEBVTT", a blank line, then one cue per readable block
/// (optional identifier line, the timing with "," written "." and without the position that may
/// follow it, every text line with "-->" written "--&gt;", a blank line). Line ends may be LF,
/// CR LF or a lone CR; a leading byte-order mark is removed first. A block that is not a cue
/// (no timing with hours on both sides and " --> ", or no text line) is dropped and the rest of the
/// file is still converted. Absent only when `srt` is not UTF-8. Pure; never throws.
std::optional<std::string> convertSrtToWebVtt(std::string_view srt);

}  // namespace kestrom
