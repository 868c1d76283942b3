#pragma once
// Colour texts of the application configuration ("#FFF", "3366CC", "80FF0000") as RGBA.

#include <string_view>

namespace kestrom {

struct RGBAColor {
  double red = 0;    // 0.0-1.0
  double green = 0;
  double blue = 0;
  double alpha = 1;
  bool operator==(const RGBAColor&) const = default;
};

/// Non-alphanumeric characters are trimmed from both ends; then 8 digits read as AARRGGBB, 6 as
/// RRGGBB, 3 as RGB (each digit doubled); any other length, opaque black. Digits that do not scan
/// as hexadecimal count as 0 from the first bad one on.
RGBAColor hexColor(std::string_view text);

}  // namespace kestrom
