#pragma once

#include <string>

#include "node/marker_files.hpp"

namespace talvo2 {

// The marker files that `path` names, resolved against `base` (the current directory when
// empty): a directory, marker or link path gives its one marker; a last element "*" (or an empty
// path) every member of the parent directory; a numbered pattern such as r@@@ every member whose
// name matches (unless `literal`). With `maxCount` above 0 only that many remain, those with the
// greatest file names. A set that is not empty comes with OK, an empty one with its reason
// (InvalidPath, NotFound, a pattern error, ParameterError, or why the directory could not be
// listed).
Result<FileSet> findNodes(const std::wstring& path, const std::wstring& base,
                          const ExtensionSet& set, uint32_t maxCount, bool literal);

}  // namespace talvo2
