#include "app/SharePicker.h"

namespace kestrom::app {

std::vector<ShareEntry> shareEntries(const share::Share& share) {
  std::vector<ShareEntry> entries;
  if (share.canEmail()) entries.push_back({ShareEntry::Kind::email, "E-mail"});
  entries.push_back({ShareEntry::Kind::showInFolder, "Show in Folder"});
  return entries;
}

bool performShare(share::Share& share, ShareEntry::Kind kind, const std::vector<std::filesystem::path>& items) {
  if (items.empty()) return false;
  if (kind == ShareEntry::Kind::email) return share.email(items.front());
  share.showInFolder(items.front());
  return true;
}

}  // namespace kestrom::app
