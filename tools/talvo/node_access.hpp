#pragma once

// Finding nodes of any kind by path and describing them, shared by the commands that show,
// list and compare nodes.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "newest.hpp"
#include "talvo2/talvo2.hpp"

namespace talvo_cli {

using talvo_front::existsOnDisk;
using talvo_front::newestMatch;
using talvo_front::newestMatches;
using talvo_front::nodeKindAt;
using talvo_front::NumberedName;

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
