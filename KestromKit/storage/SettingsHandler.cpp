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

}  // namespace kestrom
