#include "KestromKit/server/WebServerAnswer.h"

#include <algorithm>

#include "KestromKit/server/HttpDate.h"
#include "platform/AsciiCase.h"

namespace kestrom {

namespace {

// A header that carried CR or LF would end the head early and let its value write headers of its own.
void appendHeaderSafe(std::string& out, std::string_view text) {
  const std::size_t from = out.size();
  out += text;
  std::replace_if(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
}

}  // namespace

void appendAnswerHead(std::string& head, std::string_view statusText, const WebServerHeaders& headers,
                      std::uint64_t bodyLength) {
  head.assign("HTTP/1.1 ");
  head += statusText;
  head += "\r\nAccess-Control-Allow-Origin: *\r\nDate: ";
  appendHttpDate(head);
  head += "\r\n";
  bool saysLength = false;
  bool saysClose = false;
  for (const auto& [name, value] : headers) {
    saysLength = saysLength || equalsIgnoringCase(name, "Content-Length");
    saysClose = saysClose || equalsIgnoringCase(name, "Connection");
    appendHeaderSafe(head, name);
    head += ": ";
    appendHeaderSafe(head, value);
    head += "\r\n";
  }
  // Without a length, an answer cut short by a failed write looks complete to the client.
  if (!saysLength) {
    head += "Content-Length: ";
    head += std::to_string(bodyLength);
    head += "\r\n";
  }
  // We close after every answer; a client not told so may send its next request into a closing
  // socket, whose reset can destroy the unread end of this answer (HTTP/1.1 requires the header).
  if (!saysClose) head += "Connection: close\r\n";
  head += "\r\n";
}

std::string logPreview(std::string_view bytes) {
  std::string_view head = bytes.substr(0, std::min<std::size_t>(bytes.size(), 100));
  bool ascii = std::all_of(head.begin(), head.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return "N/A";
  std::string out;
  while (!head.empty()) {
    std::size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    head = end == std::string_view::npos ? std::string_view{} : head.substr(end + 1);
    std::size_t colon = line.find(':');
    std::string_view name = colon == std::string_view::npos ? std::string_view{} : line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (colon != std::string_view::npos && equalsIgnoringCase(name, "Cookie")) {
      out += line.substr(0, colon + 1);
      out += " (left out)";
      if (line.back() == '\r') out += '\r';
    } else {
      out += line;
    }
    if (end != std::string_view::npos) out += '\n';
  }
  return out;
}

}  // namespace kestrom
