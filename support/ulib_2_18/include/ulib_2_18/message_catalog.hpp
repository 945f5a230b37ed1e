#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ulib_2_18/export.hpp"
#include "ulib_2_18/text.hpp"

namespace ulib_2_18 {

// One message of a catalog: a text with numbered placeholders "%1" to "%9" that as_ustring fills
// from its arguments; "%%" stands for a single "%". A value type, safe to copy between threads.
class ULIB_2_18_API message_t {
public:
    explicit message_t(ustring text = ustring());

    // The text with each "%N" replaced by argument N (1-based). A placeholder without an argument
    // stays as it is written, so a message is never lost for lack of arguments.
    ustring as_ustring(const std::vector<ustring>& args = {}) const;

    const ustring& text() const { return m_text; }

private:
    ustring m_text;
};

// A named set of messages looked up by key. All members are thread-safe.
class ULIB_2_18_API message_catalog_t {
public:
    explicit message_catalog_t(std::string name);

    const std::string& name() const { return m_name; }

    // Adds or replaces the text of a key.
    void add(const std::string& key, const ustring& text);

    // The message of a key. A key the catalog lacks yields a message whose text is the key itself,
    // so callers always have something to show.
    message_t message(const std::string& key) const;

    // True when the catalog holds the key.
    bool contains(const std::string& key) const;

private:
    std::string m_name;
    mutable std::mutex m_mutex;
    std::map<std::string, ustring> m_texts;
};

using message_catalog_ptr = std::shared_ptr<const message_catalog_t>;

}  // namespace ulib_2_18
