#include "KestromKit/storage/SettingsHandler.h"

#include <algorithm>

#include "platform/dispatch/Queue.h"

namespace kestrom {

Expected<void, std::string> SettingsHandler::save(const std::map<std::string, IUserSetting>& settings) const {
  JSONObject values;
  for (const auto& [name, setting] : settings) values.insert_or_assign(name, setting.value);
  return store->setValues(values);
}

Expected<void, std::string> SettingsHandler::save(const std::string& value, const std::string& key) const {
  return store->setString(key, value);
}

void SettingsHandler::handleSave(const std::string& id, const RPCRequestSettingsSaveParams& params,
                                 std::shared_ptr<RPCInterface> interface, std::function<void()> languageChanged) const {
  JSONObject values;
  for (const auto& [name, setting] : params.settings) values.insert_or_assign(name, setting.value);
  store->saveValues(std::move(values), [id, interface = std::move(interface), languageChanged = std::move(languageChanged)](
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
