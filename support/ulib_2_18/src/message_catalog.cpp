#include "ulib_2_18/message_catalog.hpp"

namespace ulib_2_18 {

message_t::message_t(ustring text) : m_text(std::move(text)) {}

ustring message_t::as_ustring(const std::vector<ustring>& args) const {
    ustring out;
    out.reserve(m_text.size());
    for (std::size_t i = 0; i < m_text.size(); ++i) {
        const wchar_t c = m_text[i];
        if (c != L'%' || i + 1 == m_text.size()) {
            out += c;
            continue;
        }
        const wchar_t next = m_text[i + 1];
        if (next == L'%') {
            out += L'%';
            ++i;
        } else if (next >= L'1' && next <= L'9' &&
                   static_cast<std::size_t>(next - L'1') < args.size()) {
            out += args[static_cast<std::size_t>(next - L'1')];
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

message_catalog_t::message_catalog_t(std::string name) : m_name(std::move(name)) {}

void message_catalog_t::add(const std::string& key, const ustring& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texts[key] = text;
}

message_t message_catalog_t::message(const std::string& key) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_texts.find(key);
    if (it != m_texts.end()) return message_t(it->second);
    return message_t(from_utf8(key));
}

bool message_catalog_t::contains(const std::string& key) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_texts.count(key) != 0;
}

}  // namespace ulib_2_18
