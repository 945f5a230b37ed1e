#pragma once

#include "corekit2/export.hpp"
#include "corekit2/variant.hpp"
#include "corekit2/variant_bag.hpp"

namespace corekit2 {

// Status codes of the bag file functions: 1 is success, every failure carries bit 30.
enum bag_status_t : int {
    BAG_OK = 1,
    BAG_FAILURE = 0x40000000,
    BAG_E_ARGUMENT = BAG_FAILURE | 1,  // null or unusable argument
    BAG_E_OPEN = BAG_FAILURE | 2,      // file missing or cannot be opened
    BAG_E_READ = BAG_FAILURE | 3,      // read error, or file larger than a bag may be
    BAG_E_PARSE = BAG_FAILURE | 4,     // not well-formed XML
    BAG_E_FORMAT = BAG_FAILURE | 5,    // well-formed, but not a bag (wrong root, bad type or value)
    BAG_E_WRITE = BAG_FAILURE | 6,     // temporary file could not be written, synced or renamed
};

// True for any status but BAG_OK.
inline bool bag_failed(int status) {
    return status != BAG_OK;
}

// The root element that save_variant_bag writes.
inline constexpr const char* kDefaultBagRoot = "variant_bag";

// Loads `file` into `bag`, replacing its content. `root` names the required root element; an
// empty or null `root` accepts any. On failure `bag` is left exactly as it was.
// Returns BAG_OK or a failure status; never throws. Thread-safe for distinct bags.
COREKIT2_API int load_variant_bag(variant_bag_t& bag, const wchar_t* file, const char* root);

// Like load_variant_bag; with `merge` the loaded entries are added to `bag` (replacing entries of
// the same key and kind) instead of replacing its content.
COREKIT2_API int load_variant_bag2(variant_bag_t& bag, const wchar_t* file, const char* root,
                                   bool merge);

// Saves `bag` to `file` under the root element kDefaultBagRoot. The file is replaced atomically:
// the bag is written to a temporary file in the same directory, synced and renamed over `file`, so
// readers see the old or the new content, never a mix, and a failed save leaves the old file. A
// replaced file keeps its permissions. Bags nested more than 256 deep are refused
// (BAG_E_ARGUMENT), as loading refuses them. Returns BAG_OK or a failure status; never throws.
COREKIT2_API int save_variant_bag(const variant_bag_t& bag, const wchar_t* file);

// Like save_variant_bag with the root element `root` (an XML name; BAG_E_ARGUMENT otherwise).
COREKIT2_API int save_variant_bag2(const variant_bag_t& bag, const wchar_t* file, const char* root);

// Renders `bag` as the same XML text a file would hold and stores it in `*text` as a wide string.
COREKIT2_API int save_variant_bag_to_string(const variant_bag_t& bag, variant_t* text);

// Parses text made by save_variant_bag_to_string (any root element) into `bag`, replacing its
// content; `bag` is unchanged on failure.
COREKIT2_API int load_variant_bag_from_string(variant_bag_t& bag, const variant_t& text);

}  // namespace corekit2
