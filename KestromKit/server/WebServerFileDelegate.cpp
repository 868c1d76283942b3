#include "KestromKit/server/WebServerFileDelegate.h"

namespace kestrom {

std::string_view rawValue(SaveError error) {
  switch (error) {
    case SaveError::userCancelled: return "userCancelled";
    case SaveError::moveError: return "moveError";
  }
  return {};
}

}  // namespace kestrom
