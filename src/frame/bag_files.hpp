#pragma once

// Marker files, link files and configuration files: bags in the toolkit's XML form, read and
// written through the library's own file-system seam. Reading is capped and never blocks;
// writing replaces the file atomically.

#include <string>

#include "corekit2/variant_bag.hpp"
#include "talvo2/error.hpp"

namespace talvo2 {

// The largest marker or configuration file the library reads. They are a few kilobytes, with room
// for what callers keep in them; anything this large in a shared folder is not one of ours.
constexpr std::size_t kMaxBagFileBytes = 16u << 20;
// The largest link file: two short values.
constexpr std::size_t kMaxLinkFileBytes = 64u << 10;

// The root element of link files; markers and configuration files take any root when read and
// are written with the toolkit's default.
constexpr const char* kLinkFileRoot = "bag";

// Reads the bag file at `path` into `bag`, replacing its content; `root` null or "" accepts any
// root element. The file must be a regular file (never a link) of at most `limit` bytes. OK, or
// OperationFailed when the file is missing, unreadable, too large, not a regular file or not a
// bag, with `bag` unchanged. `bytes` (when given) receives the file's bytes as read.
error_t loadBagFile(const std::wstring& path, const char* root, corekit2::variant_bag_t& bag,
                    std::string* bytes = nullptr, std::size_t limit = kMaxBagFileBytes);

// Parses bag text already read; the same answers as loadBagFile.
error_t parseBag(const std::string& bytes, const char* root, corekit2::variant_bag_t& bag);

// Renders `bag` as the text a bag file holds, under the toolkit's default root element. False
// when the bag is nested deeper than a load accepts.
bool renderBag(const corekit2::variant_bag_t& bag, std::string& bytes);

// Writes `bag` to the file at `path` atomically, under the root element `root` (null: the
// toolkit's default). OK, or OperationFailed with the file as it was; `bytes` (when given)
// receives what was written.
error_t saveBagFile(const std::wstring& path, const char* root, const corekit2::variant_bag_t& bag,
                    std::string* bytes = nullptr);

}  // namespace talvo2
