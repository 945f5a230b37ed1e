#include "bag_xml.hpp"

#include <pugixml.hpp>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

#include "corekit2/bag_file.hpp"
#include "ulib_2_18/text.hpp"

// Layout of a bag document:
//   <ROOT version="1">
//     <value key="name" type="int32" data="5"/>
//     <bag key="section"> ...the same, nested... </bag>
//   </ROOT>
// Keys and string data that XML cannot carry verbatim (control characters, lone surrogates,
// characters XML attribute normalisation would alter) are written as "key-hex" / "data-hex": the
// wide code units in hexadecimal separated by blanks. So any key and any string round-trips.

namespace corekit2::xml {

namespace {

constexpr const char* kVersion = "1";
// Deeper documents are refused rather than risk the stack on hostile input.
constexpr int kMaxDepth = 256;
// More markup than any bag holds is refused before the parser builds a node for each piece:
// tens of bytes per node would turn a small hostile file into hundreds of megabytes. A bag of
// this many values is far beyond anything written by a program.
constexpr std::size_t kMaxMarkup = 1u << 18;

struct TypeName {
    variant_type_t type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {
    {VT_EMPTY, "empty"},   {VT_INT32, "int32"},   {VT_UINT32, "uint32"}, {VT_INT64, "int64"},
    {VT_UINT64, "uint64"}, {VT_DOUBLE, "double"}, {VT_BOOL, "bool"},     {VT_WSTRING, "string"},
};

const char* typeName(variant_type_t type) {
    for (const auto& entry : kTypeNames)
        if (entry.type == type) return entry.name;
    return nullptr;
}

bool typeFromName(const char* name, variant_type_t& type) {
    for (const auto& entry : kTypeNames) {
        if (std::strcmp(entry.name, name) == 0) {
            type = entry.type;
            return true;
        }
    }
    return false;
}

bool isVerbatim(const std::wstring& text) {
    for (wchar_t w : text) {
        const auto c = static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(w));
        const bool ok = (c >= 0x20 && c < 0xD800) || (c >= 0xE000 && c <= 0xFFFD) ||
                        (c >= 0x10000 && c <= 0x10FFFF);
        if (!ok) return false;
    }
    return true;
}

std::string toHex(const std::wstring& text) {
    std::string out;
    char unit[16];
    for (wchar_t w : text) {
        std::snprintf(unit, sizeof unit, out.empty() ? "%lx" : " %lx",
                      static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(w)));
        out += unit;
    }
    return out;
}

bool fromHex(const char* text, std::wstring& out) {
    out.clear();
    const char* p = text;
    const char* const end = text + std::strlen(text);
    while (p < end) {
        unsigned long value = 0;
        const auto [next, ec] = std::from_chars(p, end, value, 16);
        if (ec != std::errc() || next == p ||
            value > std::numeric_limits<std::make_unsigned_t<wchar_t>>::max())
            return false;
        out += static_cast<wchar_t>(value);
        p = next;
        if (p < end) {
            if (*p != ' ' || p + 1 == end) return false;
            ++p;
        }
    }
    return true;
}

// Writes `text` as attribute `name`, or as `name`-hex when it cannot be carried verbatim.
void writeText(pugi::xml_node node, const char* name, const std::wstring& text) {
    if (isVerbatim(text)) {
        node.append_attribute(name).set_value(ulib_2_18::to_utf8(text).c_str());
    } else {
        node.append_attribute((std::string(name) + "-hex").c_str()).set_value(toHex(text).c_str());
    }
}

bool readText(pugi::xml_node node, const char* name, std::wstring& text) {
    if (const pugi::xml_attribute plain = node.attribute(name)) {
        if (node.attribute((std::string(name) + "-hex").c_str())) return false;
        text = ulib_2_18::from_utf8(plain.value());
        return true;
    }
    const pugi::xml_attribute hex = node.attribute((std::string(name) + "-hex").c_str());
    return hex && fromHex(hex.value(), text);
}

template <class T>
std::string numberText(T value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

template <class T>
bool parseNumber(const char* text, T& value) {
    const char* const end = text + std::strlen(text);
    const auto [next, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && next == end && next != text;
}

std::string dataText(const variant_t& value) {
    switch (value.type()) {
        case VT_INT32:
            return numberText(value.get_int32());
        case VT_UINT32:
            return numberText(value.get_uint32());
        case VT_INT64:
            return numberText(value.get_int64());
        case VT_UINT64:
            return numberText(value.get_uint64());
        case VT_DOUBLE:
            return numberText(value.get_double());
        case VT_BOOL:
            return value.get_bool() ? "true" : "false";
        default:
            return std::string();
    }
}

template <class T>
bool parseInto(const char* text, variant_t& value) {
    T number{};
    if (!parseNumber(text, number)) return false;
    value = variant_t(number);
    return true;
}

bool parseValue(pugi::xml_node node, variant_type_t type, variant_t& value) {
    if (type == VT_WSTRING) {
        std::wstring text;
        if (!readText(node, "data", text)) return false;
        value = variant_t(std::move(text));
        return true;
    }
    const pugi::xml_attribute dataAttribute = node.attribute("data");
    if (type == VT_EMPTY) {
        value = variant_t();
        return !dataAttribute;
    }
    if (!dataAttribute) return false;
    const char* data = dataAttribute.value();
    switch (type) {
        case VT_INT32:
            return parseInto<int32_t>(data, value);
        case VT_UINT32:
            return parseInto<uint32_t>(data, value);
        case VT_INT64:
            return parseInto<int64_t>(data, value);
        case VT_UINT64:
            return parseInto<uint64_t>(data, value);
        case VT_DOUBLE:
            return parseInto<double>(data, value);
        case VT_BOOL:
            if (std::strcmp(data, "true") == 0 || std::strcmp(data, "false") == 0) {
                value = variant_t(std::strcmp(data, "true") == 0);
                return true;
            }
            return false;
        default:
            return false;
    }
}

bool renderBag(const variant_bag_t& bag, pugi::xml_node node, int depth) {
    if (depth > kMaxDepth) return false;
    for (const std::wstring& key : bag.keys<variant_t>()) {
        const variant_t& value = *bag.get<variant_t>(key);
        pugi::xml_node element = node.append_child("value");
        writeText(element, "key", key);
        element.append_attribute("type").set_value(typeName(value.type()));
        if (value.type() == VT_WSTRING) {
            writeText(element, "data", value.get_wstring());
        } else if (value.type() != VT_EMPTY) {
            element.append_attribute("data").set_value(dataText(value).c_str());
        }
    }
    for (const std::wstring& key : bag.keys<variant_bag_t>()) {
        pugi::xml_node element = node.append_child("bag");
        writeText(element, "key", key);
        if (!renderBag(*bag.get<variant_bag_t>(key), element, depth + 1)) return false;
    }
    return true;
}

int parseBag(pugi::xml_node node, variant_bag_t& bag, int depth) {
    if (depth > kMaxDepth) return BAG_E_FORMAT;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        switch (child.type()) {
            case pugi::node_comment:
            case pugi::node_pi:
                continue;
            case pugi::node_pcdata:
            case pugi::node_cdata:
                // Only layout white space may stand between entries.
                if (child.value()[std::strspn(child.value(), " \t\r\n")] != '\0')
                    return BAG_E_FORMAT;
                continue;
            case pugi::node_element:
                break;
            default:
                return BAG_E_FORMAT;
        }
        std::wstring key;
        if (!readText(child, "key", key)) return BAG_E_FORMAT;
        if (std::strcmp(child.name(), "value") == 0) {
            variant_type_t type{};
            variant_t value;
            if (!typeFromName(child.attribute("type").value(), type) ||
                !parseValue(child, type, value) || bag.has<variant_t>(key))
                return BAG_E_FORMAT;
            bag.put(key, value);
        } else if (std::strcmp(child.name(), "bag") == 0) {
            if (bag.has<variant_bag_t>(key)) return BAG_E_FORMAT;
            variant_bag_t inner;
            const int status = parseBag(child, inner, depth + 1);
            if (status != BAG_OK) return status;
            bag.put(key, inner);
        } else {
            return BAG_E_FORMAT;
        }
    }
    return BAG_OK;
}

class StringWriter : public pugi::xml_writer {
public:
    explicit StringWriter(std::string& out) : m_out(out) {}
    void write(const void* data, std::size_t size) override {
        m_out.append(static_cast<const char*>(data), size);
    }

private:
    std::string& m_out;
};

}  // namespace

bool valid_root_name(const char* root) {
    if (!root || !*root) return false;
    for (const char* p = root; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!letter && !(p != root && other)) return false;
    }
    return true;
}

bool render(const variant_bag_t& bag, const char* root, std::string& out) {
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");
    pugi::xml_node top = document.append_child(root);
    top.append_attribute("version").set_value(kVersion);
    if (!renderBag(bag, top, 0)) return false;
    std::string text;
    StringWriter writer(text);
    document.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
    out.swap(text);
    return true;
}

int parse(const std::string& text, const char* root, variant_bag_t& bag) {
    // Every element, comment or instruction starts with '<', which attribute values never hold
    // unescaped.
    std::size_t markup = 0;
    for (const char c : text)
        if (c == '<' && ++markup > kMaxMarkup) return BAG_E_FORMAT;
    pugi::xml_document document;
    // Attribute white space is kept as written. Fragment mode keeps text outside the root element
    // as nodes, so that it can be refused rather than silently dropped.
    const unsigned options =
        (pugi::parse_default | pugi::parse_fragment) & ~pugi::parse_wconv_attribute;
    if (!document.load_buffer(text.data(), text.size(), options, pugi::encoding_auto))
        return BAG_E_PARSE;
    // Exactly one element at the top, with nothing but comments and instructions beside it.
    pugi::xml_node top;
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
        switch (node.type()) {
            case pugi::node_declaration:
            case pugi::node_comment:
            case pugi::node_pi:
                continue;
            case pugi::node_element:
                if (top) return BAG_E_PARSE;
                top = node;
                continue;
            default:
                return BAG_E_PARSE;
        }
    }
    // No element at all (binary content reads so: the parser stops at its first NUL) is no XML
    // document either.
    if (!top) return BAG_E_PARSE;
    if (root && *root && std::strcmp(top.name(), root) != 0) return BAG_E_FORMAT;
    const pugi::xml_attribute version = top.attribute("version");
    if (version && std::strcmp(version.value(), kVersion) != 0) return BAG_E_FORMAT;
    return parseBag(top, bag, 0);
}

}  // namespace corekit2::xml
