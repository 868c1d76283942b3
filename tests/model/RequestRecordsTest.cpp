#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <limits>
#include <set>

#include "KestromKit/model/ClientAPI.h"
#include "tests/model/IClientAPIRequestParams.h"
#include "KestromKit/model/RequestRecords.h"
#include "tests/support/MessageSamples.h"
#include "tests/support/RequestSamples.h"

namespace kestrom {
namespace {

using testing::RequestSample;
using testing::requestSample;
using testing::unordered;

/// One payload type behind its method string, type-erased so every rule runs over all of them.
struct PayloadCoder {
  std::string method;
  /// Decodes and re-encodes; the error is the decoding's or the encoding's.
  std::function<Expected<Json, CodingError>(const Json&)> roundTrip;
  /// Decodes, encodes, decodes again and compares the two values.
  std::function<bool(const Json&)> stable;
};

template <class T>
PayloadCoder coderFor(std::string_view method) {
  PayloadCoder coder{std::string(method), nullptr, nullptr};
  coder.roundTrip = [](const Json& j) -> Expected<Json, CodingError> {
    auto value = decode<T>(j);
    if (!value) return makeUnexpected(value.error());
    return encode(*value);
  };
  coder.stable = [](const Json& j) {
    auto value = decode<T>(j);
    if (!value) return false;
    auto written = encode(*value);
    if (!written) return false;
    auto again = decode<T>(*written);
    return again && *again == *value;
  };
  return coder;
}

// The payload type of each method is read off the schema aggregate, one field per method.
std::vector<PayloadCoder> allCoders() {
  std::vector<PayloadCoder> coders;
  std::apply(
      [&](const auto&... f) {
        (coders.push_back(coderFor<std::remove_cvref_t<decltype(IClientAPIRequestParams{}.*(f.member))>>(f.key)),
         ...);
      },
      IClientAPIRequestParams::codingFields());
  return coders;
}

Json wrongTypeFor(const Json& valid) {
  switch (valid.type()) {
    case Json::value_t::string: return 42;
    case Json::value_t::boolean: return "true";
    case Json::value_t::array: return "fd02";
    case Json::value_t::object: return Json::array();
    default: return "42";  // numbers
  }
}

Json sampleValues(const RequestSample& sample) { return Json::parse(sample.values); }

TEST(RequestRecordsTest, AggregateHasOneFieldPerMethodInMethodOrder) {
  std::vector<std::string_view> keys;
  std::apply([&](const auto&... f) { (keys.push_back(f.key), ...); }, IClientAPIRequestParams::codingFields());
  ASSERT_EQ(keys.size(), kClientAPIRequestCount);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    auto method = clientAPIRequestFromRaw(keys[i]);
    ASSERT_TRUE(method.has_value()) << keys[i];
    EXPECT_EQ(static_cast<std::size_t>(*method), i) << keys[i];
  }
}

TEST(RequestRecordsTest, EverySampleRoundTripsWithItsExactKeys) {
  for (const auto& coder : allCoders()) {
    SCOPED_TRACE(coder.method);
    const auto& sample = requestSample(coder.method);
    Json values = sampleValues(sample);
    auto written = coder.roundTrip(values);
    ASSERT_TRUE(written.has_value()) << written.error().description();
    EXPECT_EQ(unordered(*written), unordered(values));
    EXPECT_TRUE(coder.stable(values));
    if (sample.freeObject) continue;
    std::set<std::string> expected(sample.required.begin(), sample.required.end());
    expected.insert(sample.optional.begin(), sample.optional.end());
    EXPECT_EQ(testing::keysOf(*written), expected);
  }
}

TEST(RequestRecordsTest, RequiredKeysFailMissingNullOrMistyped) {
  for (const auto& coder : allCoders()) {
    const auto& sample = requestSample(coder.method);
    for (auto key : sample.required) {
      SCOPED_TRACE(coder.method + " " + std::string(key));
      const Json values = sampleValues(sample);
      Json missing = values;
      missing.erase(std::string(key));
      auto result = coder.roundTrip(missing);
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, CodingError::Kind::keyNotFound);
      EXPECT_EQ(result.error().path, "");
      EXPECT_EQ(result.error().message, "No value associated with key \"" + std::string(key) + "\".");

      Json null = values;
      null[std::string(key)] = nullptr;
      result = coder.roundTrip(null);
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, CodingError::Kind::valueNotFound);
      EXPECT_EQ(result.error().path, key);

      Json mistyped = values;
      mistyped[std::string(key)] = wrongTypeFor(values[std::string(key)]);
      result = coder.roundTrip(mistyped);
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, CodingError::Kind::typeMismatch);
      EXPECT_EQ(result.error().path, key);
    }
  }
}

TEST(RequestRecordsTest, OptionalKeysReadMissingOrNullAsEmptyButNotMistyped) {
  for (const auto& coder : allCoders()) {
    const auto& sample = requestSample(coder.method);
    for (auto key : sample.optional) {
      SCOPED_TRACE(coder.method + " " + std::string(key));
      const Json values = sampleValues(sample);
      Json expected = values;
      expected.erase(std::string(key));
      for (const Json& absent : {Json(Json::value_t::discarded), Json(nullptr)}) {
        Json j = values;
        if (absent.is_discarded())
          j.erase(std::string(key));
        else
          j[std::string(key)] = absent;
        auto written = coder.roundTrip(j);
        ASSERT_TRUE(written.has_value()) << written.error().description();
        EXPECT_EQ(unordered(*written), unordered(expected));  // left out, never written as null
      }
      Json mistyped = values;
      mistyped[std::string(key)] = wrongTypeFor(values[std::string(key)]);
      auto result = coder.roundTrip(mistyped);
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, CodingError::Kind::typeMismatch);
      EXPECT_EQ(result.error().path, key);
    }
  }
}

TEST(RequestRecordsTest, KeysMatchOnlyInTheirExactCase) {
  for (const auto& coder : allCoders()) {
    const auto& sample = requestSample(coder.method);
    for (auto key : sample.required) {
      SCOPED_TRACE(coder.method + " " + std::string(key));
      Json values = sampleValues(sample);
      Json moved = values[std::string(key)];
      values.erase(std::string(key));
      std::string upper(key);
      for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      values[upper] = moved;
      auto result = coder.roundTrip(values);
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, CodingError::Kind::keyNotFound);
    }
  }
  // The mapped keys are read only in their wire spelling.
  const std::pair<const char*, const char*> spelled[] = {
      {"/content/downloadresource", R"({"localPath": "a", "remoteURL": "u", "tmpId": "t"})"},
      {"/content/downloadresource", R"({"localPath": "a", "remoteUrl": "u", "tmpID": "t"})"},
      {"/projects/delete", R"({"projectID": "p"})"},
      {"/projects/share", R"({"projectID": "p"})"},
      {"/content/cleantemp", R"({"tmpID": "t"})"},
  };
  auto coders = allCoders();
  for (const auto& [method, text] : spelled) {
    SCOPED_TRACE(text);
    auto coder = std::find_if(coders.begin(), coders.end(), [&method = method](const auto& c) { return c.method == method; });
    ASSERT_NE(coder, coders.end());
    auto result = coder->roundTrip(Json::parse(text));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, CodingError::Kind::keyNotFound);
  }
}

TEST(RequestRecordsTest, UnknownKeysAreIgnored) {
  for (const auto& coder : allCoders()) {
    SCOPED_TRACE(coder.method);
    const auto& sample = requestSample(coder.method);
    if (sample.freeObject) continue;  // there every key is the payload
    Json values = sampleValues(sample);
    Json extended = values;
    extended["unknown"] = Json::object({{"x", 1}});
    extended["Id"] = nullptr;
    auto written = coder.roundTrip(extended);
    ASSERT_TRUE(written.has_value()) << written.error().description();
    EXPECT_EQ(unordered(*written), unordered(values));
  }
}

TEST(RequestRecordsTest, FreeObjectsTakeAnyObjectAndNothingElse) {
  for (const auto& coder : allCoders()) {
    if (!requestSample(coder.method).freeObject) continue;
    SCOPED_TRACE(coder.method);
    EXPECT_TRUE(coder.roundTrip(Json::object()).has_value());
    for (const Json& other : {Json::array(), Json("x"), Json(1), Json(true)}) {
      auto result = coder.roundTrip(other);
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, CodingError::Kind::typeMismatch);
    }
    auto null = coder.roundTrip(Json(nullptr));
    ASSERT_FALSE(null.has_value());
    EXPECT_EQ(null.error().kind, CodingError::Kind::valueNotFound);
  }
}

template <class E>
void expectExactRawValues(std::initializer_list<std::string_view> raws) {
  ASSERT_EQ(EnumTable<E>::values.size(), raws.size());
  std::size_t i = 0;
  for (auto raw : raws) {
    SCOPED_TRACE(raw);
    EXPECT_EQ(rawValue(EnumTable<E>::values[i++].first), raw);
    auto decoded = decode<E>(Json(raw));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(encode(*decoded).value(), Json(raw));
    std::string upper(raw);
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& wrong : {upper, std::string(raw) + " ", " " + std::string(raw)}) {
      auto refused = decode<E>(Json(wrong));
      ASSERT_FALSE(refused.has_value());
      EXPECT_EQ(refused.error().kind, CodingError::Kind::dataCorrupted);
    }
  }
}

TEST(RequestRecordsTest, EnumerationsReadOnlyTheirExactRawValues) {
  expectExactRawValues<HubConnectionType>({"bluetooth-classic", "bluetooth-lowenergy", "usb", "usb-hid", "virtual"});
  expectExactRawValues<DeviceSystemFolder>({"desktop", "documents", "home", "sandboxDocuments"});
  expectExactRawValues<DeviceOrientation>({"any", "landscapeLeft", "landscapeRight", "portrait"});

  auto scan = decodeText<RPCRequestHubStartScanParams>(R"({"type": "USB"})");
  ASSERT_FALSE(scan.has_value());
  EXPECT_EQ(scan.error().kind, CodingError::Kind::dataCorrupted);
  EXPECT_EQ(scan.error().path, "type");
  for (const char* type : {"usb-hid", "virtual"}) {
    auto stop = decode<RPCRequestHubStopScanParams>(Json::object({{"type", type}}));
    ASSERT_TRUE(stop.has_value()) << type;
  }
  EXPECT_EQ(decodeText<RPCRequestHubStopScanParams>(R"({"type": "virtual"})")->type, HubConnectionType::virtual_);
}

TEST(RequestRecordsTest, RecordSpecificEdges) {
  // bleServices: absent and null read as no list, an empty array as an empty list.
  EXPECT_FALSE(decodeText<RPCRequestHubStartScanParams>(R"({"type": "usb"})")->bleServices.has_value());
  EXPECT_FALSE(
      decodeText<RPCRequestHubStartScanParams>(R"({"type": "usb", "bleServices": null})")->bleServices.has_value());
  auto empty = decodeText<RPCRequestHubStartScanParams>(R"({"type": "usb", "bleServices": []})");
  ASSERT_TRUE(empty->bleServices.has_value());
  EXPECT_TRUE(empty->bleServices->empty());
  auto badService = decodeText<RPCRequestHubStartScanParams>(R"({"type": "usb", "bleServices": ["a", 1]})");
  ASSERT_FALSE(badService.has_value());
  EXPECT_EQ(badService.error().path, "bleServices.[1]");

  auto folder = decodeText<RPCRequestDeviceSelectFolderParams>(R"({"interactive": false})");
  ASSERT_TRUE(folder.has_value());
  EXPECT_FALSE(folder->initialFolder.has_value());
  EXPECT_FALSE(folder->initialPath.has_value());
  EXPECT_FALSE(decodeText<RPCRequestDeviceSelectFolderParams>(R"({"initialPath": "/"})").has_value());

  EXPECT_EQ(decodeText<RPCRequestGamepadSubscribeParams>(R"({"targetHz": 30})")->targetHz, 30.0);
  EXPECT_EQ(decodeText<RPCRequestGamepadSubscribeParams>(R"({"targetHz": 12.5})")->targetHz, 12.5);
  EXPECT_EQ(decodeText<RPCRequestHubFirmwareUpdatingParams>(R"({"expectedDuration": 90})")->expectedDuration, 90.0);
  EXPECT_FALSE(decodeText<RPCRequestGamepadSubscribeParams>(R"({"targetHz": "30"})").has_value());
  EXPECT_FALSE(decodeText<RPCRequestHubFirmwareUpdatingParams>(R"({"expectedDuration": "1.5"})").has_value());
  EXPECT_FALSE(decodeText<RPCRequestGamepadSubscribeParams>(R"({"targetHz": 1e400})").has_value());

  auto setting = decodeText<IUserSetting>(R"({"value": null})");
  ASSERT_TRUE(setting.has_value());
  EXPECT_TRUE(setting->value.value.is_null());
  EXPECT_EQ(encode(*setting).value(), Json::parse(R"({"value": null})"));
  auto noValue = decodeText<IUserSetting>("{}");
  ASSERT_FALSE(noValue.has_value());
  EXPECT_EQ(noValue.error().kind, CodingError::Kind::keyNotFound);

  auto badSetting = decodeText<RPCRequestSettingsSaveParams>(R"({"settings": {"ok": {"value": 1}, "bad": {}}})");
  ASSERT_FALSE(badSetting.has_value());
  EXPECT_EQ(badSetting.error().kind, CodingError::Kind::keyNotFound);
  EXPECT_EQ(badSetting.error().path, "settings.bad");

  auto badPath = decodeText<RPCRequestProjectsChangeProjectFolderParams>(
      R"({"migrateProjects": false, "path": {"metadata": "m"}})");
  ASSERT_FALSE(badPath.has_value());
  EXPECT_EQ(badPath.error().path, "path");
  auto noMetadata = decodeText<RPCRequestProjectsChangeProjectFolderParams>(
      R"({"migrateProjects": false, "path": {"name": "/p", "metadata": null}})");
  ASSERT_TRUE(noMetadata.has_value());
  EXPECT_FALSE(noMetadata->path.metadata.has_value());

  RPCRequestContentCodestackResponseParams codestack{std::nullopt, "c-1", std::nullopt, "python"};
  EXPECT_EQ(encode(codestack).value(), Json::parse(R"({"id": "c-1", "language": "python"})"));
}

TEST(RequestRecordsTest, ValuesBuiltInCodeRoundTrip) {
  RPCRequestSettingsSaveParams settings;
  settings.settings["a"] = IUserSetting{JSONAny(Json::array({1, "x", nullptr}))};
  settings.settings["with space"] = IUserSetting{JSONAny(Json(nullptr))};
  RPCRequestHubStartScanParams scan{std::vector<std::string>{}, HubConnectionType::usbHID};
  RPCRequestDeviceSelectFolderParams folder{DeviceSystemFolder::sandboxDocuments, "/tmp", true};
  RPCRequestProjectsChangeProjectFolderParams change{true, IHostPath{std::nullopt, "/p"}};

  EXPECT_EQ(decode<RPCRequestSettingsSaveParams>(encode(settings).value()).value(), settings);
  EXPECT_EQ(decode<RPCRequestHubStartScanParams>(encode(scan).value()).value(), scan);
  EXPECT_EQ(decode<RPCRequestDeviceSelectFolderParams>(encode(folder).value()).value(), folder);
  EXPECT_EQ(decode<RPCRequestProjectsChangeProjectFolderParams>(encode(change).value()).value(), change);
  EXPECT_EQ(encode(scan).value(), Json::parse(R"({"bleServices": [], "type": "usb-hid"})"));

  RPCRequestGamepadSubscribeParams nan{std::numeric_limits<double>::quiet_NaN()};
  auto written = encode(nan);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, CodingError::Kind::invalidValue);
}

}  // namespace
}  // namespace kestrom
