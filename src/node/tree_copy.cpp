#include "node/tree_copy.hpp"

#include <exception>

#include "corekit2/path.hpp"
#include "frame/wide_path.hpp"
#include "platform/tree_walk.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

bool canceled(notify2::IProgress* progress) {
    return progress && progress->isCanceled();
}

bool isExcluded(const fs::path& name, const std::vector<std::wstring>& excluded) {
    const corekit2::path_t leaf(toWide(name));
    for (const std::wstring& mask : excluded) {
        if (leaf.match(mask)) return true;
    }
    return false;
}

}  // namespace

namespace {

template <class Target>
bool copyTreeTo(const fs::path& from, Target& to, const std::vector<std::wstring>& excluded,
                notify2::IProgress* progress) {
    if (canceled(progress)) return false;
    platform::CopyCallbacks callbacks;
    callbacks.enter = [&](const std::string& relative, bool directory) {
        if (canceled(progress)) return platform::CopyStep::Stop;
        const fs::path entry(relative);
        if (isExcluded(entry.filename(), excluded)) return platform::CopyStep::Skip;
        if (!directory && progress) progress->setItem(toWide(from / entry).c_str());
        return platform::CopyStep::Copy;
    };
    callbacks.copied = [&](int64_t bytes) {
        if (progress) progress->advance(static_cast<double>(bytes));
    };
    try {
        return platform::copyTreeContents(from.native(), to, callbacks) == OK;
    } catch (const std::exception&) {
        return false;  // a name that does not convert, or memory
    }
}

}  // namespace

bool copyTree(const fs::path& from, const fs::path& to, const std::vector<std::wstring>& excluded,
              notify2::IProgress* progress) {
    return copyTreeTo(from, to.native(), excluded, progress);
}

bool copyTree(const fs::path& from, platform::Directory& to,
              const std::vector<std::wstring>& excluded, notify2::IProgress* progress) {
    return copyTreeTo(from, to, excluded, progress);
}

}  // namespace talvo2
