#include "platform/downloader/Downloader.h"

namespace kestrom::downloader {

DownloadError makeDownloadError(DownloadErrorKind kind, const std::string& url, const std::string& detail,
                                long httpStatus) {
  return DownloadError{kind, "Could not download " + url + ": " + detail, httpStatus};
}

}  // namespace kestrom::downloader
