#include "groups/search_directories.hpp"

#include <new>

#include "corekit2/path.hpp"
#include "frame/bag_files.hpp"
#include "frame/boundary.hpp"
#include "frame/disk_format.hpp"
#include "platform/files.hpp"
#include "propstore2/property_storage.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

namespace {

const wchar_t* const kSection = disk::kSearchDirectoriesSection;

}  // namespace

SearchDirectories::SearchDirectories(const wchar_t* directory) {
    if (!directory) return;
    corekit2::path_t file(directory);
    file.append(disk::kConfigDirectory).append(disk::kSearchDirectoriesFile);
    m_file = file.as_string();
    // A directory standing where the file belongs is not read; nothing is created either way.
    const platform::FileType type = platform::typeAt(ulib_2_18::to_utf8(m_file), true);
    if (type != platform::FileType::Missing && type != platform::FileType::Directory)
        m_loaded = loadBagFile(m_file, nullptr, m_bag) == OK;
}

SearchDirectories::~SearchDirectories() {
    if (auto* storage = dynamic_cast<propstore2::IBagPropertyStorage*>(m_section.get()))
        storage->detach();
}

bool SearchDirectories::isLoaded() {
    return m_loaded;
}

bool SearchDirectories::save() {
    if (m_file.empty()) return false;
    return saveBagFile(m_file, nullptr, m_bag) == OK;
}

corekit2::sptr_t<propstore2::IPropertyStorage> SearchDirectories::getStorage() {
    if (!m_section) {
        m_section = propstore2::createSubStorage(
            propstore2::IBagPropertyStorage::create(&m_bag, {}), kSection);
    }
    return m_section;
}

corekit2::sptr_t<ISearchDirectories> ISearchDirectories::create(const wchar_t* directory) {
    using Answer = corekit2::sptr_t<ISearchDirectories>;
    return exported(Answer(), [&]() -> Reply<Answer> {
        return {Answer(new SearchDirectories(directory)), LastError::kept()};
    });
}

}  // namespace talvo2
