#include "platform/bundle/PropertyList.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace kestrom::bundle {

namespace {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// libplist hands out malloc'd copies of strings and data.
struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

std::string base64(const unsigned char* data, std::uint64_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve(static_cast<std::size_t>((size + 2) / 3 * 4));
  for (std::uint64_t i = 0; i < size; i += 3) {
    std::uint32_t chunk = static_cast<std::uint32_t>(data[i]) << 16;
    if (i + 1 < size) chunk |= static_cast<std::uint32_t>(data[i + 1]) << 8;
    if (i + 2 < size) chunk |= data[i + 2];
    out += kAlphabet[(chunk >> 18) & 63];
    out += kAlphabet[(chunk >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(chunk >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[chunk & 63] : '=';
  }
  return out;
}

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
std::string isoDate(std::int32_t seconds, std::int32_t micros) {
  constexpr std::time_t kEpoch2001 = 978307200;
  std::time_t t = kEpoch2001 + seconds;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(micros / 1000));
  return text;
}

PropertyListValue convert(plist_t node, int depth) {
  if (depth > 512) throw std::runtime_error("property list nested too deeply");
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return value != 0;
    }
    case PLIST_UINT: {
      // libplist keeps every integer as 64 unsigned bits; negative ones come back two's complement.
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return static_cast<std::int64_t>(value);
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return value;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      CString value(raw);
      return std::string(value ? value.get() : "");
    }
    case PLIST_ARRAY: {
      auto array = PropertyListValue::array();
      std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) array.push_back(convert(plist_array_get_item(node, i), depth + 1));
      return array;
    }
    case PLIST_DICT: {
      auto object = PropertyListValue::object();
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iter, &rawKey, &value);
        CString key(rawKey);
        if (!value) break;
        object[key ? key.get() : ""] = convert(value, depth + 1);
      }
      std::free(iter);
      return object;
    }
    case PLIST_DATE: {
      std::int32_t seconds = 0;
      std::int32_t micros = 0;
      plist_get_date_val(node, &seconds, &micros);
      return isoDate(seconds, micros);
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      std::uint64_t size = 0;
      plist_get_data_val(node, &raw, &size);
      CString data(raw);
      return base64(reinterpret_cast<const unsigned char*>(data.get()), data ? size : 0);
    }
    case PLIST_UID:
    case PLIST_NONE:
      break;
  }
  return nullptr;
}

}  // namespace

Expected<PropertyListValue, std::string> parsePropertyList(std::string_view bytes) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return makeUnexpected("property list too large");
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root) return makeUnexpected("not a property list");
  try {
    return convert(root.get(), 0);
  } catch (const std::exception& e) {
    return makeUnexpected(std::string(e.what()));
  }
}

Expected<PropertyListValue, std::string> readPropertyList(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return makeUnexpected("cannot open " + path.string());
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return makeUnexpected("cannot read " + path.string());
  return parsePropertyList(bytes.str());
}

}  // namespace kestrom::bundle
