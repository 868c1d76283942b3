#pragma once
// Whole-file reads and crash-safe whole-file writes for every file the host keeps (settings, the
// project index, user defaults, projects, content). Any thread; the callers serialise writes to
// one file on their own queue.
//
//   if (auto written = AtomicFile::write(file, text); !written)
//     log.error("Unable to persist ...: %s.", written.error().message());
//
// A reader that cannot parse what `read` returned calls `setAsideCorrupt` before its next write,
// so a damaged file is kept for inspection instead of being silently replaced.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/Expected.h"

namespace kestrom::AtomicFile {

/// Looks at the temporary file of a write once all its bytes are in it, before it replaces
/// anything: an error ends the write there and is what the write returns.
using Check = std::function<std::error_code(const std::filesystem::path& temporary)>;

/// Replaces `target` with `bytes`: writes a temporary file beside it (same folder, so the rename
/// stays on one file system), flushes it to disk, renames it over `target` and flushes the folder.
/// Readers see the old content or the new, never a mix. The folder must exist (it is not created).
/// A failure before the rename (or a refusal of `check`) leaves `target` untouched; a failure to
/// flush the folder afterwards is reported although the new content is already in place. The
/// temporary file never remains. An existing target keeps its permission bits; a new one gets
/// 0666 less the umask.
[[nodiscard]] Expected<void, std::error_code> write(const std::filesystem::path& target, std::string_view bytes,
                                                    const Check& check = {});

/// Like `write`, but the final rename never replaces an existing file: when a file of that name
/// appeared meanwhile the call fails with std::errc::file_exists and nothing changes. A new file
/// gets 0666 less the umask.
[[nodiscard]] Expected<void, std::error_code> writeNew(const std::filesystem::path& target, std::string_view bytes,
                                                       const Check& check = {});

/// Moves the file `from` to `to` without ever replacing a file at `to` (std::errc::file_exists).
/// Within one file system this is one rename; across file systems the file is copied to a
/// temporary file beside `to`, flushed, renamed into place without replacing, and only then is
/// `from` removed. Keeps the permission bits.
[[nodiscard]] Expected<void, std::error_code> moveNoReplace(const std::filesystem::path& from,
                                                            const std::filesystem::path& to);

/// The whole content of `path`. A missing file fails with std::errc::no_such_file_or_directory;
/// a folder with std::errc::is_a_directory and a pipe, socket or device with
/// std::errc::not_supported, without waiting on them.
[[nodiscard]] Expected<std::string, std::error_code> read(const std::filesystem::path& path);

/// Moves `path` aside as "<name>.corrupt" in the same folder, or "<name>.1.corrupt",
/// "<name>.2.corrupt"... when that name is taken: an earlier set-aside file is never replaced.
/// Returns where the file went.
[[nodiscard]] Expected<std::filesystem::path, std::error_code> setAsideCorrupt(const std::filesystem::path& path);

/// Like `setAsideCorrupt`, but `path` stays where it is: a copy (written as `writeNew` writes,
/// with the original's permission bits) takes the ".corrupt" name. Needs room on the disk for
/// the copy; nothing is left behind when there is none.
[[nodiscard]] Expected<std::filesystem::path, std::error_code> copyAsideCorrupt(const std::filesystem::path& path);

/// Removes what writes of `target` that were killed half way left beside it (their temporary
/// files). Call once before the first write, while nothing else writes `target`. Returns how many
/// were removed.
std::size_t removeStrayTemporaries(const std::filesystem::path& target);

/// The same for every target in `folder` whose name ends with `extension` (".kpr"): removes the
/// hidden temporary files that killed writes of such files left there. Call while nothing writes
/// into `folder`. Returns how many were removed.
std::size_t removeStrayTemporariesIn(const std::filesystem::path& folder, std::string_view extension);

namespace testing {
/// Makes the n-th file-system step (1 = the first) of the calling thread's next `write` fail with
/// EIO; 0 turns it off. For failure-matrix tests only.
void failNthStep(int n);
/// How many steps the calling thread's last `write` took (the range worth looping over).
int lastStepCount();
}  // namespace testing

}  // namespace kestrom::AtomicFile
