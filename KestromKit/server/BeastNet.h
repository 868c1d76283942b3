#pragma once
// Short names for the Asio and Beast namespaces used by the WebSocket server's files. They live in
// their own namespace so they cannot collide with a `kestrom::http` or `kestrom::net` elsewhere.

// Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>, which g++ 12 in
// C++20 mode does not pull in for it; drop this include once Boost is 1.75 or newer.
#include <utility>

#include <algorithm>
#include <initializer_list>

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

/// Whether `ec` is the error `wanted` (one of `errors` below), compared by value and by the
/// category's address. Comparing with `==`, or making an error_code of an enumerator, calls member
/// functions of the categories, which the sanitizer builds check with a pipe(2) of their own the
/// first time; out of descriptors that check fails and stops the process.
inline bool isError(const error_code& ec, const error_code& wanted) {
  return ec.value() == wanted.value() && &ec.category() == &wanted.category();
}

/// Whether `ec` is one of the errno `values` (Asio reports socket errors in the system category),
/// compared the same way.
inline bool isErrno(const error_code& ec, std::initializer_list<int> values) {
  const auto* category = &ec.category();
  if (category != &boost::system::system_category() && category != &boost::system::generic_category()) return false;
  return std::find(values.begin(), values.end(), ec.value()) != values.end();
}

/// The errors the WebSocket server tells apart, made once before main, while descriptors are there.
namespace errors {
inline const error_code aborted = net::error::operation_aborted;
inline const error_code addressInUse = net::error::address_in_use;
inline const error_code closed = websocket::error::closed;
inline const error_code endOfStream = http::error::end_of_stream;
inline const error_code partialMessage = http::error::partial_message;
inline const error_code needMore = http::error::need_more;
}  // namespace errors

}  // namespace kestrom::wsnet
