#pragma once
// The HTTP side of projects: every request below "/projects/" with at least two path parts.
//   /projects/<id>/<entry>   any method: that entry of the project's archive (404 when missing,
//                            503 while the answers in flight hold the entry spool's budget, 500
//                            when it is larger than any answer may be or its spool fails)
//   /projects/<id>           POST: save the uploaded multipart form ("name", "path"?, one part of
//                            type "application/zip"); 200, with {"deletedProjectId"} when a
//                            save-as replaced another project's file; 400 when the archive is no
//                            ZIP archive or an entry does not read, 413 when an entry is larger
//                            than the host answers (the project stays as it was); 500 on any
//                            other failure
//   /projects/<id>           other methods: the whole project file (404 when unknown)
// Whole files are streamed from the project file; an entry is held in a bounded buffer on its
// way (in memory up to 1 MiB, past that in an unnamed temporary file). Called on the server's
// connection threads, several at once; the project library serialises the saves.

#include <memory>

#include "KestromKit/server/ProjectRequestHandler.h"
#include "KestromKit/storage/ProjectsHandler.h"

namespace kestrom {

class ProjectRouteHandler final : public ProjectRequestHandler {
 public:
  /// Serves the projects of `projects`' library.
  explicit ProjectRouteHandler(const std::shared_ptr<ProjectsHandler>& projects) : library_(projects->library()) {}

  WebServerResponse handle(const WebServerRequest& request) override;

 private:
  WebServerResponse upload(const WebServerRequest& request);

  std::shared_ptr<ProjectLibrary> library_;
};

}  // namespace kestrom
