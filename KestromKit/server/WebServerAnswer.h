#pragma once
// The pieces of an answer that the local HTTP server's run loop and its workers both write: the
// answer's head, the limits of a small file sent with it, and what of a bad request may reach the log.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "KestromKit/server/WebServerTypes.h"

namespace kestrom {

/// Files up to this size are read and sent with the answer's head in one write; larger ones
/// stream from the page cache with sendfile(2).
inline constexpr std::size_t kInlineFileBytes = 64 * 1024;
/// What a connection may still send after its answer, and for how long, before it is closed anyway.
inline constexpr std::chrono::milliseconds kRefusedDrainTime{500};
inline constexpr std::size_t kRefusedDrainBytes = 1 << 20;

/// Replaces `head` by the head of an answer: its status line, the CORS line, "Date", `headers` (CR
/// and LF in them made spaces), "Content-Length" and "Connection: close" unless given, and the
/// blank line. `bodyLength` is the length of the body a GET would get, also for a HEAD.
void appendAnswerHead(std::string& head, std::string_view statusText, const WebServerHeaders& headers,
                      std::uint64_t bodyLength);

/// The first bytes of a bad request for the log: printable ASCII, else "N/A". A Cookie line keeps
/// its name only (the page's cookie is the session secret, which the log leaves out wherever
/// else it turns up, see SessionSecret).
std::string logPreview(std::string_view bytes);

}  // namespace kestrom
