#include "corekit2/variant_bag.hpp"

#include <map>

namespace corekit2 {

// Sub-bags are held by pointer because a map of an incomplete type is not portable.
struct variant_bag_t::Impl {
    std::map<std::wstring, variant_t> values;
    std::map<std::wstring, std::unique_ptr<variant_bag_t>> bags;
};

namespace {

template <class Map>
auto* findIn(Map& entries, const std::wstring& key) {
    const auto it = entries.find(key);
    return it == entries.end() ? nullptr : &it->second;
}

template <class Map>
std::vector<std::wstring> keysOf(const Map& entries) {
    std::vector<std::wstring> out;
    out.reserve(entries.size());
    for (const auto& entry : entries) out.push_back(entry.first);
    return out;
}

}  // namespace

variant_bag_t::variant_bag_t() : m_impl(std::make_unique<Impl>()) {}

variant_bag_t::variant_bag_t(const variant_bag_t& other) : m_impl(std::make_unique<Impl>()) {
    m_impl->values = other.m_impl->values;
    for (const auto& [key, bag] : other.m_impl->bags)
        m_impl->bags.emplace(key, std::make_unique<variant_bag_t>(*bag));
}

// A moved-from bag is left empty and usable, not hollow.
variant_bag_t::variant_bag_t(variant_bag_t&& other) : variant_bag_t() {
    swap(other);
}

variant_bag_t& variant_bag_t::operator=(const variant_bag_t& other) {
    if (this != &other) variant_bag_t(other).swap(*this);
    return *this;
}

variant_bag_t& variant_bag_t::operator=(variant_bag_t&& other) noexcept {
    if (this != &other) {
        clear();
        swap(other);
    }
    return *this;
}

variant_bag_t::~variant_bag_t() = default;

variant_t* variant_bag_t::find(const std::wstring& key, kind<variant_t>) const {
    return findIn(m_impl->values, key);
}

variant_bag_t* variant_bag_t::find(const std::wstring& key, kind<variant_bag_t>) const {
    std::unique_ptr<variant_bag_t>* slot = findIn(m_impl->bags, key);
    return slot ? slot->get() : nullptr;
}

variant_t* variant_bag_t::store(const std::wstring& key, const variant_t& value) {
    // Copy first: `value` may live inside this bag.
    variant_t copy(value);
    variant_t& slot = m_impl->values[key];
    slot = std::move(copy);
    return &slot;
}

variant_bag_t* variant_bag_t::store(const std::wstring& key, const variant_bag_t& value) {
    auto copy = std::make_unique<variant_bag_t>(value);
    std::unique_ptr<variant_bag_t>& slot = m_impl->bags[key];
    slot = std::move(copy);
    return slot.get();
}

bool variant_bag_t::erase(const std::wstring& key, kind<variant_t>) {
    return m_impl->values.erase(key) != 0;
}

bool variant_bag_t::erase(const std::wstring& key, kind<variant_bag_t>) {
    return m_impl->bags.erase(key) != 0;
}

std::vector<std::wstring> variant_bag_t::list(kind<variant_t>) const {
    return keysOf(m_impl->values);
}

std::vector<std::wstring> variant_bag_t::list(kind<variant_bag_t>) const {
    return keysOf(m_impl->bags);
}

variant_t variant_bag_t::get_variant(const std::wstring& key, const variant_t& fallback) const {
    const variant_t* value = get<variant_t>(key);
    return value ? *value : fallback;
}

bool variant_bag_t::empty() const noexcept {
    return m_impl->values.empty() && m_impl->bags.empty();
}

void variant_bag_t::clear() noexcept {
    m_impl->values.clear();
    m_impl->bags.clear();
}

void variant_bag_t::swap(variant_bag_t& other) noexcept {
    m_impl.swap(other.m_impl);
}

bool variant_bag_t::operator==(const variant_bag_t& other) const {
    if (m_impl->values != other.m_impl->values) return false;
    if (m_impl->bags.size() != other.m_impl->bags.size()) return false;
    auto mine = m_impl->bags.begin();
    for (const auto& [key, bag] : other.m_impl->bags) {
        if (mine->first != key || *mine->second != *bag) return false;
        ++mine;
    }
    return true;
}

}  // namespace corekit2
