#include "frame/extension_table.hpp"

#include "propstore2/product.hpp"

namespace talvo2 {

ExtensionTable& ExtensionTable::instance() {
    static ExtensionTable table;
    return table;
}

const wchar_t* ExtensionTable::get(entry_t entry) {
    if (m_initialised.load(std::memory_order_acquire) || fill()) return m_entries[entry].c_str();
    return L"";
}

bool ExtensionTable::fill() {
    corekit2::mutex_guard_t guard(m_mutex);
    if (m_initialised.load(std::memory_order_relaxed)) return true;
    const corekit2::sptr_t<propstore2::IProductLocations> product =
        propstore2::IProductLocations::get();
    if (!product) return false;
    const std::wstring shortName = product->getName(propstore2::PRODUCT_SHORT_NAME);
    m_entries[Result] = L"." + shortName;
    m_entries[Project] = m_entries[Result] + L"proj";
    m_entries[Experiment] = m_entries[Result] + L"exp";
    m_entries[PackedExperiment] = L"." + product->getPackedResultSuffix();
    m_entries[FlagLock] = L".dflg" + shortName;
    m_entries[FlagInfo] = L".info" + shortName;
    // The legacy entries stay empty: no older product's files are recognised.
    m_initialised.store(true, std::memory_order_release);
    return true;
}

}  // namespace talvo2
