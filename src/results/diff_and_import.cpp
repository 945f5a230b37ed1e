// Opening results for comparison and for import from another product's marker files.

#include "frame/last_error.hpp"
#include "node/marker_files.hpp"
#include "node/node_opener.hpp"
#include "results/node_lookup.hpp"
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
    if (firstResult) firstResult->reset();
    if (secondResult) secondResult->reset();
    if (!firstResult || !secondResult) return setLastError(ParameterError);
    if (!first || !second) return setLastError(InvalidPath);
    try {
        const ExtensionSet results =
            makeExtensionSet({getResultExtension(false), getResultExtension(true)});
        const FileSet firstSet = findNodes(first, L"", results, 2, literal);
        if (firstSet.empty()) return false;
        const FileSet secondSet = findNodes(second, L"", results, 2, literal);
        if (secondSet.empty()) return false;
        const NewestTwo a = newestTwo(firstSet);
        const NewestTwo b = newestTwo(secondSet);
        std::wstring other = b.latest;
        if (a.latest == other) {
            other = !b.previous.empty() ? b.previous : a.previous;
            if (other.empty()) return setLastError(NotFound);
        }
        *firstResult = open(a.latest.c_str(), literal, nullptr);
        *secondResult = open(other.c_str(), literal, nullptr);
        return true;
    } catch (const std::exception&) {
        firstResult->reset();
        secondResult->reset();
        return setLastError(OperationFailed);
    }
}

sptr_t<IResultDirectory> ResultDirectoryManager::openForImport(const wchar_t* path,
                                                               const wchar_t* extension) {
    if (!path) {
        setLastError(InvalidPath);
        return {};
    }
    // An extension is part of a file name: a separator would reach into other directories.
    if (!extension || std::wstring(extension).find_first_of(L"/\\") != std::wstring::npos) {
        setLastError(ParameterError);
        return {};
    }
    try {
        const FileSet markers =
            findNodes(path, L"", makeExtensionSet({L"." + std::wstring(extension)}), 1, false);
        if (markers.empty()) return {};
        sptr_t<INode> node = openNode(*markers.begin(), nullptr);
        const error_t bound = getLastError();
        sptr_t<IResultDirectory> result = IResultDirectory::cast(std::move(node));
        setLastError(result ? bound : NotFound);
        return result;
    } catch (const std::exception&) {
        setLastError(OperationFailed);
        return {};
    }
}

}  // namespace talvo2
