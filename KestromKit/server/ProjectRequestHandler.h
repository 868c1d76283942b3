#pragma once
// What the local HTTP server hands every request below "/projects/" (with at least two path
// parts) to, whatever its method. The projects store implements it over its projects handler;
// without one the server answers those requests 404. Called on the connection's worker thread,
// synchronously: an implementation must be safe on any thread and never wait on the main queue.

#include "KestromKit/server/WebServerTypes.h"

namespace kestrom {

class ProjectRequestHandler {
 public:
  virtual ~ProjectRequestHandler() = default;
  virtual WebServerResponse handle(const WebServerRequest& request) = 0;
};

}  // namespace kestrom
