// How replies and notifications are built: each case carries its own type, and every request case
// has its namesake reply case.

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "KestromKit/rpc/RPCMessage.h"

namespace kestrom {
namespace {

using RC = RPC::Response::Case;
using NC = RPC::Notification::Case;

TEST(RPCCasesTest, EveryRequestCaseIsAnsweredByTheReplyCaseOfTheSameName) {
  std::set<RC> seen;
  for (std::size_t i = 0; i < RPC::kRequestCaseCount; ++i) {
    auto request = static_cast<RPC::Request::Case>(i);
    auto reply = RPC::responseCase(request);
    SCOPED_TRACE(std::string(RPC::toString(request)));
    EXPECT_NE(reply, RC::error);
    EXPECT_EQ(RPC::toString(reply), RPC::toString(request));
    seen.insert(reply);
  }
  EXPECT_EQ(seen.size(), RPC::kRequestCaseCount);
}

TEST(RPCCasesTest, AReplyMustCarryTheTypeOfItsCase) {
  EXPECT_THROW(RPC::Response(RC::projectsSaveAs, "x", JSONObject{}), std::logic_error);
  EXPECT_THROW(RPC::Response(RC::miscPing, "x", RPC::ErrorText{"no"}), std::logic_error);
  EXPECT_THROW(RPC::Response(RC::error, "x", JSONObject{}), std::logic_error);
  EXPECT_NO_THROW(RPC::Response(RC::projectsSaveAs, "x", RPCResponseProjectsSaveAsParams{}));
}

TEST(RPCCasesTest, AnEmptyResultExistsOnlyForFreeObjectCases) {
  auto ok = RPC::Response::emptyResult(RC::configurationRequest, "c");
  EXPECT_EQ(ok.kind(), RC::configurationRequest);
  EXPECT_EQ(ok.id(), "c");
  EXPECT_TRUE(ok.result<JSONObject>().empty());
  EXPECT_EQ(ok.errorMessage(), nullptr);
  for (auto typed : {RC::error, RC::hubGetConnections, RC::audioStopRecording, RC::audioCheckRecordingPermission,
                     RC::deviceSelectFolder, RC::projectsRequestAll, RC::projectsRequestInitialProjects,
                     RC::projectsSaveAs}) {
    SCOPED_TRACE(std::string(RPC::toString(typed)));
    EXPECT_THROW(RPC::Response::emptyResult(typed, "c"), std::logic_error);
  }
}

TEST(RPCCasesTest, ANotificationMustCarryTheTypeOfItsCaseAndNamesItsMethod) {
  EXPECT_THROW(RPC::Notification(NC::hubConnected, JSONObject{}), std::logic_error);
  EXPECT_THROW(RPC::Notification(NC::hubConnecting, RPCNotifyHubConnectedParams{}), std::logic_error);
  auto found = RPC::Notification::make<NC::hubDeviceFound>();
  EXPECT_EQ(found.method(), ClientAPINotification::hubDevicefound);
  EXPECT_EQ(rawValue(found.method()), "hub/devicefound");
  EXPECT_EQ(rawValue(RPC::notificationMethod(NC::gamepadSnapshot)), "gamepad/snapshot");
  EXPECT_EQ(rawValue(RPC::notificationMethod(NC::projectsRequestOpen)), "/projects/opennotification");
}

TEST(RPCCasesTest, NotificationCasesMapOntoDistinctMethods) {
  std::set<ClientAPINotification> methods;
  for (std::size_t i = 0; i < RPC::kNotificationCaseCount; ++i)
    methods.insert(RPC::notificationMethod(static_cast<NC>(i)));
  EXPECT_EQ(methods.size(), kClientAPINotificationCount);
}

}  // namespace
}  // namespace kestrom
