#pragma once

// Text tables for people: aligned columns under a header, with over-long cells shortened so that
// one long name does not push every later column out of line.

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace talvo_cli {

class Table {
public:
    // One column per header; `widest` caps a column's width in characters (0: no cap). A cell
    // longer than its column is cut and ends in "~".
    struct Column {
        std::string header;
        std::size_t widest = 0;
    };

    explicit Table(std::vector<Column> columns);

    // Adds a row; missing cells are empty, extra cells are ignored.
    void add(std::vector<std::string> cells);

    // Writes the header and the rows, columns two blanks apart, widths in characters (UTF-8
    // aware). Writes nothing but the header when there are no rows.
    void print(std::ostream& out) const;

private:
    std::vector<Column> m_columns;
    std::vector<std::vector<std::string>> m_rows;
};

}  // namespace talvo_cli
