#pragma once

#include <cstdint>

#include "corekit2/object.hpp"
#include "talvo2/export.hpp"

namespace talvo2 {

// A forward-only cursor over a list of paths that was complete when the iterator was made; later
// changes on disk are not seen. The caller owns the handle it was given. Reference counting is
// thread-safe; use the cursor from one thread at a time. Neither operation fails or touches the
// last error. The slot order is the binary interface.
class TALVO2_API IPathIterator : public corekit2::object_interface_t {
public:
    IPathIterator();
    IPathIterator(const IPathIterator&);
    IPathIterator& operator=(const IPathIterator&);
    ~IPathIterator() override;

    // How many paths the iterator was filled with; next does not change it.
    virtual uint32_t getCount() = 0;
    // The path under the cursor, then the cursor moves on; null once past the last path (and on
    // every call after). The text belongs to the iterator and stays valid until the next call of
    // next or the iterator's release.
    virtual const wchar_t* next() = 0;
};

}  // namespace talvo2
