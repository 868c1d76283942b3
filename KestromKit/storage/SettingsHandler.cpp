#include "KestromKit/storage/SettingsHandler.h"

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
                                 RPCInterface& interface, const std::function<void()>& languageChanged) const {
  auto before = store->settingString("ui.language");
  auto saved = save(params.settings);
  if (languageChanged && store->settingString("ui.language") != before) languageChanged();
  if (!saved) {
    interface.send(RPC::Response::error(id, "Unable to save settings: " + saved.error()));
    return;
  }
  interface.send(RPC::Response::make<RPC::Response::Case::settingsSave>(id));
}

}  // namespace kestrom
