#pragma once

// Binding a node to its marker file, finding its parent, and keeping its link files in step. All
// of it runs under the registry lock, which the functions take themselves (it is recursive).
// None of them touches the last error: each returns the outcome it would leave.

#include <optional>
#include <string>

#include "frame/boundary.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// Binds `node` to the marker file `markerPath` as opened from the group at `groupPath` (null:
// none). The error says how the binding went (the marker's bag failing to load is
// OperationFailed, and so is a link file that could not be written); the value is what binding
// answers: false for an empty or unusable path, true when `markerPath` is the node's marker
// already (the group path only places it), else whether the error is OK.
Result<bool> bindNode(Node& node, const std::wstring& markerPath, const wchar_t* groupPath);

// Binds to `markerPath`, the same marker under a new name, keeping changes not yet saved.
Result<bool> rebindKeepingChanges(Node& node, const std::wstring& markerPath,
                                  const wchar_t* groupPath);

// Gives the marker file, within its directory, the name `name` followed by its extension, then
// binds to it (keeping unsaved changes). The value is the binding's answer; ParameterError for a
// name that would leave the directory, AlreadyExists when a file of the new name is there.
Result<bool> renameMarkerFile(Node& node, const wchar_t* name);

// Follows a marker renamed within the node's directory. Nothing when the marker is where it was;
// otherwise the lookup's outcome (OK when it found no marker) or, when the node rebound, the
// rebinding's.
std::optional<error_t> refreshMarker(Node& node);

// Reads the link file `linkPath`, which from now on leads to `node`; `markerPath` receives the
// marker path it records (empty when it records none). OK, InvalidPath for a path that does not
// convert, or OperationFailed when the file does not load.
error_t readLinkFile(Node& node, const std::wstring& linkPath, std::wstring& markerPath);

// The marker path the link file `linkPath` records, when `linkPath` is a link file at all: a
// regular file (never a link) named with a node extension followed by "link", of at most a link
// file's size, whose "link" names a marker of that extension. "" otherwise: such a file leads
// nowhere.
std::wstring linkTarget(const std::wstring& linkPath);

// Whether the link file `linkPath` leads to `marker`, and `marker` (a regular file of a node kind)
// names `linkPath` back as its backlink: only then does a link place a node or lead a removal to
// it. Paths read from one of the two files are never acted on without the other confirming them.
bool linkLeadsTo(const std::wstring& linkPath, const std::wstring& marker);
bool markerNamesLink(const std::wstring& marker, const std::wstring& linkPath);

// Keeps the link file in the parent's directory in step with where the node is: written when the
// node lies outside its parent's directory, deleted when it no longer does. OK, or
// OperationFailed when the link file or the marker's backlink could not be written.
error_t updateLinks(Node& node);

// Writes the node's bag to its marker. A linked node whose marker is gone is not written
// (NotFound): the path came from a link file, which anyone who can write the group's directory
// could have forged, and writing would create a file wherever it points.
error_t saveMarker(Node& node);

}  // namespace talvo2
