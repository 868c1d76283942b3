#include "KestromKit/server/WebServerFileDelegate.h"

namespace kestrom {

std::string_view rawValue(SaveError error) {
  switch (error) {
    case SaveError::userCancelled: return "userCancelled";
    case SaveError::moveError: return "moveError";
  }
  return {};
}

std::optional<SaveError> saveErrorFromRaw(std::string_view raw) {
  if (raw == "userCancelled") return SaveError::userCancelled;
  if (raw == "moveError") return SaveError::moveError;
  return std::nullopt;
}

}  // namespace kestrom
