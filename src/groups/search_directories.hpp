#pragma once

#include <string>

#include "corekit2/object.hpp"
#include "corekit2/variant_bag.hpp"
#include "talvo2/i_search_directories.hpp"

namespace talvo2 {

// The search-directory file of a result, config/search_dir.cfg, loaded into a bag once when the
// object is made and written back on save.
class SearchDirectories final : public corekit2::ref_counted_t<ISearchDirectories> {
public:
    // `directory` may be null: then nothing is loaded and nothing can be saved.
    explicit SearchDirectories(const wchar_t* directory);
    // A caller may keep the section's storage longer than this object: it is cut off from the
    // bag that dies here.
    ~SearchDirectories() override;

    bool isLoaded() override;
    bool save() override;
    corekit2::sptr_t<propstore2::IPropertyStorage> getStorage() override;

private:
    corekit2::sptr_t<propstore2::IPropertyStorage> m_section;
    corekit2::variant_bag_t m_bag;
    std::string m_directory;  // the result's, UTF-8; empty when none was given
    bool m_loaded = false;
};

}  // namespace talvo2
