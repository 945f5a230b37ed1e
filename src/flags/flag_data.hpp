#pragma once

#include <string>

#include "corekit2/object.hpp"
#include "corekit2/variant_bag.hpp"
#include "talvo2/i_flag_data.hpp"

namespace talvo2 {

// Who holds a flag, over a private copy of the owner record.
class FlagData final : public corekit2::ref_counted_t<IFlagData> {
public:
    explicit FlagData(const corekit2::variant_bag_t& record);

    uint64_t getTimestamp() override { return m_timestamp; }
    const wchar_t* getUser() override { return m_user.c_str(); }
    const wchar_t* getHost() override { return m_host.c_str(); }

private:
    uint64_t m_timestamp;
    std::wstring m_user;
    std::wstring m_host;
};

}  // namespace talvo2
