// The whole-buffer loops against real files and a pipe.

#include "platform/files/DescriptorIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/TempFolder.h"

namespace kestrom::files {
namespace {

class DescriptorIOTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(temp_.path().empty()); }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
  }

  int open(int flags) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open((temp_.path() / "data").c_str(), flags | O_CLOEXEC, 0600);
    return fd_;
  }

  test::TempFolder temp_{"kestrom-descriptorio"};
  int fd_ = -1;
};

TEST_F(DescriptorIOTest, WhatIsWrittenWholeIsReadBackFromAnyOffset) {
  std::string bytes(300 * 1024, '\0');  // more than one write of a pipe or socket takes at once
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  ASSERT_GE(open(O_WRONLY | O_CREAT | O_TRUNC), 0);
  ASSERT_TRUE(writeAll(fd_, bytes));

  ASSERT_GE(open(O_RDONLY), 0);
  std::string back(bytes.size(), '?');
  ASSERT_TRUE(readFully(fd_, back.data(), 0, back.size()));
  EXPECT_EQ(back, bytes);
  std::string middle(1000, '?');
  ASSERT_TRUE(readFully(fd_, middle.data(), 200 * 1024 + 3, middle.size()));
  EXPECT_EQ(middle, bytes.substr(200 * 1024 + 3, 1000));
  EXPECT_EQ(::lseek(fd_, 0, SEEK_CUR), 0) << "positioned reads leave the file position alone";
}

TEST_F(DescriptorIOTest, AFileThatEndsEarlyOrCannotBeReadFails) {
  ASSERT_GE(open(O_WRONLY | O_CREAT | O_TRUNC), 0);
  ASSERT_TRUE(writeAll(fd_, "short"));
  char buffer[16];
  EXPECT_FALSE(readFully(fd_, buffer, 0, 3)) << "written only";

  ASSERT_GE(open(O_RDONLY), 0);
  EXPECT_TRUE(readFully(fd_, buffer, 0, 5));
  EXPECT_FALSE(readFully(fd_, buffer, 2, 4)) << "ends one byte early";
  EXPECT_FALSE(readFully(fd_, buffer, 5, 1)) << "past the end";
  EXPECT_TRUE(readFully(fd_, buffer, 5, 0)) << "nothing asked, nothing missing";

  auto refused = writeAll(fd_, "x");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), std::error_code(EBADF, std::generic_category()));

  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ASSERT_TRUE(writeAll(pipe[1], "piped"));
  EXPECT_FALSE(readFully(pipe[0], buffer, 0, 5)) << "a pipe has no offsets";
  ::close(pipe[0]);
  ::close(pipe[1]);
}

}  // namespace
}  // namespace kestrom::files
