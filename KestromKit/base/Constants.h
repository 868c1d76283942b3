#pragma once
// Process-wide values every service reads: the current user's well-known folders and the shared
// log table. Both are computed once, on first use, by whichever thread asks first.

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/files/HomeFolder.h"
#include "platform/log/Log.h"

namespace kestrom::Constants {

/// Names the log subsystem and the kit's own folder under the caches folder.
std::string kitBundleIdentifier();

/// The user-defaults key of the crash-reporting choice: written by "POST /v1/sentryEnabled",
/// read by the kit at start-up and at every boot of the page.
inline constexpr std::string_view kSentryEnabledKey = "KestromKit.sentryEnabled";

struct Path {
  struct MacOS {
    std::filesystem::path home;   // the user's real home folder
    std::filesystem::path trash;  // where trashed files go ($XDG_DATA_HOME/Trash/files)
  };
  struct IOS {
    std::filesystem::path home;
  };
  std::string caches;        // $XDG_CACHE_HOME, else ~/.cache
  std::string tmp;           // the kit's private temporary folder (mkdtemp under $TMPDIR)
  MacOS macOS;
  IOS iOS;
  std::filesystem::path applicationSupport;  // $XDG_DATA_HOME, else ~/.local/share
};

const Path& path();

/// Removes the private temporary folders ("<kit bundle id>.XXXXXX") under `base` that hosts which
/// no longer run left behind (killed, or crashed, with their spooled uploads inside). A folder is
/// taken as ours and abandoned only when it belongs to this user and holds the owner lock its host
/// kept locked (flock) for its whole life and nobody holds any more; anything else stays. Returns
/// how many were removed. Runs at start, before the own folder is made.
std::size_t removeAbandonedTemporaryFolders(const std::filesystem::path& base);

/// The ten channels, one per area of the host.
struct LogTable {
  log::Logger general;
  log::Logger audio;
  log::Logger webServer;
  log::Logger bluetooth;
  log::Logger javaScript;
  log::Logger webSocketServer;
  log::Logger webSocket;
  log::Logger sensorData;
  log::Logger webView;
  log::Logger projects;
};

const LogTable& log();

/// The user's documents folder (XDG), else the home folder's "Documents".
std::filesystem::path documentsFolder();

/// `path` with a leading home folder written as "~", for the log (platform/files/HomeFolder.h).
using files::tildePath;

/// The inverse of tildePath: a leading "~" (alone or before "/") becomes the user's home folder.
std::filesystem::path expandTildePath(const std::string& path);

}  // namespace kestrom::Constants
