#pragma once

#include <cstdint>

#include "corekit2/object.hpp"
#include "talvo2/export.hpp"

namespace talvo2 {

// Who holds a flag: a copy of the owner record written when the flag was taken, made by
// INode::addFlag; the caller owns it. Immutable, so it may be read from any thread; nothing here
// fails or touches the last error. The slot order is the binary interface.
class TALVO2_API IFlagData : public corekit2::object_interface_t {
public:
    IFlagData();
    IFlagData(const IFlagData&);
    IFlagData& operator=(const IFlagData&);
    ~IFlagData() override;

    // Seconds since 1970 at which the flag was taken; 0 when not recorded.
    virtual uint64_t getTimestamp() = 0;
    // The holder's user and host names; "" when not recorded. The text belongs to the object and
    // stays valid as long as it lives.
    virtual const wchar_t* getUser() = 0;
    virtual const wchar_t* getHost() = 0;
};

}  // namespace talvo2
