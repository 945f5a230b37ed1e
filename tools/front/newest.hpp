#pragma once

// Choosing among the results a numbered name pattern matches: the newest is the highest number,
// then the most recently changed. Opening a pattern, comparing the newest two and pruning all
// choose this way.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "talvo2/talvo2.hpp"

namespace talvo_front {

// Whether something (anything, a dangling link included) is at `path`.
bool existsOnDisk(const std::string& path);

// "project", "experiment" or "result" when `path` names a node of that kind; "" otherwise.
std::string nodeKindAt(const std::string& path);

// A result-name pattern with one run of "@" and no variables, matched against folder names.
class NumberedName {
public:
    // Empty unless `pattern` (a name, not a path) has that form.
    static std::optional<NumberedName> parse(const std::string& pattern);

    // The number `name` holds where the pattern has its run; empty when the name does not match
    // or its number does not fit in 64 bits.
    std::optional<unsigned long long> numberOf(const std::string& name) const;

private:
    std::string m_prefix;
    std::string m_suffix;
    std::size_t m_width = 0;
};

// The `count` newest nodes `pattern` (a path ending in a numbered name) matches, newest first,
// only those of `kind` ("result", "project", "experiment") when it is given: a project named
// like the results beside it does not hide them from a comparison. Empty when the pattern has
// another form, its folder cannot be read or nothing matches.
std::vector<std::string> newestMatches(const std::string& pattern, std::size_t count,
                                       const std::string& kind = "");

// The newest match alone; "" as for newestMatches.
std::string newestMatch(const std::string& pattern, const std::string& kind = "");

// The node at `path`, of whatever kind is there: a project, an experiment, else a result (which,
// unless `literal`, may be a pattern the library resolves). Null, with the library's last error,
// when there is none.
corekit2::sptr_t<talvo2::INode> openAnyKind(const std::string& path, bool literal);

// The two results a comparison opens. With `second` empty, `literal` false and `first` a pattern
// that names nothing on disk: the two newest results it matches, newest first (and `literal` set,
// since they are paths now). Otherwise `first` and `second` (`first` again when it is empty),
// each one that names nothing on disk replaced by its newest matching result unless `literal`.
// Empty when fewer than two results match; `matched` says how many did.
std::optional<std::pair<std::string, std::string>> comparedPaths(const std::string& first,
                                                                 const std::string& second,
                                                                 bool& literal,
                                                                 std::size_t& matched);

}  // namespace talvo_front
