#pragma once
// Short names for the Asio and Beast namespaces used by the WebSocket server's files. They live in
// their own namespace so they cannot collide with a `kestrom::http` or `kestrom::net` elsewhere.

// Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>, which g++ 12 in
// C++20 mode does not pull in for it; drop this include once Boost is 1.75 or newer.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace kestrom::wsnet {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;
using error_code = boost::system::error_code;

/// Whether `ec` is the error `wanted`, compared by value and by the category's address. `==` calls
/// member functions of the categories, which the sanitizer builds check with a pipe(2) of their own
/// the first time; out of descriptors that check fails and stops the process.
inline bool isError(const error_code& ec, const error_code& wanted) {
  return ec.value() == wanted.value() && &ec.category() == &wanted.category();
}

}  // namespace kestrom::wsnet
