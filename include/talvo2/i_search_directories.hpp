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
// it back with save. The caller owns the object; use it from one thread at a time. None of its
// operations touches the last error. The slot order is the binary interface.
class TALVO2_API ISearchDirectories : public corekit2::object_interface_t {
public:
    ISearchDirectories();
    ISearchDirectories(const ISearchDirectories&);
    ISearchDirectories& operator=(const ISearchDirectories&);
    ~ISearchDirectories() override;

    // Whether the file was read successfully when the object was made; a missing file, a
    // directory in its place or a file that is not a bag is not (the storage then starts empty).
    virtual bool isLoaded() = 0;
    // Writes the configuration to the file, atomically (the "config" directory must exist). False
    // on failure and for an object made without a directory; the last error is left as it was.
    virtual bool save() = 0;
    // The section "All_Configurations-All_Platforms"; the same storage on every call, made when
    // first asked for. Changes stay in memory until save. The storage works on this object's copy
    // and holds no reference on it: keep the object while the storage is in use.
    virtual corekit2::sptr_t<propstore2::IPropertyStorage> getStorage() = 0;

    // The configuration below `directory` (null gives one that is not loaded and cannot be
    // saved), read once now. Nothing is created on disk. A new object the caller owns, with the
    // last error as it was; empty only when memory runs out (OperationFailed).
    static corekit2::sptr_t<ISearchDirectories> create(const wchar_t* directory);
};

}  // namespace talvo2
