#pragma once
// ZIP archives as project files use them: read one named entry into memory or hand it on a chunk
// at a time, list the entries, check that every entry reads, write a whole archive, replace (or
// add) one entry of an existing archive. Backend: libzip (LibzipArchive.cpp).
//
// No write ever touches the target file in place. The new archive is built in a fresh temporary
// file beside the target (unpredictable name, same folder, so the rename stays on one file
// system), flushed to disk, renamed over the target, and the folder is flushed: a reader or a
// crash sees the old archive or the new one, never a mix, and a failure before the rename leaves
// the target byte-identical with no temporary file behind. An existing target keeps its
// permission bits, and a symbolic link stays a link to the rewritten file. Entries written here
// are stored uncompressed.
//
// Any thread; no shared state. Callers serialise writes to one file.
//
//   auto manifest = archive::readEntry(file, "manifest.json", 1 << 20);
//   if (!manifest && manifest.error().code == archive::ArchiveErrorCode::noSuchEntry) ...

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Expected.h"

namespace kestrom::archive {

enum class ArchiveErrorCode {
  missingFile,    // nothing at the path
  unreadableFile, // the file is there but cannot be opened or read (permissions, I/O error)
  notAZip,        // the file is not a ZIP archive, or its directory is damaged
  noSuchEntry,    // the archive holds no entry of that name
  entryTooLarge,  // the entry holds more bytes than the caller allows
  damagedEntry,   // the entry cannot be extracted (checksum mismatch, unknown method, encrypted)
  invalidEntry,   // an entry to write has an unusable or duplicate name
  io,             // writing failed (permissions, full disk, failed flush or rename)
};

struct ArchiveError {
  ArchiveErrorCode code = ArchiveErrorCode::io;
  /// For the log: what failed, on which file, and why ("Unable to rename ... : No space left").
  std::string message;
  /// The entry the failure concerns, where the operation names one (`verifyEntries`).
  std::string entry;
};

/// Errors as values. The platform layers sit below the kit's `Expected` alias, so they name the
/// same type directly.
template <class T>
using ArchiveResult = Expected<T, ArchiveError>;

struct EntryInfo {
  std::string name;
  std::uint64_t size = 0;  // uncompressed, as the archive's directory declares it
};

struct NewEntry {
  std::string name;
  std::string_view bytes;  // must stay valid for the duration of the call
};

enum class IfMissing {
  fail,  // replacing an entry the archive lacks fails with noSuchEntry
  add,   // ... or adds it
};

/// The whole content of entry `name` (exact, case-sensitive). An entry whose directory declares
/// more than `maxBytes`, or whose data turns out longer, fails with entryTooLarge before more than
/// `maxBytes` are held in memory. The entry's checksum is verified.
[[nodiscard]] ArchiveResult<std::string> readEntry(const std::filesystem::path& archive, std::string_view name,
                                                   std::uint64_t maxBytes);

/// Receives the data of an entry a chunk at a time, with the size the archive's directory declares
/// (0 when it declares none); an empty answer goes on, any other text stops the copy with it.
using EntrySink = std::function<std::string(std::string_view chunk, std::uint64_t declared)>;

/// Hands the content of entry `name` to `sink` in chunks of a few KiB, so no more than one chunk is
/// held here; the same checks and limit as `readEntry`. The number of bytes handed on.
[[nodiscard]] ArchiveResult<std::uint64_t> copyEntry(const std::filesystem::path& archive, std::string_view name,
                                                     std::uint64_t maxBytes, const EntrySink& sink);

/// Reads every entry through as `copyEntry` would (checksums verified, the data of entry `name`
/// refused past `maxBytes(name)`), keeping none of it: an archive that passes can be read back
/// entry by entry. The sizes the directory declares are checked for all entries before any is
/// read, so an entry declared too large fails at once. The error of the first entry that does
/// not pass names it in `entry`.
[[nodiscard]] ArchiveResult<void> verifyEntries(const std::filesystem::path& archive,
                                                const std::function<std::uint64_t(std::string_view name)>& maxBytes);

/// Every entry in directory order.
[[nodiscard]] ArchiveResult<std::vector<EntryInfo>> listEntries(const std::filesystem::path& archive);

/// Writes a new archive of `entries`, in that order, to `target`, replacing whatever file was
/// there. At least one entry; names must be unique and non-empty (else invalidEntry).
[[nodiscard]] ArchiveResult<void> writeArchive(const std::filesystem::path& target, std::span<const NewEntry> entries);

/// Rewrites `archive` with entry `name` holding `bytes`; every other entry is carried over as it
/// was stored (its compressed data copied unchanged). A missing entry fails with noSuchEntry or is
/// added, as `ifMissing` says. A failure to flush the folder after the rename is reported although
/// the new archive is already in place.
[[nodiscard]] ArchiveResult<void> replaceEntry(const std::filesystem::path& archive, std::string_view name,
                                               std::string_view bytes, IfMissing ifMissing);

namespace testing {
/// Makes the n-th file-system step (1 = the first) of the calling thread's next write (by
/// `writeArchive` or `replaceEntry`) fail with EIO; 0 turns it off. For failure-matrix tests.
void failNthStep(int n);
/// How many file-system steps the calling thread's last write took.
int lastStepCount();
}  // namespace testing

}  // namespace kestrom::archive
