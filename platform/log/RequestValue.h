#pragma once
// How a value that came from a request (a path, a Host or Origin, a method name, an id) appears in
// a log line: cut to a bounded length with its full length shown, so that whoever sends requests
// cannot make the log's lines as long as the requests. Both servers, the channel and the services
// behind it pass every such value through here. Any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrom::log {

/// The most bytes of a request's value a log line shows.
inline constexpr std::size_t kMaxRequestValueBytes = 120;

/// `value` as a log line shows it: whole when it has at most kMaxRequestValueBytes bytes, else its
/// first ones (cut between two characters, never inside one) followed by "… (65536 bytes)" with
/// its whole length. Pass the result as a text argument: it is escaped like any other.
std::string requestValue(std::string_view value);

/// The same for a header value a sender may percent-encode (Host, Origin): decoded first, so that
/// what the line holds is what the redactions see and remove (an encoded secret would pass them).
/// The length shown is the value's as sent.
std::string decodedRequestValue(std::string_view value);

}  // namespace kestrom::log
