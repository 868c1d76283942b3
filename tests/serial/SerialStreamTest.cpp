#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serial/SerialStream.h"
#include "tests/serial/StreamRecorder.h"

namespace kestrom::serial {
namespace {

using namespace testing;
using namespace std::chrono_literals;

constexpr std::size_t kMebibyte = 1024 * 1024;

// A pseudo-terminal whose slave the stream opens by path; the test plays the device on the
// master. The slave stays open here until the stream has opened it, so the pair never hangs up.
class SerialStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128] = {};
    ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    slavePath_ = name;
    ASSERT_EQ(::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK), 0);
  }
  void TearDown() override {
    if (stream_) stream_->close();
    closeMaster();
    if (slave_ >= 0) ::close(slave_);
  }

  void openStream() {
    auto opened = SerialStream::open(slavePath_, SerialStream::kDefaultBaudRate, recorder_.handlers());
    ASSERT_TRUE(opened) << opened.error();
    stream_ = *opened;
    ::close(std::exchange(slave_, -1));
  }
  void closeMaster() {
    if (master_ >= 0) ::close(std::exchange(master_, -1));
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  StreamRecorder recorder_;
  std::shared_ptr<SerialStream> stream_;
};

TEST_F(SerialStreamTest, PassesEveryByteUnchangedBothWaysWithoutEcho) {
  openStream();
  // Carriage return, line feed, interrupt, erase, NUL, 0xFF, XON/XOFF: what a cooked terminal
  // would map, swallow or echo.
  const std::string special("\x0D\x0A\x03\x7F\x00\xFF\x11\x13", 8);
  const std::string every = bytePattern(256);
  for (const std::string& bytes : {special, every}) {
    SCOPED_TRACE(bytes.size());
    const std::size_t before = recorder_.data().size();
    ASSERT_TRUE(writeAll(master_, bytes));
    ASSERT_TRUE(recorder_.waitForData(before + bytes.size()));
    EXPECT_EQ(recorder_.data().substr(before), bytes);

    stream_->write(bytes, recorder_.completion("out"));
    EXPECT_EQ(readCount(master_, bytes.size()), bytes);
  }
  // Had the port echoed, the master would now find its own bytes coming back.
  EXPECT_EQ(readWhatComes(master_, 300ms), "");
  EXPECT_EQ(recorder_.data(), special + every);
  ASSERT_TRUE(recorder_.waitUntil([](const StreamRecorder& r) { return r.completionCountLocked() == 2; }));
  EXPECT_EQ(recorder_.completions(), (std::vector<std::string>{"out: ok", "out: ok"}));
}

TEST_F(SerialStreamTest, ReadsAMebibyteBurstWholeAndInOrder) {
  openStream();
  const std::string burst = bytePattern(kMebibyte, 3);
  ASSERT_TRUE(writeAll(master_, burst));
  ASSERT_TRUE(recorder_.waitForData(burst.size()));
  EXPECT_TRUE(recorder_.data() == burst);  // not EXPECT_EQ: a mismatch would print a mebibyte
  EXPECT_TRUE(recorder_.closedReasons().empty());
}

TEST_F(SerialStreamTest, WritesQueuedWritesWholeAndInOrderToASlowReader) {
  openStream();
  const std::string big = bytePattern(kMebibyte, 5);
  stream_->write(big, recorder_.completion("big"));
  stream_->write("", recorder_.completion("empty"));
  stream_->write("tail", recorder_.completion("tail"));
  // Small reads with pauses keep the terminal's buffer full, so the stream keeps meeting a
  // full device and has to carry on where it stopped.
  const std::string got = readCount(master_, big.size() + 4, 1ms, 16 * 1024);
  ASSERT_EQ(got.size(), big.size() + 4);
  EXPECT_TRUE(got.substr(0, big.size()) == big);
  EXPECT_EQ(got.substr(big.size()), "tail");
  ASSERT_TRUE(recorder_.waitUntil([](const StreamRecorder& r) { return r.completionCountLocked() == 3; }));
  EXPECT_EQ(recorder_.completions(), (std::vector<std::string>{"big: ok", "empty: ok", "tail: ok"}));
}

TEST_F(SerialStreamTest, AnEmptyWriteCompletesWithoutSendingAnything) {
  openStream();
  stream_->write("", recorder_.completion("empty"));
  ASSERT_TRUE(recorder_.waitUntil([](const StreamRecorder& r) { return r.completionCountLocked() == 1; }));
  EXPECT_EQ(recorder_.completions(), (std::vector<std::string>{"empty: ok"}));
  EXPECT_EQ(readWhatComes(master_, 200ms), "");
}

TEST_F(SerialStreamTest, HangingUpEndsTheStreamOnceAndFailsPendingAndLaterWrites) {
  openStream();
  // More than the terminal buffers, and nobody reads: it stays pending until the hang-up.
  stream_->write(bytePattern(kMebibyte), recorder_.completion("pending"));
  ASSERT_TRUE(writeAll(master_, "last words"));
  ASSERT_TRUE(recorder_.waitForData(10));
  closeMaster();

  ASSERT_TRUE(recorder_.waitUntil([](const StreamRecorder& r) { return r.closedCountLocked() == 1; }));
  ASSERT_EQ(recorder_.closedReasons().size(), 1u);
  EXPECT_FALSE(recorder_.closedReasons()[0].empty());
  EXPECT_EQ(recorder_.data(), "last words");
  EXPECT_FALSE(stream_->isOpen());
  std::vector<std::string> completions = recorder_.completions();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_NE(completions[0], "pending: ok");

  // A write after the end fails inside the call.
  stream_->write("late", recorder_.completion("late"));
  completions = recorder_.completions();
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_EQ(completions[1], "late: the stream is closed");

  stream_->close();
  stream_->close();
  // No handler runs once close has returned: the end was reported once, and only once.
  EXPECT_EQ(recorder_.closedReasons().size(), 1u);
}

TEST_F(SerialStreamTest, CloseFailsPendingWritesAndNeverReportsClosed) {
  openStream();
  stream_->write(bytePattern(kMebibyte), recorder_.completion("pending"));
  stream_->close();
  EXPECT_EQ(recorder_.completions(), (std::vector<std::string>{"pending: the stream was closed"}));
  closeMaster();
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(recorder_.closedReasons().empty());
  EXPECT_FALSE(stream_->isOpen());
}

TEST_F(SerialStreamTest, DroppingTheStreamFromItsOwnHandlerIsSafe) {
  // The owner lets go of the stream while its data handler runs on the watch thread.
  std::mutex mutex;
  std::shared_ptr<SerialStream> held;
  std::promise<void> dropped;
  bool droppedOnce = false;
  SerialStream::Handlers handlers{
      .data = [&](std::string) {
        std::lock_guard lock(mutex);
        held.reset();
        if (!std::exchange(droppedOnce, true)) dropped.set_value();
      },
      .closed = {},
  };
  {
    auto opened = SerialStream::open(slavePath_, SerialStream::kDefaultBaudRate, std::move(handlers));
    ASSERT_TRUE(opened) << opened.error();
    std::lock_guard lock(mutex);
    held = *opened;
  }
  ::close(std::exchange(slave_, -1));
  ASSERT_TRUE(writeAll(master_, bytePattern(1024)));  // fits the terminal buffer: nobody reads after the drop
  ASSERT_EQ(dropped.get_future().wait_for(kPatience), std::future_status::ready);
  std::lock_guard lock(mutex);
  EXPECT_EQ(held, nullptr);
}

TEST(SerialStreamOpenTest, FailsWithTheReasonForAMissingDeviceOrAnUnknownSpeed) {
  StreamRecorder recorder;
  auto missing = SerialStream::open("/nonexistent/ttyACM9", SerialStream::kDefaultBaudRate, recorder.handlers());
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().find("/nonexistent/ttyACM9"), std::string::npos);

  auto oddSpeed = SerialStream::open("/dev/null", 12345, recorder.handlers());
  ASSERT_FALSE(oddSpeed);
  EXPECT_NE(oddSpeed.error().find("12345"), std::string::npos);
}

}  // namespace
}  // namespace kestrom::serial
