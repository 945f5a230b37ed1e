#include "talvo2/result_directory_manager.hpp"

#include "corekit2/host.hpp"
#include "frame/bag_values.hpp"
#include "frame/boundary.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/creation_metadata.hpp"
#include "node/directory_maker.hpp"
#include "node/marker_files.hpp"
#include "node/name_pattern.hpp"
#include "node/node_cast.hpp"
#include "node/node_lookup.hpp"
#include "node/node_opener.hpp"
#include "results/result_lookup.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/names.hpp"

namespace talvo2 {

namespace {

using corekit2::sptr_t;

// The creation bag: the caller's bag, the creation metadata, and the MPI rank when there is one.
corekit2::variant_bag_t creationBag(const corekit2::variant_bag_t* properties) {
    corekit2::variant_bag_t bag = properties ? *properties : corekit2::variant_bag_t();
    writeCreationMetadata(bag);
    const int rank = corekit2::detectMPIRank();
    if (rank >= 0) putMetadata(bag, disk::kMpiRank, corekit2::variant_t(int32_t{rank}));
    return bag;
}

}  // namespace

Result<sptr_t<IResultDirectory>> asResult(Result<sptr_t<INode>> opened, bool keepFailure) {
    sptr_t<IResultDirectory> result = castNode<IResultDirectory>(std::move(opened.value));
    if (!result) return {{}, keepFailure && opened.error != OK ? opened.error : NotFound};
    return {result, opened.error};
}

namespace {

Reply<sptr_t<IResultDirectory>> replyOf(Result<sptr_t<IResultDirectory>> result) {
    return {std::move(result.value), result.error};
}

}  // namespace

Result<sptr_t<IResultDirectory>> createResult(const wchar_t* path, bool overwrite,
                                              const corekit2::variant_bag_t* properties,
                                              bool literal, const wchar_t* base) {
    if (!path || !*path) return {{}, EmptyPattern};
    const corekit2::variant_bag_t bag = creationBag(properties);
    const auto [directory, markerName] = splitMarkerPath(path, getResultExtension(false));
    NodeRequest request;
    request.path = directory;
    request.base = base ? base : L"";
    request.overwrite = overwrite;
    request.literal = literal;
    request.bag = &bag;
    request.markerName = markerName;
    MadeNode made;
    FreshMarker fresh;
    const error_t outcome = makeNode(request, made);
    if (outcome != OK) return {{}, outcome};
    const std::wstring& marker = made.marker;
    fresh.placeAt(marker);
    // The marker just written is the one an open of the new directory would find; its bytes are
    // still here, so it is not read back.
    return asResult(openNode(marker, base), true);
}

Result<sptr_t<IResultDirectory>> openResult(const wchar_t* path, bool literal,
                                            const wchar_t* base) {
    if (!path) return {{}, InvalidPath};
    const Result<FileSet> markers = findNodes(path, L"", resultExtensionSet(), 1, literal);
    if (markers.value.empty()) return {{}, markers.error};
    return asResult(openNode(*markers.value.begin(), base), false);
}

sptr_t<IResultDirectory> ResultDirectoryManager::create(const wchar_t* path, bool overwrite,
                                                        const corekit2::variant_bag_t* properties,
                                                        bool literal, const wchar_t* base) {
    return exported(sptr_t<IResultDirectory>(), [&] {
        return replyOf(createResult(path, overwrite, properties, literal, base));
    });
}

sptr_t<IResultDirectory> ResultDirectoryManager::open(const wchar_t* path, bool literal,
                                                      const wchar_t* base) {
    return exported(sptr_t<IResultDirectory>(),
                    [&] { return replyOf(openResult(path, literal, base)); });
}

sptr_t<IResultDirectory> ResultDirectoryManager::get(const wchar_t* path,
                                                     const corekit2::variant_bag_t* properties,
                                                     bool literal) {
    return exported(sptr_t<IResultDirectory>(), [&]() -> Reply<sptr_t<IResultDirectory>> {
        if (!path || !*path) return failed(sptr_t<IResultDirectory>(), EmptyPattern);
        std::wstring absolute;
        const error_t located = absolutePath(path, absolute);
        if (located != OK) return failed(sptr_t<IResultDirectory>(), located);
        ResultNamePattern pattern;
        const error_t parsed = parsePattern(fileNameOf(absolute), nullptr, pattern);
        if (parsed != OK) return failed(sptr_t<IResultDirectory>(), parsed);
        Result<sptr_t<IResultDirectory>> made =
            createResult(path, false, properties, literal, nullptr);
        if (made.value || (pattern.width != 0 && !literal) || made.error != AlreadyExists)
            return replyOf(std::move(made));
        // The directory is there: give it a marker if it has none, then open it.
        const auto [directory, markerName] = splitMarkerPath(path, getResultExtension(false));
        if (locateMarkerFile(directory, resultExtensionSet()).value.empty()) {
            const error_t written =
                writeMarkerFile(directory, markerName, corekit2::variant_bag_t());
            if (written != OK) return failed(sptr_t<IResultDirectory>(), written);
        }
        return replyOf(openResult(path, literal, nullptr));
    });
}

int ResultDirectoryManager::getCurrentMpiRank() {
    return corekit2::detectMPIRank();
}

bool IResultDirectory::probe(const wchar_t* path) {
    return exported(false, [&]() -> Reply<bool> {
        if (!path) return failed(false, InvalidPath);
        // Looking leaves the lookup's outcome, OK when it merely found nothing.
        const Result<std::wstring> marker = locateMarkerFile(path, resultExtensionSet());
        return {!marker.value.empty(), marker.error};
    });
}

}  // namespace talvo2
