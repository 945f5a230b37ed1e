#include <map>
#include <mutex>
#include <string>

#include "propstore2/message_catalogs.hpp"

namespace propstore2 {

namespace {

using ulib_2_18::message_catalog_ptr;
using ulib_2_18::message_catalog_t;

// The product's own messages. Keys are those the library looks up; texts are for people.
message_catalog_ptr makeTalvo2Catalog() {
    static const struct {
        const char* key;
        const wchar_t* text;
    } kMessages[] = {
        {"%OK", L"The operation completed successfully."},
        {"%NotImplemented", L"The operation is not implemented."},
        {"%InsufficientPermissions",
         L"Insufficient permissions: the directory or file system cannot be written."},
        {"%AlreadyExists", L"The file or directory already exists."},
        {"%NotFound", L"The result, marker file or directory was not found."},
        {"%ParameterError", L"The arguments are not valid or contradict each other."},
        {"%InvalidPath", L"The path is not valid."},
        {"%TooManyPlaceholderGroups",
         L"The result name pattern may contain only one group of '@' placeholders."},
        {"%TooLongPlaceholder",
         L"A group of '@' placeholders in the result name pattern may be at most 8 long."},
        {"%ReservedCharacters",
         L"The result name pattern contains a reserved character (< > : \" / \\ | ? *)."},
        {"%ReservedDeviceName", L"The result name pattern names a reserved device."},
        {"%InvalidLastCharacter", L"The result name pattern may not end with a blank or a dot."},
        {"%EmptyPattern", L"The result name pattern is empty."},
        {"%FileLocked", L"The file is locked by another process."},
        {"%FileError", L"A file system operation failed."},
        {"%Unknown", L"An unknown error occurred."},
    };
    auto catalog = std::make_shared<message_catalog_t>("talvo2");
    for (const auto& message : kMessages) catalog->add(message.key, message.text);
    return catalog;
}

struct Catalogs {
    std::mutex mutex;
    std::map<std::string, message_catalog_ptr> byName{{"talvo2", makeTalvo2Catalog()}};
};

Catalogs& catalogs() {
    static Catalogs state;
    return state;
}

}  // namespace

message_catalog_ptr getMessageCatalog(const char* name) {
    if (!name) return nullptr;
    Catalogs& state = catalogs();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto it = state.byName.find(name);
    return it == state.byName.end() ? nullptr : it->second;
}

void registerMessageCatalog(message_catalog_ptr catalog) {
    if (!catalog) return;
    Catalogs& state = catalogs();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.byName[catalog->name()] = std::move(catalog);
}

bool removeMessageCatalog(const char* name) {
    if (!name) return false;
    Catalogs& state = catalogs();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.byName.erase(name) != 0;
}

}  // namespace propstore2
