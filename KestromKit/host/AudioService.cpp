#include "KestromKit/host/AudioService.h"

namespace kestrom {

using ResponseCase = RPC::Response::Case;

AudioService::AudioService(std::shared_ptr<RPCInterface> interface) : interface_(std::move(interface)) {}

void AudioService::checkRecordingPermission(const std::string& requestID) {
  interface_->send(RPC::Response::make<ResponseCase::audioCheckRecordingPermission>(
      requestID, RPCResponseAudioCheckRecordingPermissionParams{false}));
}

void AudioService::startRecording(const std::string& requestID) {
  interface_->send(RPC::Response::error(requestID, "Unable to start recording"));
}

void AudioService::stopRecording(const std::string& requestID) {
  interface_->send(RPC::Response::error(requestID, "Unable to stop recording"));
}

void AudioService::startReportingLevels(const std::string& requestID) {
  interface_->send(RPC::Response::make<ResponseCase::audioStartReportingLevels>(requestID));
}

void AudioService::stopAudioEngine() {}

GamepadService::GamepadService(std::shared_ptr<RPCInterface> interface, double targetHz)
    : interface_(std::move(interface)), targetHz_(targetHz) {}

}  // namespace kestrom
