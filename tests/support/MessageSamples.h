#pragma once
// One table of sample values for everything the host says to the page: every reply and
// notification record (nested ones too) as a typed value beside its JSON written out by hand, and
// from the same values one reply per reply case and one notification per notification case.

#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/rpc/RPCMessage.h"
#include "KestromKit/model/Coding.h"

namespace kestrom::testing {

struct RecordSample {
  std::string_view label;                  // type name, and which sample when a type has several
  std::string_view json;                   // the value as the page sees it, every key it sets
  std::vector<std::string_view> required;  // top-level keys whose absence fails the record
  std::vector<std::string_view> optional;  // top-level keys that may be missing or null
  std::function<Expected<Json, CodingError>()> encodeValue;      // the typed value, encoded
  std::function<Decoded<bool>(const Json&)> decodesToValue;      // decodes and equals the value?
  std::function<Decoded<Json>(const Json&)> decodeThenEncode;    // the record read and written again
};

/// Every reply and notification record, with the three hub shapes, 30-odd rows.
const std::vector<RecordSample>& recordSamples();
const RecordSample& recordSample(std::string_view label);

/// The sample `label` decoded as a `T`; throws when it does not decode.
template <class T>
T sampleValue(std::string_view label) {
  auto value = decode<T>(Json::parse(recordSample(label).json));
  if (!value) throw std::runtime_error(value.error().description());
  return *value;
}

struct ResponseSample {
  RPC::Response response;
  std::string_view result;  // JSON of "result", or the error text for the error case
};

/// One reply per reply case, in case order (46).
const std::vector<ResponseSample>& responseSamples();

struct NotificationSample {
  RPC::Notification notification;
  std::string_view method;  // written out by hand, not taken from the method table
  std::string_view params;  // JSON of "params"
};

/// One notification per notification case, in case order (23).
const std::vector<NotificationSample>& notificationSamples();

/// The configuration inside the "/configuration/changed" sample, and its params JSON.
const Configuration& sampleConfiguration();
std::string_view sampleConfigurationParams();

/// Parses text as unordered JSON so that member order does not matter in comparisons.
nlohmann::json unordered(std::string_view text);
nlohmann::json unordered(const Json& value);
inline nlohmann::json unordered(const char* text) { return unordered(std::string_view(text)); }
inline nlohmann::json unordered(const std::string& text) { return unordered(std::string_view(text)); }

/// The keys of a JSON object, in sorted order.
template <class JsonObject>
std::set<std::string> keysOf(const JsonObject& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

}  // namespace kestrom::testing
