#include "talvo2/result_directory_manager.hpp"

#include <boost/filesystem.hpp>

#include "corekit2/host.hpp"
#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_opener.hpp"
#include "results/creation_metadata.hpp"
#include "results/node_lookup.hpp"
#include "results/result_directory_maker.hpp"
#include "results/result_name_pattern.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/names.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

using corekit2::sptr_t;

ExtensionSet resultExtensions() {
    return makeExtensionSet({getResultExtension(false), getResultExtension(true)});
}

// The creation bag: the caller's bag, the creation metadata, and the MPI rank when there is one.
corekit2::variant_bag_t creationBag(const corekit2::variant_bag_t* properties) {
    corekit2::variant_bag_t bag = properties ? *properties : corekit2::variant_bag_t();
    writeCreationMetadata(bag);
    const int rank = corekit2::detectMPIRank();
    if (rank >= 0)
        bag.get<corekit2::variant_bag_t>(L"talvo")->put(L"mpirank",
                                                        corekit2::variant_t(int32_t{rank}));
    return bag;
}

}  // namespace

sptr_t<IResultDirectory> ResultDirectoryManager::create(const wchar_t* path, bool overwrite,
                                                        const corekit2::variant_bag_t* properties,
                                                        bool literal, const wchar_t* base) {
    try {
        if (!path || !*path) {
            setLastError(EmptyPattern);
            return {};
        }
        const corekit2::variant_bag_t bag = creationBag(properties);
        const auto [directory, markerName] = splitMarkerPath(path, getResultExtension(false));
        std::wstring created;
        std::unique_ptr<OwnerListingHint> listed;
        if (!setLastError(makeResultDirectory(directory, base ? base : L"", overwrite, bag, literal,
                                              created, &listed)))
            return {};
        std::wstring marker;
        if (!setLastError(writeMarkerFile(created, markerName, bag, &marker))) return {};
        // The marker just written is the one an open of the new directory would find.
        sptr_t<IResultDirectory> result = IResultDirectory::cast(openNode(marker, base));
        if (!result && getLastError() == OK) setLastError(NotFound);
        return result;
    } catch (const boost::system::system_error& error) {
        setLastError(systemErrorToError(error));
    } catch (const std::exception&) {
        setLastError(OperationFailed);
    }
    return {};
}

sptr_t<IResultDirectory> ResultDirectoryManager::open(const wchar_t* path, bool literal,
                                                      const wchar_t* base) {
    if (!path) {
        setLastError(InvalidPath);
        return {};
    }
    try {
        const FileSet markers = findNodes(path, L"", resultExtensions(), 1, literal);
        if (markers.empty()) return {};
        sptr_t<INode> node = openNode(*markers.begin(), base);
        const error_t bound = getLastError();
        sptr_t<IResultDirectory> result = IResultDirectory::cast(std::move(node));
        setLastError(result ? bound : NotFound);
        return result;
    } catch (const std::exception&) {
        setLastError(OperationFailed);
        return {};
    }
}

sptr_t<IResultDirectory> ResultDirectoryManager::get(const wchar_t* path,
                                                     const corekit2::variant_bag_t* properties,
                                                     bool literal) {
    resetLastError();
    try {
        if (!path || !*path) {
            setLastError(EmptyPattern);
            return {};
        }
        std::wstring absolute;
        if (!setLastError(absolutePath(path, absolute))) return {};
        ResultNamePattern pattern;
        if (!setLastError(parsePattern(fileNameOf(absolute), nullptr, pattern))) return {};
        sptr_t<IResultDirectory> made = create(path, false, properties, literal, nullptr);
        if (made || (pattern.width != 0 && !literal) || getLastError() != AlreadyExists)
            return made;
        // The directory is there: give it a marker if it has none, then open it.
        const auto [directory, markerName] = splitMarkerPath(path, getResultExtension(false));
        if (locateMarkerFile(directory, resultExtensions()).empty() &&
            !setLastError(writeMarkerFile(directory, markerName, corekit2::variant_bag_t())))
            return {};
        return open(path, literal, nullptr);
    } catch (const boost::system::system_error& error) {
        setLastError(systemErrorToError(error));
    } catch (const std::exception&) {
        setLastError(OperationFailed);
    }
    return {};
}

int ResultDirectoryManager::getCurrentMpiRank() {
    return corekit2::detectMPIRank();
}

bool IResultDirectory::probe(const wchar_t* path) {
    if (!path) return setLastError(InvalidPath);
    try {
        return !locateMarkerFile(path, resultExtensions()).empty();
    } catch (const std::exception&) {
        return setLastError(OperationFailed);
    }
}

}  // namespace talvo2
