#include "KestromKit/base/URLText.h"

#include "KestromKit/base/PathCheck.h"
#include "platform/AsciiCase.h"

namespace kestrom {
namespace {


bool isURLCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

bool isSchemeCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.';
}

}  // namespace

bool isURLText(std::string_view text) {
  if (text.empty()) return false;
  int hashes = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!isURLCharacter(c)) return false;
    if (c == '#' && ++hashes > 1) return false;
    if (c == '%' && (i + 2 >= text.size() || asciiHexValue(text[i + 1]) < 0 || asciiHexValue(text[i + 2]) < 0)) return false;
  }
  return true;
}

std::optional<std::string> urlPath(std::string_view text) {
  if (!isURLText(text)) return std::nullopt;
  text = text.substr(0, text.find('#'));
  text = text.substr(0, text.find('?'));
  const auto colon = text.find(':');
  const auto slash = text.find('/');
  if (colon != std::string_view::npos && colon > 0 && colon < slash) {
    const auto scheme = text.substr(0, colon);
    bool isScheme = (scheme[0] >= 'a' && scheme[0] <= 'z') || (scheme[0] >= 'A' && scheme[0] <= 'Z');
    for (char c : scheme) isScheme = isScheme && isSchemeCharacter(c);
    if (isScheme) text.remove_prefix(colon + 1);
  }
  if (text.starts_with("//")) {
    const auto pathStart = text.find('/', 2);
    text = pathStart == std::string_view::npos ? std::string_view{} : text.substr(pathStart);
  }
  if (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  auto decoded = percentDecode(text);
  if (!decoded) return std::nullopt;
  return std::move(*decoded);
}

}  // namespace kestrom
