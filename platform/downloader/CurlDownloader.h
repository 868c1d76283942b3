#pragma once
// The libcurl backend of Downloader: one "Downloader" thread drives a curl multi handle, so any
// number of transfers share that thread and a cancel wakes it at once (curl_multi_wakeup). With
// nothing to fetch the thread sleeps until a call wakes it: no timer runs.
// Progress and completion handlers run on that thread; a handler may call download() or cancel()
// and may drop the last reference to the downloader.
//
// Only http and https are fetched, also across redirects. Owned by whoever made it; destroying it
// cancels every transfer still running (their completions run, with `cancelled`, before the
// destructor returns, unless it runs on the downloader's own thread).

#include <memory>

#include "platform/downloader/Downloader.h"

namespace kestrom::downloader {

std::shared_ptr<Downloader> makeCurlDownloader(DownloadOptions options = {});

}  // namespace kestrom::downloader
