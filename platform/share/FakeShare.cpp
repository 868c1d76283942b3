#include "platform/share/FakeShare.h"

namespace kestrom::share {

bool FakeShare::email(const std::filesystem::path& file) {
  if (!emailAvailable) return false;
  emailed.push_back(file);
  return true;
}

}  // namespace kestrom::share
