#include "flags/flag_data.hpp"

#include "frame/disk_format.hpp"

namespace talvo2 {

FlagData::FlagData(const corekit2::variant_bag_t& record)
    : m_timestamp(record.get_variant(disk::kOwnerTimestamp).get_uint64()),
      m_user(record.get_variant(disk::kOwnerUser).get_wstring()),
      m_host(record.get_variant(disk::kOwnerHost).get_wstring()) {}

}  // namespace talvo2
