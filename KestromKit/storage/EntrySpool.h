#pragma once
// Holds an archive entry on its way to an HTTP answer with a bounded buffer: the first
// `kHeldBytes` in memory, anything larger in an unnamed temporary file (gone with its last
// descriptor), written as the entry's chunks arrive. The files of every spool in the process
// share one budget, `kBudgetBytes`: an answer holds its file's share until it lets go of the file
// (the server lets go once the body is written), and an entry that would pass the budget is
// refused at once, so a burst of requests for a large entry cannot fill the temporary folder (a
// tmpfs is memory). Plain value of one thread; the budget is shared by all threads.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "KestromKit/server/WebServerTypes.h"

namespace kestrom {

/// An entry as it is answered: its bytes, or (past the held size) the open file that holds them.
struct EntryBody {
  std::string bytes;
  std::shared_ptr<const WebServerOpenFile> file;
};

class EntrySpool {
 public:
  /// The most bytes held in memory; a larger entry goes to a file.
  static constexpr std::size_t kHeldBytes = std::size_t{1} << 20;
  /// The most bytes the files of all spools hold together.
  static constexpr std::uint64_t kBudgetBytes = std::uint64_t{256} << 20;

  /// The temporary file, when one is needed, is made in `folder`.
  explicit EntrySpool(std::filesystem::path folder) : folder_(std::move(folder)) {}
  ~EntrySpool();
  EntrySpool(const EntrySpool&) = delete;
  EntrySpool& operator=(const EntrySpool&) = delete;

  /// Takes the next chunk; `declared` is the whole entry's size as announced (0: unknown). An
  /// empty text on success, else why the chunk could not be kept.
  std::string add(std::string_view chunk, std::uint64_t declared);
  /// True once `add` refused a chunk because the budget had no room for it.
  bool overBudget() const { return overBudget_; }
  /// What was taken, as bytes or as the file (which carries its share of the budget along); the
  /// spool is empty afterwards. Null file and empty bytes when the file could not be handed on
  /// (`error` tells why).
  EntryBody finish(std::string& error);

 private:
  std::string spill(std::uint64_t declared, std::size_t next);
  /// Takes enough of the budget for the file to hold `bytes`; false when it has no room.
  bool reserve(std::uint64_t bytes);
  std::string write(std::string_view bytes);

  std::filesystem::path folder_;
  std::string bytes_;
  int fd_ = -1;
  std::uint64_t written_ = 0;  // bytes in the file
  std::uint64_t taken_ = 0;    // of the budget, for the file
  bool overBudget_ = false;
};

}  // namespace kestrom
