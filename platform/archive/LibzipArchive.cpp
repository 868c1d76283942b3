// The archive operations over libzip. Every archive is opened through LibzipFileSource, so
// libzip's whole-archive rewrite on zip_close lands in a flushed temporary file that replaces the
// target by one rename.

#include <zip.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/archive/Archive.h"
#include "platform/archive/LibzipFileSource.h"

namespace kestrom::archive {

namespace {

constexpr std::size_t kChunkBytes = 16384;
constexpr std::uint64_t kReserveLimit = 8 << 20;  // beyond this the buffer grows as the data comes

struct ArchiveDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};

/// An open archive and the source under it; the archive is discarded before the source goes.
struct OpenArchive {
  std::unique_ptr<LibzipFileSource> source;
  std::unique_ptr<zip_t, ArchiveDiscarder> zip;
};

ArchiveErrorCode codeFor(int zipError) {
  switch (zipError) {
    case ZIP_ER_NOENT:
      return ArchiveErrorCode::missingFile;
    case ZIP_ER_NOZIP:
    case ZIP_ER_INCONS:
    case ZIP_ER_MULTIDISK:
      return ArchiveErrorCode::notAZip;
    case ZIP_ER_CRC:
    case ZIP_ER_ZLIB:
    case ZIP_ER_EOF:
    case ZIP_ER_COMPNOTSUPP:
    case ZIP_ER_ENCRNOTSUPP:
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_COMPRESSED_DATA:
      return ArchiveErrorCode::damagedEntry;
    default:
      return ArchiveErrorCode::io;
  }
}

auto failure(ArchiveErrorCode code, std::string message) {
  return makeUnexpected(ArchiveError{code, std::move(message)});
}

auto libzipFailure(zip_error_t* error, const std::string& what) {
  return failure(codeFor(zip_error_code_zip(error)), what + ": " + zip_error_strerror(error));
}

std::string inQuotes(std::string_view name) {
  std::string quoted(1, '"');  // appended, not inserted in front: g++ 12 misreads that as overlapping
  return quoted.append(name).append(1, '"');
}

bool usableName(std::string_view name) { return !name.empty() && name.find('\0') == std::string_view::npos; }

ArchiveResult<OpenArchive> openArchive(const std::filesystem::path& path, LibzipFileSource::Access access) {
  auto source = LibzipFileSource::open(path, access);
  if (!source) return makeUnexpected(std::move(source.error()));

  zip_error_t error;
  zip_error_init(&error);
  struct ErrorFini {
    zip_error_t* error;
    ~ErrorFini() { zip_error_fini(error); }
  } fini{&error};

  zip_source_t* zipSource = (*source)->makeSource(&error);
  if (zipSource == nullptr) return libzipFailure(&error, "Unable to read " + path.string());
  int flags = 0;
  if (access == LibzipFileSource::Access::read) flags = ZIP_RDONLY;
  if (access == LibzipFileSource::Access::replace) flags = ZIP_CREATE | ZIP_TRUNCATE;
  zip_t* archive = zip_open_from_source(zipSource, flags, &error);
  if (archive == nullptr) {
    zip_source_free(zipSource);
    auto failed = libzipFailure(&error, "Unable to open the archive " + path.string());
    if (failed.value().code == ArchiveErrorCode::io) failed.value().code = ArchiveErrorCode::unreadableFile;
    return failed;
  }
  return OpenArchive{std::move(*source), std::unique_ptr<zip_t, ArchiveDiscarder>(archive)};
}

/// Writes the archive's changes (through the source's temporary file) and closes it.
ArchiveResult<void> closeArchive(OpenArchive& opened, const std::filesystem::path& path) {
  if (zip_close(opened.zip.get()) == 0) {
    (void)opened.zip.release();  // zip_close freed it
    return {};
  }
  const std::string what = "Unable to write the archive " + path.string();
  if (!opened.source->failure().empty()) return failure(ArchiveErrorCode::io, what + ": " + opened.source->failure());
  return libzipFailure(zip_get_error(opened.zip.get()), what);
}

/// Adds `bytes` to be stored uncompressed under `name`, or as the new data of entry `index`.
ArchiveResult<void> putEntry(zip_t* archive, std::string_view name, std::string_view bytes, zip_int64_t index,
                             const std::filesystem::path& path) {
  zip_source_t* data = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
  if (data == nullptr) return libzipFailure(zip_get_error(archive), "Unable to add " + inQuotes(name) + " to " + path.string());
  const std::string nameText(name);
  if (index >= 0) {
    if (zip_file_replace(archive, static_cast<zip_uint64_t>(index), data, 0) < 0) {
      zip_source_free(data);
      return libzipFailure(zip_get_error(archive), "Unable to replace " + inQuotes(name) + " in " + path.string());
    }
  } else {
    index = zip_file_add(archive, nameText.c_str(), data, 0);
    if (index < 0) {
      zip_source_free(data);
      zip_error_t* error = zip_get_error(archive);
      if (zip_error_code_zip(error) == ZIP_ER_EXISTS)
        return failure(ArchiveErrorCode::invalidEntry, "The entry name " + inQuotes(name) + " appears twice");
      return libzipFailure(error, "Unable to add " + inQuotes(name) + " to " + path.string());
    }
  }
  if (zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) < 0)
    return libzipFailure(zip_get_error(archive), "Unable to store " + inQuotes(name) + " uncompressed");
  return {};
}

auto entryTooLarge(std::string_view name, const std::filesystem::path& archive, std::uint64_t maxBytes) {
  return failure(ArchiveErrorCode::entryTooLarge, "The entry " + inQuotes(name) + " of " + archive.string() +
                                                      " holds more than the " + std::to_string(maxBytes) +
                                                      " bytes allowed");
}

/// The size entry `index` declares (0 when it declares none); entryTooLarge past `maxBytes`.
ArchiveResult<std::uint64_t> declaredSize(zip_t* zip, zip_uint64_t index, std::string_view name,
                                          const std::filesystem::path& archive, std::uint64_t maxBytes) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(zip, index, 0, &stat) < 0)
    return libzipFailure(zip_get_error(zip), "Unable to read the entry " + inQuotes(name) + " of " + archive.string());
  if ((stat.valid & ZIP_STAT_SIZE) && stat.size > maxBytes) return entryTooLarge(name, archive, maxBytes);
  return (stat.valid & ZIP_STAT_SIZE) ? stat.size : 0;
}

/// `copyEntry` on an archive already open.
ArchiveResult<std::uint64_t> copyOpenEntry(zip_t* zip, zip_uint64_t index, std::string_view name,
                                           const std::filesystem::path& archive, std::uint64_t maxBytes,
                                           const EntrySink& sink) {
  // The declared size is refused before anything is handed on...
  auto declared = declaredSize(zip, index, name, archive, maxBytes);
  if (!declared) return declared;

  std::unique_ptr<zip_file_t, EntryCloser> file(zip_fopen_index(zip, index, 0));
  if (!file) return libzipFailure(zip_get_error(zip), "Unable to read the entry " + inQuotes(name) + " of " + archive.string());
  std::uint64_t copied = 0;
  char chunk[kChunkBytes];
  for (;;) {
    const zip_int64_t n = zip_fread(file.get(), chunk, sizeof chunk);
    if (n < 0)
      return libzipFailure(zip_file_get_error(file.get()),
                           "Unable to read the entry " + inQuotes(name) + " of " + archive.string());
    if (n == 0) break;
    // ...and data that runs past what the directory declared is cut off at the limit.
    if (static_cast<std::uint64_t>(n) > maxBytes - copied) return entryTooLarge(name, archive, maxBytes);
    if (auto refused = sink(std::string_view(chunk, static_cast<std::size_t>(n)), *declared); !refused.empty())
      return failure(ArchiveErrorCode::io, "Unable to copy the entry " + inQuotes(name) + " of " + archive.string() +
                                               ": " + refused);
    copied += static_cast<std::uint64_t>(n);
  }
  return copied;
}

}  // namespace

ArchiveResult<std::uint64_t> copyEntry(const std::filesystem::path& archive, std::string_view name,
                                       std::uint64_t maxBytes, const EntrySink& sink) {
  auto opened = openArchive(archive, LibzipFileSource::Access::read);
  if (!opened) return makeUnexpected(std::move(opened.error()));
  zip_t* zip = opened->zip.get();

  const std::string nameText(name);
  const zip_int64_t index = usableName(name) ? zip_name_locate(zip, nameText.c_str(), 0) : -1;
  if (index < 0)
    return failure(ArchiveErrorCode::noSuchEntry, "The archive " + archive.string() + " has no entry " + inQuotes(name));
  return copyOpenEntry(zip, static_cast<zip_uint64_t>(index), name, archive, maxBytes, sink);
}

ArchiveResult<void> verifyEntries(const std::filesystem::path& archive,
                                  const std::function<std::uint64_t(std::string_view name)>& maxBytes) {
  auto opened = openArchive(archive, LibzipFileSource::Access::read);
  if (!opened) return makeUnexpected(std::move(opened.error()));
  zip_t* zip = opened->zip.get();
  const auto count = static_cast<zip_uint64_t>(std::max<zip_int64_t>(zip_get_num_entries(zip, 0), 0));
  const auto nameOf = [zip](zip_uint64_t index) -> std::string_view {
    const char* name = zip_get_name(zip, index, 0);
    return name ? name : "";
  };
  const auto failed = [&](ArchiveError error, zip_uint64_t index) {
    error.entry = nameOf(index);
    return makeUnexpected(std::move(error));
  };
  for (zip_uint64_t index = 0; index < count; ++index)
    if (auto declared = declaredSize(zip, index, nameOf(index), archive, maxBytes(nameOf(index))); !declared)
      return failed(std::move(declared.error()), index);
  const EntrySink discard = [](std::string_view, std::uint64_t) { return std::string(); };
  for (zip_uint64_t index = 0; index < count; ++index)
    if (auto read = copyOpenEntry(zip, index, nameOf(index), archive, maxBytes(nameOf(index)), discard); !read)
      return failed(std::move(read.error()), index);
  return {};
}

ArchiveResult<std::string> readEntry(const std::filesystem::path& archive, std::string_view name,
                                     std::uint64_t maxBytes) {
  std::string bytes;
  auto copied = copyEntry(archive, name, maxBytes, [&](std::string_view chunk, std::uint64_t declared) {
    if (bytes.empty()) bytes.reserve(static_cast<std::size_t>(std::min(declared, kReserveLimit)));
    bytes.append(chunk);
    return std::string();
  });
  if (!copied) return makeUnexpected(std::move(copied.error()));
  return bytes;
}

ArchiveResult<std::vector<EntryInfo>> listEntries(const std::filesystem::path& archive) {
  auto opened = openArchive(archive, LibzipFileSource::Access::read);
  if (!opened) return makeUnexpected(std::move(opened.error()));
  zip_t* zip = opened->zip.get();

  std::vector<EntryInfo> entries;
  const zip_int64_t count = zip_get_num_entries(zip, 0);
  for (zip_int64_t index = 0; index < count; ++index) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(zip, static_cast<zip_uint64_t>(index), 0, &stat) < 0)
      return libzipFailure(zip_get_error(zip), "Unable to list " + archive.string());
    entries.push_back({(stat.valid & ZIP_STAT_NAME) ? stat.name : "", (stat.valid & ZIP_STAT_SIZE) ? stat.size : 0});
  }
  return entries;
}

ArchiveResult<void> writeArchive(const std::filesystem::path& target, std::span<const NewEntry> entries) {
  files::StepFailures::Write steps(writeSteps());  // the step count of archive::testing
  if (entries.empty()) return failure(ArchiveErrorCode::invalidEntry, "An archive needs at least one entry");
  for (const auto& entry : entries) {
    if (!usableName(entry.name))
      return failure(ArchiveErrorCode::invalidEntry, "Unusable entry name " + inQuotes(entry.name));
  }
  auto opened = openArchive(target, LibzipFileSource::Access::replace);
  if (!opened) return makeUnexpected(std::move(opened.error()));
  for (const auto& entry : entries) {
    if (auto put = putEntry(opened->zip.get(), entry.name, entry.bytes, -1, target); !put) return put;
  }
  return closeArchive(*opened, target);
}

ArchiveResult<void> replaceEntry(const std::filesystem::path& archive, std::string_view name, std::string_view bytes,
                                 IfMissing ifMissing) {
  files::StepFailures::Write steps(writeSteps());  // the step count of archive::testing
  if (!usableName(name)) return failure(ArchiveErrorCode::invalidEntry, "Unusable entry name " + inQuotes(name));
  auto opened = openArchive(archive, LibzipFileSource::Access::update);
  if (!opened) return makeUnexpected(std::move(opened.error()));
  zip_t* zip = opened->zip.get();

  const std::string nameText(name);
  const zip_int64_t index = zip_name_locate(zip, nameText.c_str(), 0);
  if (index < 0 && ifMissing == IfMissing::fail)
    return failure(ArchiveErrorCode::noSuchEntry, "The archive " + archive.string() + " has no entry " + inQuotes(name));
  if (auto put = putEntry(zip, name, bytes, index, archive); !put) return put;
  return closeArchive(*opened, archive);
}

}  // namespace kestrom::archive
