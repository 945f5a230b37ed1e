// Opening results for comparison and for import from another product's marker files.

#include "frame/boundary.hpp"
#include "node/marker_files.hpp"
#include "node/node_lookup.hpp"
#include "node/node_opener.hpp"
#include "results/result_lookup.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/names.hpp"
#include "talvo2/result_directory_manager.hpp"

namespace talvo2 {

namespace {

using corekit2::sptr_t;

// The newest and, when the lookup found two, the one before it.
struct NewestTwo {
    std::wstring latest;
    std::wstring previous;
};

NewestTwo newestTwo(const FileSet& markers) {
    NewestTwo two;
    two.latest = *markers.rbegin();
    if (markers.size() > 1) two.previous = *markers.begin();
    return two;
}

}  // namespace

bool ResultDirectoryManager::openForDiff(const wchar_t* first, const wchar_t* second,
                                         sptr_t<IResultDirectory>* firstResult,
                                         sptr_t<IResultDirectory>* secondResult, bool literal) {
    return exported(false, [&]() -> Reply<bool> {
        if (firstResult) firstResult->reset();
        if (secondResult) secondResult->reset();
        if (!firstResult || !secondResult) return failed(false, ParameterError);
        if (!first || !second) return failed(false, InvalidPath);
        const ExtensionSet results = resultExtensionSet();
        const Result<FileSet> firstSet = findNodes(first, L"", results, 2, literal);
        if (firstSet.value.empty()) return failed(false, firstSet.error);
        const Result<FileSet> secondSet = findNodes(second, L"", results, 2, literal);
        if (secondSet.value.empty()) return failed(false, secondSet.error);
        const NewestTwo a = newestTwo(firstSet.value);
        const NewestTwo b = newestTwo(secondSet.value);
        std::wstring other = b.latest;
        if (a.latest == other) {
            other = !b.previous.empty() ? b.previous : a.previous;
            if (other.empty()) return failed(false, NotFound);
        }
        // True even when an open fails: the caller tests both results, and the last error is
        // what the second open met.
        *firstResult = openResult(a.latest.c_str(), literal, nullptr).value;
        Result<sptr_t<IResultDirectory>> opened = openResult(other.c_str(), literal, nullptr);
        *secondResult = std::move(opened.value);
        return {true, opened.error};
    });
}

sptr_t<IResultDirectory> ResultDirectoryManager::openForImport(const wchar_t* path,
                                                               const wchar_t* extension) {
    return exported(sptr_t<IResultDirectory>(), [&]() -> Reply<sptr_t<IResultDirectory>> {
        if (!path) return failed(sptr_t<IResultDirectory>(), InvalidPath);
        // An extension is part of a file name: a separator would reach into other directories.
        if (!extension || std::wstring(extension).find_first_of(L"/\\") != std::wstring::npos)
            return failed(sptr_t<IResultDirectory>(), ParameterError);
        const Result<FileSet> markers =
            findNodes(path, L"", makeExtensionSet({L"." + std::wstring(extension)}), 1, false);
        if (markers.value.empty()) return failed(sptr_t<IResultDirectory>(), markers.error);
        Result<sptr_t<IResultDirectory>> result =
            asResult(openNode(*markers.value.begin(), nullptr), false);
        return {std::move(result.value), result.error};
    });
}

}  // namespace talvo2
