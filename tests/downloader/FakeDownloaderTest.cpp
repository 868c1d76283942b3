// The recording downloader that kit tests drive: requests are kept, finished by the test, and
// answered through the test's queue.

#include <gtest/gtest.h>

#include "platform/dispatch/ManualQueue.h"
#include "platform/downloader/FakeDownloader.h"
#include "tests/downloader/DownloadTestSupport.h"

namespace kestrom::test {
namespace {

using downloader::DownloadErrorKind;
using downloader::FakeDownloader;

TEST(FakeDownloaderTest, RecordsRequestsAndAnswersThroughTheQueue) {
  auto queue = std::make_shared<dispatch::ManualQueue>();
  FakeDownloader fake(queue);
  TemporaryFolder folder;
  writeFile(folder / "a.bin", "old");

  Outcome a, b, c;
  const auto idA = fake.download("http://example.invalid/a", folder / "a.bin", a.progressHandler(), a.handler());
  const auto idB = fake.download("http://example.invalid/b", folder / "b.bin", nullptr, b.handler());
  const auto idC = fake.download("http://example.invalid/c", folder / "c.bin", nullptr, c.handler());
  EXPECT_EQ(fake.pending(), (std::vector{idA, idB, idC}));
  ASSERT_EQ(fake.requests().size(), 3u);
  EXPECT_EQ(fake.requests()[1].url, "http://example.invalid/b");
  EXPECT_EQ(fake.requests()[1].destination, folder / "b.bin");

  fake.reportProgress(idA, {5, 10});
  EXPECT_TRUE(fake.succeed(idA, "new bytes"));
  EXPECT_TRUE(fake.fail(idB, DownloadErrorKind::httpStatus, "the server answered 404", 404));
  fake.cancel(idC);
  EXPECT_FALSE(fake.succeed(idA, "again"));  // finished requests stay finished
  fake.cancel(idA);
  EXPECT_EQ(a.calls() + b.calls() + c.calls(), 0);  // nothing runs inside the calls
  EXPECT_TRUE(fake.pending().empty());

  queue->runPending();
  ASSERT_TRUE(a.lastProgress().has_value());
  EXPECT_EQ(a.lastProgress()->received, 5u);
  ASSERT_TRUE(a.wait(std::chrono::seconds(0)).value().has_value());
  EXPECT_EQ(readFile(folder / "a.bin"), "new bytes");
  auto failed = b.wait(std::chrono::seconds(0)).value();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, "Could not download http://example.invalid/b: the server answered 404");
  EXPECT_EQ(failed.error().httpStatus, 404);
  auto cancelled = c.wait(std::chrono::seconds(0)).value();
  ASSERT_FALSE(cancelled.has_value());
  EXPECT_EQ(cancelled.error().kind, DownloadErrorKind::cancelled);
  EXPECT_TRUE(fake.requests()[2].cancelled);
  EXPECT_EQ(a.calls() + b.calls() + c.calls(), 3);
  EXPECT_EQ(folder.names(), std::vector<std::string>{"a.bin"});
}

}  // namespace
}  // namespace kestrom::test
