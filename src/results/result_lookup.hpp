#pragma once

// Creating and opening result directories, as the exported manager and the other result
// operations share them. None touches the last error: each returns the outcome it would leave.

#include "corekit2/sptr.hpp"
#include "corekit2/variant_bag.hpp"
#include "frame/boundary.hpp"
#include "talvo2/i_result_directory.hpp"

namespace talvo2 {

// ResultDirectoryManager::create: a new result directory with its marker, opened.
Result<corekit2::sptr_t<IResultDirectory>> createResult(const wchar_t* path, bool overwrite,
                                                        const corekit2::variant_bag_t* properties,
                                                        bool literal, const wchar_t* base);

// The result view of an opened node, with the opening's outcome. No node, or a node of another
// kind: NotFound, or with `keepFailure` the opening's own failure when it had one.
Result<corekit2::sptr_t<IResultDirectory>> asResult(Result<corekit2::sptr_t<INode>> opened,
                                                    bool keepFailure);

// ResultDirectoryManager::open: the result directory `path` names (a pattern: the greatest name).
Result<corekit2::sptr_t<IResultDirectory>> openResult(const wchar_t* path, bool literal,
                                                      const wchar_t* base);

}  // namespace talvo2
