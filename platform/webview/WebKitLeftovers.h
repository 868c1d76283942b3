#pragma once
// What WebKitGTK leaves behind a web view that is gone, and that would otherwise grow with every
// start of the application.
//
// Sandbox descriptions: WebKitGTK runs its web processes in bubblewrap sandboxes and describes each
// one for the desktop portal in a folder "webkit-<pid>-<n>" (<pid> the process that owns the web
// views, <n> its count of sandboxes) under ".flatpak" in GLib's user runtime folder
// ($XDG_RUNTIME_DIR, else the user's cache folder). Nothing removes them when that process ends.
//
// The page's cache: the page comes from the host's own server on a port picked anew at each start,
// so what WebKit caches of it is never asked for again.
//
// The first goes once WebKitGTK removes its descriptions itself, the second once the page keeps
// one address across starts.

#include <filesystem>

typedef struct _WebKitNetworkSession WebKitNetworkSession;

namespace kestrom::webview {

/// The folder WebKitGTK describes its sandboxes in: ".flatpak" in GLib's user runtime folder.
std::filesystem::path sandboxDescriptionFolder();

/// Removes from `folder` the sandbox descriptions of processes that are gone: folders named
/// exactly "webkit-<pid>-<n>", not symbolic links, owned by this user, whose <pid> is no process,
/// or a process that started after the folder was made (its number came round again) and runs no
/// sandbox of that folder. Never follows a symbolic link. Returns how many folders went. Any thread.
int removeStaleSandboxDescriptions(const std::filesystem::path& folder);

/// Removes, in the background, what `session` has cached of pages from the local host (the host's
/// own pages of earlier starts); the cache of other sites stays. GTK main thread.
void removeCachedLocalPages(WebKitNetworkSession* session);

}  // namespace kestrom::webview
