#include "node/tree_copy.hpp"

#include <boost/filesystem.hpp>

#include "corekit2/path.hpp"
#include "frame/wide_path.hpp"
#include "platform/platform.hpp"

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

bool copyTree(const fs::path& from, const fs::path& to, const std::vector<std::wstring>& excluded,
              notify2::IProgress* progress) {
    if (canceled(progress)) return false;
    for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
        if (canceled(progress)) return false;
        const fs::file_status status = entry.symlink_status();
        if (fs::is_symlink(status) || isExcluded(entry.path().filename(), excluded)) continue;
        const fs::path target = to / entry.path().filename();
        if (fs::is_directory(status)) {
            if (!fs::create_directory(target) ||
                !copyTree(entry.path(), target, excluded, progress))
                return false;
        } else if (fs::is_regular_file(status)) {
            if (progress) progress->setItem(toWide(entry.path()).c_str());
            // An existing target is an error; the kernel moves the data.
            const int64_t bytes = platform::copyFile(entry.path().native(), target.native());
            if (bytes < 0) return false;
            if (progress) progress->advance(static_cast<double>(bytes));
        }
    }
    return true;
}

}  // namespace talvo2
