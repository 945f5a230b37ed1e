#pragma once

#include <string>

#include "talvo2/export.hpp"

namespace talvo2 {

// File name extensions of nodes and flags, formed once per process from the short name S of the
// installed product description: ".S" for results, ".Sproj" for projects, ".Sexp" for
// experiments, ".dflgS" and ".infoS" for flag files. Until a product description is installed
// they are empty strings (and are formed on a later call). Every function here is thread-safe,
// never fails and leaves the last error as it was; returned text is owned by the library, valid
// until it is unloaded, and never freed by the caller.

// The result marker extension; with `legacy`, the extension of an older product (none: "").
TALVO2_API const wchar_t* getResultExtension(bool legacy);
// The project marker extension; with `legacy`, the extension of an older product (none: "").
TALVO2_API const wchar_t* getProjectExtension(bool legacy);
// The experiment marker extension, ".Sexp".
TALVO2_API const wchar_t* getExperimentExtension();
// The extension of packed experiments: "." and the product's packed-result suffix.
TALVO2_API const wchar_t* getPackedExperimentExtension();
// The extensions of a flag's lock file (".dflgS") and owner-record file (".infoS").
TALVO2_API const wchar_t* getFlagLockExtension();
TALVO2_API const wchar_t* getFlagInfoExtension();
// "data.", the prefix of the numbered collector data directories of a result; a constant.
TALVO2_API const wchar_t* getCollectorDataDirectoryPrefix();

// Whether `ext` is exactly the legacy result (project) extension. As there is none, true only
// for an empty string.
TALVO2_API bool isLegacyResultExtension(const std::wstring& ext);
TALVO2_API bool isLegacyProjectExtension(const std::wstring& ext);

}  // namespace talvo2
