#pragma once
// What a "Range" request header asks of a file, decided as HTTP range requests define it for a
// single range: "bytes=S-E", "bytes=S-" and "bytes=-K". Pure; any thread.

#include <cstdint>
#include <string_view>

namespace kestrom {

struct ByteRangeSelection {
  enum class Kind {
    whole,          // no usable single range: answer 200 with the whole file
    part,           // answer 206 with bytes first..last inclusive
    unsatisfiable,  // answer 416 with "Content-Range: bytes */<length>"
  };
  Kind kind = Kind::whole;
  std::uint64_t first = 0;
  std::uint64_t last = 0;

  std::uint64_t count() const { return kind == Kind::part ? last - first + 1 : 0; }
  friend bool operator==(const ByteRangeSelection&, const ByteRangeSelection&) = default;
};

/// The selection a "Range" value makes of a file of `length` bytes.
///
/// An end past the file is clamped to its last byte; a suffix longer than the file takes all of
/// it. A start at or past the end, a zero suffix, any range of an empty file, and an end before
/// its start are unsatisfiable. A value that is not one byte range (another unit, a syntax error,
/// a list of ranges) is ignored: the whole file, as a server may always answer.
ByteRangeSelection selectByteRange(std::string_view range, std::uint64_t length);

}  // namespace kestrom
