#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/model/Coding.h"
#include "KestromKit/storage/SettingValueStore.h"
#include "KestromKit/storage/SettingsHandler.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "tests/support/TempFolder.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

nlohmann::json unordered(const Json& j) { return nlohmann::json::parse(j.dump()); }

class SettingValueStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.empty());
    file_ = folder_ / "app_userSettings.json";
  }

  void put(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
  std::string get(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  Json fileJson() { return Json::parse(get(file_)); }
  std::set<std::string> names() const {
    std::set<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder_)) out.insert(entry.path().filename().string());
    return out;
  }
  static std::map<std::string, IUserSetting> settings(const char* json) {
    std::map<std::string, IUserSetting> out;
    const Json parsed = Json::parse(json);
    for (const auto& [key, value] : parsed.items()) out[key] = IUserSetting{JSONAny(value)};
    return out;
  }

  log::ScopedRecording recording_;
  test::TempFolder temp_{"kestrom-settings"};
  const fs::path& folder_ = temp_.path();
  fs::path file_;
};

TEST_F(SettingValueStoreTest, StartsEmptyWithoutAFileAndTheFirstSaveCreatesIt) {
  auto store = std::make_shared<SettingValueStore>(file_);
  EXPECT_TRUE(store->store().empty());
  EXPECT_TRUE(recording_.sink().contains("General", "No existing settings store was loaded."));
  EXPECT_FALSE(fs::exists(file_));

  SettingsHandler handler{store};
  ASSERT_TRUE(handler.save(settings("{}")));
  EXPECT_FALSE(fs::exists(file_)) << "an empty batch writes nothing";

  ASSERT_TRUE(handler.save(settings(R"({"ui.language": "de-DE"})")));
  EXPECT_EQ(unordered(fileJson()), unordered(Json::parse(R"({"ui.language": "de-DE"})")));
  EXPECT_EQ(get(file_).find('\n'), std::string::npos) << "written compact";
  EXPECT_EQ(names(), std::set<std::string>{"app_userSettings.json"}) << "no temporary file left behind";
}

TEST_F(SettingValueStoreTest, SavesMergeAndSurviveAReloadFromDisk) {
  {
    auto store = std::make_shared<SettingValueStore>(file_);
    SettingsHandler handler{store};
    ASSERT_TRUE(handler.save(settings(R"({"a": 1, "b": "text"})")));
    ASSERT_TRUE(handler.save(settings(R"({"c": [1, 2.5, {"d": null}], "b": false, "e": null})")));
    ASSERT_TRUE(handler.save("en-US", "ui.language"));
  }
  const Json expected = Json::parse(
      R"({"a": 1, "b": false, "c": [1, 2.5, {"d": null}], "e": null, "ui.language": "en-US"})");
  EXPECT_EQ(unordered(fileJson()), unordered(expected));

  SettingValueStore reloaded(file_);
  EXPECT_FALSE(recording_.sink().contains("General", "Loaded settings store with 5 entries.")) << "read on load";
  reloaded.load();
  EXPECT_TRUE(recording_.sink().contains("General", "Loaded settings store with 5 entries."));
  auto all = reloaded.store();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_TRUE(all.at("a").value.is_number_integer()) << "a whole number stays a whole number";
  EXPECT_TRUE(all.at("e").value.is_null()) << "null is a stored value, not an absent one";
  for (const auto& [key, value] : expected.items()) {
    SCOPED_TRACE(key);
    EXPECT_EQ(all.at(key).value, value);
  }
}

TEST_F(SettingValueStoreTest, SettingStringReadsOnlyTextValues) {
  put(file_, R"({"text": "x", "number": 3, "object": {"a": "b"}, "empty": ""})");
  SettingValueStore store(file_);
  EXPECT_EQ(store.settingString("text"), "x");
  EXPECT_EQ(store.settingString("empty"), "");
  EXPECT_EQ(store.settingString("number"), std::nullopt);
  EXPECT_EQ(store.settingString("number", "fallback"), "fallback");
  EXPECT_EQ(store.settingString("object", "fallback"), "fallback");
  EXPECT_EQ(store.settingString("absent", "fallback"), "fallback");
  EXPECT_EQ(store.settingString("absent"), std::nullopt);
  // The same answer from the store's own queue, where the settings handler's callers run it.
  EXPECT_EQ(store.queue()->syncValue([&] { return store.settingString("text"); }), "x");
}

TEST_F(SettingValueStoreTest, AFileThatIsNoJsonObjectIsSetAsideAndNeverOverwritten) {
  const std::vector<std::string> damaged = {"{\"a\": 1", "[1, 2]", "", "null", "\"text\"", "{\"a\": 1} trailing",
                                            std::string("{\"a\": \"\xff\"}")};
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    SCOPED_TRACE("damaged file " + std::to_string(i));
    put(file_, damaged[i]);
    auto store = std::make_shared<SettingValueStore>(file_);
    EXPECT_TRUE(store->store().empty());
    EXPECT_FALSE(fs::exists(file_));
    const fs::path aside = folder_ / (i == 0 ? "app_userSettings.json.corrupt"
                                             : "app_userSettings.json." + std::to_string(i) + ".corrupt");
    ASSERT_TRUE(fs::exists(aside));
    EXPECT_EQ(get(aside), damaged[i]) << "the damaged bytes are kept as they were";

    ASSERT_TRUE(SettingsHandler{store}.save(settings(R"({"fresh": true})")));
    EXPECT_EQ(unordered(fileJson()), unordered(Json::parse(R"({"fresh": true})")));
    EXPECT_EQ(get(aside), damaged[i]);
  }
  EXPECT_EQ(names().size(), damaged.size() + 1);
  EXPECT_TRUE(recording_.sink().contains("General", "Settings store could not be read"));
}

TEST_F(SettingValueStoreTest, AFailedWriteChangesNothingAndReportsWhy) {
  const fs::path missingFolder = folder_ / "gone" / "userSettings.json";
  auto store = std::make_shared<SettingValueStore>(missingFolder);
  auto saved = SettingsHandler{store}.save(settings(R"({"a": 1})"));
  ASSERT_FALSE(saved);
  EXPECT_FALSE(saved.error().empty());
  EXPECT_TRUE(recording_.sink().contains("General", "Unable to persist settings store with error: "));
  EXPECT_TRUE(store->store().empty()) << "memory holds what the disk holds";
  EXPECT_FALSE(fs::exists(folder_ / "gone")) << "missing folders are not created";

  fs::create_directories(folder_ / "gone");
  ASSERT_TRUE(SettingsHandler{store}.save(settings(R"({"b": 2})")));
  EXPECT_EQ(unordered(Json::parse(get(missingFolder))), unordered(Json::parse(R"({"b": 2})")));
}

TEST_F(SettingValueStoreTest, ABatchThatFailsPutsBackWhatItReplaced) {
  auto store = std::make_shared<SettingValueStore>(file_, nullptr, SettingLimits{.maxValueBytes = 64, .maxStoreBytes = 128});
  SettingsHandler handler{store};
  ASSERT_TRUE(handler.save(settings(R"({"a": 1, "b": "two"})")));
  const auto before = get(file_);

  auto tooLarge = handler.save(settings(R"({"a": 5, "c": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"})"));
  ASSERT_FALSE(tooLarge);
  EXPECT_NE(tooLarge.error().find("\"c\""), std::string::npos) << tooLarge.error();
  // Each value fits, the store would not.
  std::string fill(50, 'f');
  ASSERT_TRUE(handler.save(settings(("{\"d\": \"" + fill + "\"}").c_str())));
  auto storeFull = handler.save(settings(("{\"a\": 9, \"e\": \"" + fill + "\"}").c_str()));
  ASSERT_FALSE(storeFull);
  EXPECT_NE(storeFull.error().find("more than the 128"), std::string::npos) << storeFull.error();

  auto kept = store->store();
  EXPECT_EQ(kept.at("a").value, Json(1));
  EXPECT_EQ(kept.count("c") + kept.count("e"), 0u);
  EXPECT_EQ(unordered(Json::parse(get(file_))), unordered(Json::parse(R"({"a": 1, "b": "two", "d": ")" + fill + R"("})")));
  EXPECT_NE(before, get(file_));
}

TEST_F(SettingValueStoreTest, AFileOverTheBoundAndStrayTemporaryFilesAreSetAsideAtStart) {
  put(file_, R"({"big": ")" + std::string(300, 'x') + R"("})");
  put(folder_ / ".app_userSettings.json.tmp-0123456789ab", "half written");
  put(folder_ / ".other.json.tmp-0123456789ab", "not ours");
  SettingValueStore store(file_, nullptr, SettingLimits{.maxValueBytes = 1024, .maxStoreBytes = 256});
  EXPECT_TRUE(store.store().empty());
  EXPECT_EQ(names(), (std::set<std::string>{"app_userSettings.json.corrupt", ".other.json.tmp-0123456789ab"}));
}

TEST_F(SettingValueStoreTest, ConcurrentReadersAndWritersSeeWholeValues) {
  auto store = std::make_shared<SettingValueStore>(file_);
  SettingsHandler handler{store};
  std::thread writer([&] {
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(handler.save(std::to_string(i), "counter"));
  });
  for (int i = 0; i < 200; ++i) {
    auto value = store->settingString("counter", "none");
    ASSERT_TRUE(value.has_value());
    auto all = store->store();
    EXPECT_LE(all.size(), 1u);
  }
  writer.join();
  EXPECT_EQ(store->settingString("counter"), "49");
  EXPECT_EQ(SettingValueStore(file_).settingString("counter"), "49");
}

TEST_F(SettingValueStoreTest, SavesFasterThanTheDiskAreWrittenOnceAndEachAnsweredWhenOnDisk) {
  auto queue = dispatch::makeSerialQueue("settings-test");
  auto store = std::make_shared<SettingValueStore>(file_, queue, SettingLimits{.maxValueBytes = 64, .maxStoreBytes = 4096});
  ASSERT_TRUE(store->setValue("start", JSONAny(Json(0))));
  const auto writesBefore = store->writeCount();

  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  std::vector<std::pair<int, SettingValueStore::SaveResult>> results;
  // The disk is busy: the queue is held while the saves come in.
  queue->async([&] {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return open; });
  });
  for (int i = 0; i < 40; ++i) {
    JSONObject values{{"counter", JSONAny(Json(i))}, {"same", JSONAny(Json("x"))}};
    if (i == 7) values = {{"big", JSONAny(Json(std::string(100, 'b')))}};
    store->saveValues(values, [&, i](SettingValueStore::SaveResult result) {
      EXPECT_TRUE(fileJson().contains("counter")) << "answered before the file was written";
      std::lock_guard lock(mutex);
      results.emplace_back(i, std::move(result));
      changed.notify_all();
    });
  }
  {
    std::unique_lock lock(mutex);
    open = true;
    changed.notify_all();
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return results.size() == 40; }));
  }
  EXPECT_EQ(store->writeCount() - writesBefore, 1u) << "the burst was written once";
  for (std::size_t n = 0; n < results.size(); ++n) {
    const auto& [i, result] = results[n];
    EXPECT_EQ(i, static_cast<int>(n)) << "answered in the order they came";
    if (i == 7) {
      ASSERT_FALSE(result);
      EXPECT_NE(result.error().find("\"big\""), std::string::npos);
      continue;
    }
    ASSERT_TRUE(result) << i << ": " << result.error();
    // Only the first batch changed "same"; every batch changed "counter".
    EXPECT_EQ(*result, i == 0 ? (std::vector<std::string>{"counter", "same"}) : (std::vector<std::string>{"counter"}));
  }
  EXPECT_EQ(unordered(fileJson()), unordered(Json::parse(R"({"start": 0, "counter": 39, "same": "x"})")));
  EXPECT_EQ(store->store().at("counter").value, Json(39));
}

TEST_F(SettingValueStoreTest, ABurstThatCannotBeWrittenFailsEverySaveAndChangesNothing) {
  const fs::path missingFolder = folder_ / "gone" / "userSettings.json";
  auto queue = dispatch::makeSerialQueue("settings-test");
  auto store = std::make_shared<SettingValueStore>(missingFolder, queue);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<SettingValueStore::SaveResult> results;
  std::promise<void> release;
  queue->async([gate = release.get_future().share()] { gate.wait(); });
  for (int i = 0; i < 5; ++i)
    store->saveValues({{"k" + std::to_string(i), JSONAny(Json(i))}}, [&](SettingValueStore::SaveResult result) {
      std::lock_guard lock(mutex);
      results.push_back(std::move(result));
      changed.notify_all();
    });
  release.set_value();
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return results.size() == 5; }));
  for (const auto& result : results) EXPECT_FALSE(result);
  lock.unlock();
  EXPECT_TRUE(store->store().empty()) << "memory holds what the disk holds";
}

}  // namespace
}  // namespace kestrom
