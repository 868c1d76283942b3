#pragma once
// A valid payload for every request method, with the keys each payload requires and may leave
// out, written down independently of the record tables so tests can check those tables.

#include <string_view>
#include <vector>

namespace kestrom::testing {

struct RequestSample {
  std::string_view method;                  // the method string
  std::string_view values;                  // JSON text of a valid "values" member, every key set
  std::vector<std::string_view> required;   // keys whose absence fails the payload
  std::vector<std::string_view> optional;   // keys that may be missing or null
  bool freeObject = false;                  // any JSON object is a valid payload
};

/// One row per request method, 45 in all.
const std::vector<RequestSample>& requestSamples();
const RequestSample& requestSample(std::string_view method);

}  // namespace kestrom::testing
