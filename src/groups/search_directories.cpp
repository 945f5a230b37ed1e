#include "groups/search_directories.hpp"

#include <new>

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

namespace {

// The result's "config" directory, reached without following a link: one planted there would
// make the file read and written wherever it points.
std::unique_ptr<platform::Directory> configDirectory(const std::string& directory) {
    std::unique_ptr<platform::Directory> config;
    if (directory.empty() ||
        !platform::openBelow(directory, ulib_2_18::to_utf8(disk::kConfigDirectory), config))
        return nullptr;
    return config;
}

const std::string& fileName() {
    static const std::string name = ulib_2_18::to_utf8(disk::kSearchDirectoriesFile);
    return name;
}

}  // namespace

SearchDirectories::SearchDirectories(const wchar_t* directory) {
    if (!directory || !*directory) return;
    m_directory = ulib_2_18::to_utf8(directory);
    // Anything but a regular file where the file belongs is not read; nothing is created either
    // way.
    const auto config = configDirectory(m_directory);
    std::string bytes;
    if (config && platform::readFile(config.get(), fileName(), kMaxBagFileBytes, false, bytes) ==
                      platform::ReadOutcome::Read)
        m_loaded = parseBag(bytes, nullptr, m_bag) == OK;
}

SearchDirectories::~SearchDirectories() {
    if (auto* storage = dynamic_cast<propstore2::IBagPropertyStorage*>(m_section.get()))
        storage->detach();
}

bool SearchDirectories::isLoaded() {
    return m_loaded;
}

bool SearchDirectories::save() {
    const auto config = configDirectory(m_directory);
    std::string bytes;
    return config && renderBag(m_bag, bytes) &&
           platform::writeFileAtomicallyIn(*config, fileName(), bytes);
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
