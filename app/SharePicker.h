#pragma once
// What the share picker offers for a file and what each entry does: "E-mail" (only when an
// e-mail can be composed) and "Show in Folder", in that order. The GTK menu is built from this
// in AppDelegateServices.cpp. Main thread; no state of its own.

#include <filesystem>
#include <string>
#include <vector>

#include "platform/share/Share.h"

namespace kestrom::app {

struct ShareEntry {
  enum class Kind { email, showInFolder };
  Kind kind;
  std::string title;  // "E-mail", "Show in Folder"
};

/// The entries the picker shows, in order.
std::vector<ShareEntry> shareEntries(const share::Share& share);

/// Runs `kind` for the first of `items` (the picker shares one project file at a time); false
/// when there is nothing to share or the e-mail could not be started.
bool performShare(share::Share& share, ShareEntry::Kind kind, const std::vector<std::filesystem::path>& items);

}  // namespace kestrom::app
