#include "flags/flag_data.hpp"

namespace talvo2 {

FlagData::FlagData(const corekit2::variant_bag_t& record)
    : m_timestamp(record.get_variant(L"timestamp").get_uint64()),
      m_user(record.get_variant(L"user").get_wstring()),
      m_host(record.get_variant(L"host").get_wstring()) {}

}  // namespace talvo2
