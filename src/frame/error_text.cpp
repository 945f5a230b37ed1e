#include <mutex>
#include <string>
#include <unordered_set>

#include "propstore2/message_catalogs.hpp"
#include "talvo2/error.hpp"

namespace talvo2 {

namespace {

const char* catalogKey(error_t code) {
    switch (code) {
        case OK:
            return "%OK";
        case NotImplemented:
            return "%NotImplemented";
        case InsufficientPermissions:
            return "%InsufficientPermissions";
        case AlreadyExists:
            return "%AlreadyExists";
        case NotFound:
            return "%NotFound";
        case ParameterError:
            return "%ParameterError";
        case InvalidPath:
            return "%InvalidPath";
        case TooManyPlaceholderGroups:
            return "%TooManyPlaceholderGroups";
        case TooLongPlaceholder:
            return "%TooLongPlaceholder";
        case ReservedCharacters:
            return "%ReservedCharacters";
        case ReservedDeviceName:
            return "%ReservedDeviceName";
        case InvalidLastCharacter:
            return "%InvalidLastCharacter";
        case EmptyPattern:
            return "%EmptyPattern";
        case FileLocked:
            return "%FileLocked";
        case FileError:
            return "%FileError";
        default:
            return "%Unknown";
    }
}

// Every text ever rendered, kept until unload: returned pointers stay valid however many threads
// ask at once and whatever catalog is installed later. The set only grows by distinct texts, of
// which there are a few per catalog.
const wchar_t* intern(std::wstring text) {
    static std::mutex mutex;
    static std::unordered_set<std::wstring> texts;
    std::lock_guard<std::mutex> lock(mutex);
    return texts.insert(std::move(text)).first->c_str();
}

}  // namespace

const wchar_t* toString(error_t code) {
    const char* key = catalogKey(code);
    try {
        std::wstring text(key, key + std::char_traits<char>::length(key));
        if (const ulib_2_18::message_catalog_ptr catalog = propstore2::getMessageCatalog("talvo2"))
            text = catalog->message(key).as_ustring();
        return intern(std::move(text));
    } catch (const std::exception&) {
        // Out of memory while rendering: a fixed text needs no allocation.
        return L"%Unknown";
    }
}

}  // namespace talvo2
