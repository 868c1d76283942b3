// The page's view of the microphone and of a game controller, with SDL underneath: a recording of
// a 440 Hz sine read by SDL's "disk" driver reports the recorder's level and leaves a WAV file
// that libsndfile reads back; the tap reports its level; a virtual controller arrives, is
// sampled in the standard layout, and leaves.

#include <SDL.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>

#include "KestromKit/host/AudioService.h"
#include "KestromKit/host/GamepadService.h"
#include "platform/audio/SDLAudioInput.h"
#include "platform/gamepads/SDLGamepads.h"
#include "tests/sdl/AudioTestSupport.h"
#include "tests/support/FrameRecorder.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

// Runs the main loop until `done` holds or 60 s pass (the machine may be busy).
bool runUntil(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + 60s;
  while (!done() && std::chrono::steady_clock::now() < end) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(500);
  }
  return done();
}

// The services check that they run on the main queue: the test thread owns the main context
// for as long as it plays the main thread.
struct OnMainContext {
  OnMainContext() { g_main_context_acquire(nullptr); }
  ~OnMainContext() { g_main_context_release(nullptr); }
  OnMainContext(const OnMainContext&) = delete;
  OnMainContext& operator=(const OnMainContext&) = delete;
};

std::vector<Json> levelsSince(const test::FrameRecorder& page, std::size_t first) {
  auto all = page.notifications("/audio/levelupdate");
  return {all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end()};
}

TEST(ShellServicesOverSDLTest, RecordingAndTapLevelsOfASineAndTheRecordedFile) {
  OnMainContext onMain;
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrom-shell-sdl-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path folder = pattern;
  audio::testing::writeRaw(folder / "sine.raw", audio::testing::sine(440, 30.0));
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIODELAY", "5", 1);  // faster than real time
  setenv("SDL_DISKAUDIOFILEIN", (folder / "sine.raw").c_str(), 1);

  auto page = std::make_shared<test::FrameRecorder>();
  auto input = std::make_shared<audio::SDLAudioInput>();
  auto service = std::make_shared<AudioService>(page, [input] { return input; }, folder);
  service->checkRecordingPermission("perm");
  ASSERT_EQ(page->reply("perm")["result"], Json::parse(R"({"granted":true})")) << "the disk driver is a device";

  service->startRecording("rec");
  ASSERT_EQ(page->reply("rec")["result"], Json::object());
  ASSERT_TRUE(runUntil([&] { return page->notifications("/audio/levelupdate").size() >= 6; }));
  auto levels = page->notifications("/audio/levelupdate");
  // The first window may straddle the start; the later ones see the sine alone.
  EXPECT_NEAR(levels.back()["params"]["level"].get<double>(), 0.345, 0.02);
  EXPECT_GT(levels.back()["params"]["duration"].get<double>(), 0.0);

  service->stopRecording("stop");
  // The answer is the file's URL without its "file:///"; this folder's name needs no escapes.
  const std::string answered = page->reply("stop")["result"]["filePath"];
  ASSERT_FALSE(answered.empty());
  ASSERT_NE(answered.front(), '/');
  const std::string path = "/" + answered;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr) << path;
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_GT(info.frames, 0);
  sf_close(file);

  const std::size_t before = page->notifications("/audio/levelupdate").size();
  service->startReportingLevels("tap");
  ASSERT_EQ(page->reply("tap")["result"], Json::object());
  ASSERT_TRUE(runUntil([&] { return levelsSince(*page, before).size() >= 8; }));
  auto tap = levelsSince(*page, before);
  EXPECT_DOUBLE_EQ(tap.back()["params"]["duration"].get<double>(), 0.1);
  EXPECT_NEAR(tap.back()["params"]["level"].get<double>(), 8.44, 0.4);
  service->stopReportingLevels("untap");
  EXPECT_EQ(page->reply("untap")["result"], Json::object());
  service.reset();
  input.reset();
  std::filesystem::remove_all(folder);
}

TEST(ShellServicesOverSDLTest, AVirtualControllerIsAnnouncedSampledAndLetGo) {
  OnMainContext onMain;
  auto page = std::make_shared<test::FrameRecorder>();
  auto gamepads = std::make_shared<gamepads::SDLGamepads>(dispatch::mainQueue());
  auto service = GamepadService::make(page, gamepads, 60);
  ASSERT_TRUE(service);

  SDL_VirtualJoystickDesc desc{};
  desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
  desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
  desc.naxes = SDL_CONTROLLER_AXIS_MAX;
  desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
  desc.vendor_id = 0x1234;
  desc.product_id = 0x5678;
  desc.name = "Virtual Pad";
  const int index = SDL_JoystickAttachVirtualEx(&desc);
  ASSERT_GE(index, 0) << SDL_GetError();
  SDL_Joystick* joystick = SDL_JoystickOpen(index);
  ASSERT_NE(joystick, nullptr);
  const SDL_JoystickID id = SDL_JoystickInstanceID(joystick);
  // A virtual trigger spans -32768..32767, which SDL maps onto 0..32767: fully released here.
  SDL_JoystickSetVirtualAxis(joystick, SDL_CONTROLLER_AXIS_TRIGGERLEFT, -32768);
  SDL_JoystickSetVirtualAxis(joystick, SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 32767);
  SDL_JoystickSetVirtualAxis(joystick, SDL_CONTROLLER_AXIS_LEFTY, -32768);  // pushed up
  SDL_JoystickSetVirtualButton(joystick, SDL_CONTROLLER_BUTTON_A, 1);

  ASSERT_TRUE(runUntil([&] { return !page->notifications("gamepad/connected").empty(); }));
  EXPECT_EQ(page->notifications("gamepad/connected")[0]["params"], Json::parse(R"({"id":"Virtual Pad"})"));
  auto pressed = [&] {
    auto snapshots = page->notifications("gamepad/snapshot");
    return !snapshots.empty() && snapshots.back()["params"]["snapshot"]["buttons"][0]["pressed"] == true &&
           snapshots.back()["params"]["snapshot"]["buttons"][7]["pressed"] == true;
  };
  ASSERT_TRUE(runUntil(pressed));
  const Json snapshot = page->notifications("gamepad/snapshot").back()["params"]["snapshot"];
  EXPECT_EQ(snapshot["id"], "Virtual Pad");
  EXPECT_EQ(snapshot["mapping"], "standard");
  EXPECT_EQ(snapshot["buttons"].size(), 18u);
  EXPECT_EQ(snapshot["buttons"][6]["value"], 0.0);
  EXPECT_NEAR(snapshot["buttons"][7]["value"].get<double>(), 1.0, 1e-3);
  EXPECT_LT(snapshot["axes"][1].get<double>(), -0.99) << "a stick pushed up reads -1, as in the browser";

  // Unplugged while the timer runs: announced once, and no snapshot of it afterwards.
  for (int i = 0; i < SDL_NumJoysticks(); ++i)
    if (SDL_JoystickGetDeviceInstanceID(i) == id) SDL_JoystickDetachVirtual(i);
  SDL_JoystickClose(joystick);
  ASSERT_TRUE(runUntil([&] { return !page->notifications("gamepad/disconnected").empty(); }));
  const auto count = page->notifications("gamepad/snapshot").size();
  auto end = std::chrono::steady_clock::now() + 200ms;
  runUntil([&] { return std::chrono::steady_clock::now() > end; });
  EXPECT_EQ(page->notifications("gamepad/snapshot").size(), count);
  service->reset();
}

}  // namespace
}  // namespace kestrom
