#pragma once
// Stops the process on a state a correct program never reaches (an undecodable configuration in
// the bundle, a missing delegate at start): logs, writes "<source>: <message>" to stderr, aborts.

#include <string_view>

namespace kestrom::log {

[[noreturn]] void fatalError(std::string_view source, std::string_view message);

}  // namespace kestrom::log
