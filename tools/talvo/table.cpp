#include "table.hpp"

#include <algorithm>

namespace talvo_cli {

namespace {

bool continuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Characters, not bytes: "résultats" is nine wide on a terminal.
std::size_t widthOf(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !continuationByte(c); }));
}

// The first `width` characters of `text`, the last of them replaced by "~" when cut.
std::string fitted(const std::string& text, std::size_t width) {
    if (width == 0 || widthOf(text) <= width) return text;
    std::size_t kept = 0;
    std::size_t end = 0;
    while (end < text.size() && kept < width - 1) {
        ++end;
        while (end < text.size() && continuationByte(text[end])) ++end;
        ++kept;
    }
    return text.substr(0, end) + "~";
}

}  // namespace

Table::Table(std::vector<Column> columns) : m_columns(std::move(columns)) {}

void Table::add(std::vector<std::string> cells) {
    cells.resize(m_columns.size());
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = fitted(cells[i], m_columns[i].widest);
    m_rows.push_back(std::move(cells));
}

void Table::print(std::ostream& out) const {
    std::vector<std::size_t> widths;
    for (const Column& column : m_columns) widths.push_back(widthOf(column.header));
    for (const auto& row : m_rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], widthOf(row[i]));
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            text += cells[i];
            if (i + 1 < cells.size()) text.append(widths[i] - widthOf(cells[i]) + 2, ' ');
        }
        out << text << '\n';
    };
    std::vector<std::string> headers;
    for (const Column& column : m_columns) headers.push_back(column.header);
    line(headers);
    for (const auto& row : m_rows) line(row);
}

}  // namespace talvo_cli
