// The exported checks of result-name patterns.

#include "frame/boundary.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/name_pattern.hpp"
#include "talvo2/result_directory_manager.hpp"

namespace talvo2 {

error_t ResultDirectoryManager::validateResultDirectoryPattern(const wchar_t* pattern) {
    // Answers by its result alone: the last error stays as it was.
    return exported(OperationFailed, [&]() -> Reply<error_t> {
        const error_t checked = checkResultNamePattern(pattern);
        if (checked != OK) return {checked, LastError::kept()};
        ResultNamePattern parsed;
        return {parsePattern(pattern, nullptr, parsed), LastError::kept()};
    });
}

bool ResultDirectoryManager::isPathPatterned(wchar_t* path) {
    return exported(false, [&]() -> Reply<bool> {
        std::wstring absolute;
        if (!isEncodable(path) || absolutePath(path, absolute) != OK)
            return {false, LastError::kept()};
        ResultNamePattern parsed;
        return {parsePattern(fileNameOf(absolute), nullptr, parsed) == OK && parsed.width != 0,
                LastError::kept()};
    });
}

}  // namespace talvo2
