#pragma once

#include "corekit2/object.hpp"
#include "corekit2/sptr.hpp"
#include "talvo2/export.hpp"

namespace propstore2 {
class IPropertyStorage;
}

namespace talvo2 {

// The search-directory configuration of a result, kept in its file config/search_dir.cfg. The
// library does not interpret the content; callers read and change it through getStorage and write
// it back with save. Use one object from one thread at a time. The slot order is the binary
// interface.
class TALVO2_API ISearchDirectories : public corekit2::object_interface_t {
public:
    ISearchDirectories();
    ISearchDirectories(const ISearchDirectories&);
    ISearchDirectories& operator=(const ISearchDirectories&);
    ~ISearchDirectories() override;

    // Whether the file was read successfully when the object was made.
    virtual bool isLoaded() = 0;
    // Writes the configuration to the file (the "config" directory must exist). False on failure;
    // the last error is left as it was.
    virtual bool save() = 0;
    // The section "All_Configurations-All_Platforms"; the same storage on every call. Changes
    // stay in memory until save.
    virtual corekit2::sptr_t<propstore2::IPropertyStorage> getStorage() = 0;

    // The configuration below `directory` (null gives one that is not loaded and cannot be
    // saved). Nothing is created on disk. Empty only when memory runs out.
    static corekit2::sptr_t<ISearchDirectories> create(const wchar_t* directory);
};

}  // namespace talvo2
