#pragma once
// Property lists (XML or binary) read into JSON values through libplist: a dictionary becomes an
// object (keys in file order), an array an array, a string a string, a Boolean a Boolean, an
// integer a number, a real a double, data a base64 string and a date an ISO-8601 string (UTC).

#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/Expected.h"

namespace kestrom::bundle {

using PropertyListValue = nlohmann::ordered_json;

/// The error says why: unreadable file, not a property list.
Expected<PropertyListValue, std::string> parsePropertyList(std::string_view bytes);
Expected<PropertyListValue, std::string> readPropertyList(const std::filesystem::path& path);

}  // namespace kestrom::bundle
