#pragma once
// Saves the settings the page sends into the settings store.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/CommonRecords.h"
#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/storage/SettingValueStore.h"

namespace kestrom {

/// A small value the kit and the configuration handler share; it keeps no state beyond the store.
/// Any queue: `save` enters the store's queue synchronously; `handleSave` never waits for it.
class SettingsHandler {
 public:
  /// `handleSave` answers through `interface` and runs `languageChanged` when a save changed
  /// "ui.language"; a handler made without them only saves.
  explicit SettingsHandler(std::shared_ptr<SettingValueStore> store, std::shared_ptr<RPCInterface> interface = nullptr,
                           std::function<void()> languageChanged = {});

  /// Stores every given setting unchanged and writes the file once. Settings the batch does not
  /// name keep their values: a save merges, it never replaces the whole set. The error is the
  /// store's reason when the file could not be written (memory then keeps the values it had).
  Expected<void, std::string> save(const std::map<std::string, IUserSetting>& settings) const;
  /// Stores one text setting (the interface language).
  Expected<void, std::string> save(const std::string& value, const std::string& key) const;

  /// "/settings/save": hands the batch to the store and returns at once; once it is on disk the
  /// answer goes out from main, after `languageChanged` when the batch changed "ui.language". A
  /// save that did not reach the disk is not reported as done: the page hears why. Saves that
  /// come faster than the disk takes them are written together, once.
  void handleSave(const std::string& id, const RPCRequestSettingsSaveParams& params) const;

 private:
  std::shared_ptr<SettingValueStore> store_;
  std::shared_ptr<RPCInterface> interface_;
  std::function<void()> languageChanged_;
};

}  // namespace kestrom
