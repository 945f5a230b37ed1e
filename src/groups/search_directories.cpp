#include "groups/search_directories.hpp"

#include <new>

#include "corekit2/bag_file.hpp"
#include "corekit2/path.hpp"
#include "propstore2/property_storage.hpp"

namespace talvo2 {

namespace {

const wchar_t kSection[] = L"All_Configurations-All_Platforms";

}  // namespace

SearchDirectories::SearchDirectories(const wchar_t* directory) {
    if (!directory) return;
    corekit2::path_t file(directory);
    file.append(L"config").append(L"search_dir.cfg");
    m_file = file.as_string();
    // A directory standing where the file belongs is not read; nothing is created either way.
    if (corekit2::path_t::exists(file) && !corekit2::path_t::is_directory(file))
        m_loaded = !corekit2::bag_failed(corekit2::load_variant_bag(m_bag, m_file.c_str(), ""));
}

bool SearchDirectories::isLoaded() {
    return m_loaded;
}

bool SearchDirectories::save() {
    if (m_file.empty()) return false;
    return !corekit2::bag_failed(corekit2::save_variant_bag(m_bag, m_file.c_str()));
}

corekit2::sptr_t<propstore2::IPropertyStorage> SearchDirectories::getStorage() {
    if (!m_section) {
        m_section = propstore2::createSubStorage(
            propstore2::IBagPropertyStorage::create(&m_bag, {}), kSection);
    }
    return m_section;
}

corekit2::sptr_t<ISearchDirectories> ISearchDirectories::create(const wchar_t* directory) {
    try {
        return corekit2::sptr_t<ISearchDirectories>(new SearchDirectories(directory));
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace talvo2
