#pragma once
// The project file extensions the bundle declares, for the panels that name none. The file work of
// the save and open services (moveReplacing, readUtf8Text) lives with the kit's host services.
// Any thread; no state.

#include <filesystem>
#include <string>
#include <vector>

#include "KestromKit/host/FileServices.h"
#include "platform/bundle/PropertyList.h"

namespace kestrom::app {

/// The filename extensions of "UTExportedTypeDeclarations" in `info`, in declaration order:
/// each entry's "UTTypeTagSpecification" and its "public.filename-extension" list (or single
/// string); entries without them are skipped.
std::vector<std::string> exportedFileExtensions(const bundle::PropertyListValue& info);

}  // namespace kestrom::app
