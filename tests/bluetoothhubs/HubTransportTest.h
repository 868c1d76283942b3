#pragma once
// The frame of a Bluetooth hub transport's tests: a private bus with the fake Bluetooth service,
// the hub service's delegation queue, a recorder of the transport's reports and the transport
// itself, torn down so that no report or thread outlives the test.

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/dispatch/DetachedThreads.h"
#include "platform/dispatch/Queue.h"
#include "tests/bluetoothhubs/ReportRecorder.h"
#include "tests/support/bluez/FakeBluez.h"
#include "tests/support/bluez/PrivateBus.h"
#include "tests/support/bluez/Watchdog.h"

namespace kestrom::testing {

template <class Manager>
class HubTransportTest : public ::testing::Test {
 protected:
  /// `what` names the test for the watchdog that ends a hung run.
  explicit HubTransportTest(std::string what) : watchdog_(std::move(what), std::chrono::seconds(120)) {}

  void SetUp() override { fake_ = std::make_unique<FakeBluez>(); }
  void TearDown() override {
    manager_.reset();
    delegationQueue_->sync([] {});  // reports still queued let go of the manager
    recorder_.reset();              // and so does a retry action
    fake_.reset();
    // A report may have held the manager last, on its own queue: that thread ends on its own.
    EXPECT_TRUE(dispatch::waitForDetachedThreads(std::chrono::seconds(5)));
  }

  Watchdog watchdog_;
  PrivateBus bus_;
  std::unique_ptr<FakeBluez> fake_;
  std::shared_ptr<dispatch::Queue> delegationQueue_ = dispatch::makeSerialQueue("HubService Delegation");
  std::shared_ptr<ReportRecorder> recorder_ = std::make_shared<ReportRecorder>();
  std::shared_ptr<Manager> manager_;
};

}  // namespace kestrom::testing
