#pragma once

// Finding nodes of any kind by path and describing them, shared by the commands that show,
// list and compare nodes.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "talvo2/talvo2.hpp"

namespace talvo_cli {

// Whether something (anything, a dangling link included) is at `path`.
bool existsOnDisk(const std::string& path);
// "project", "experiment" or "result" when `path` names a node of that kind; "" otherwise.
std::string nodeKindAt(const std::string& path);

// The node `path` names (a directory, marker or link file, or a result-name pattern, which opens
// the newest match), whatever its kind; a path that exists is taken as it is, never as a pattern.
// Throws CommandFailure when there is none.
// With `literal`, "@" in the path is an ordinary character. A damaged marker is warned about
// (see warn) and the node still returned. Throws CommandFailure when there is none.
corekit2::sptr_t<talvo2::INode> openAnyNode(const std::string& path, bool literal = false);

// The node as a result directory; throws CommandFailure when it is another kind.
corekit2::sptr_t<talvo2::IResultDirectory> openResult(const std::string& path,
                                                      bool literal = false);

// Whether the node's marker yielded no properties at all (damaged, unreadable or empty).
bool markerDamaged(talvo2::INode& node);

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

// The newest match of a pattern with one run of "@": the highest number, then the most recently
// changed; "" when the pattern has another form or nothing matches.
std::string newestMatch(const std::string& pattern);
// The `count` newest matches, newest first; empty as for newestMatch.
std::vector<std::string> newestMatches(const std::string& pattern, std::size_t count);

// {"seconds": N, "text": "..."}, the one form of every time in JSON output.
nlohmann::json timeValue(long long seconds);
// The one form of processor facts in JSON output, for results and for this machine alike.
nlohmann::json cpuValue(const std::string& brand, int family, int model, int stepping, int type,
                        long long frequencyHz, int logicalCpus, int cores, int packages);

// "label:  value" lines, values aligned after the longest label.
void printFields(const std::vector<std::pair<std::string, std::string>>& fields);

// "result", "project", "experiment" or "node".
std::string kindOf(const corekit2::sptr_t<talvo2::INode>& node);

// Kind, name, paths, creation time, size and file count; for results also finalized and valid.
nlohmann::json summarize(const corekit2::sptr_t<talvo2::INode>& node);

// Everything `talvo info` shows: the summary, link state, and for results the collection
// metadata and collector data directories.
nlohmann::json describe(const corekit2::sptr_t<talvo2::INode>& node);

// The collection metadata of a result alone (what `talvo diff` compares).
nlohmann::json metadataOf(talvo2::IResultDirectory& result);

// A description as aligned "label: value" lines.
void printDescription(const nlohmann::json& description);

}  // namespace talvo_cli
