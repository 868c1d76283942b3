#include "KestromKit/storage/SettingsHandler.h"

#include <algorithm>

#include "platform/dispatch/Queue.h"

namespace kestrom {

namespace {

JSONObject valuesOf(const std::map<std::string, IUserSetting>& settings) {
  JSONObject values;
  for (const auto& [name, setting] : settings) values.insert_or_assign(name, setting.value);
  return values;
}

}  // namespace

SettingsHandler::SettingsHandler(std::shared_ptr<SettingValueStore> store, std::shared_ptr<RPCInterface> interface,
                                 std::function<void()> languageChanged)
    : store_(std::move(store)), interface_(std::move(interface)), languageChanged_(std::move(languageChanged)) {}

Expected<void, std::string> SettingsHandler::save(const std::map<std::string, IUserSetting>& settings) const {
  return store_->setValues(valuesOf(settings));
}

Expected<void, std::string> SettingsHandler::save(const std::string& value, const std::string& key) const {
  return store_->setString(key, value);
}

void SettingsHandler::handleSave(const std::string& id, const RPCRequestSettingsSaveParams& params) const {
  store_->saveValues(valuesOf(params.settings), [id, interface = interface_, languageChanged = languageChanged_](
                                           SettingValueStore::SaveResult saved) {
    // On the store's queue, once the batch is on disk: the answer goes out from main.
    dispatch::mainQueue()->async([id, interface, languageChanged, saved = std::move(saved)] {
      if (!saved) {
        interface->send(RPC::Response::error(id, "Unable to save settings: " + saved.error()));
        return;
      }
      if (languageChanged && std::find(saved->begin(), saved->end(), "ui.language") != saved->end()) languageChanged();
      interface->send(RPC::Response::make<RPC::Response::Case::settingsSave>(id));
    });
  });
}

}  // namespace kestrom
