#pragma once

// The XML form of a bag, shared by the file and string functions.

#include <string>

#include "corekit2/variant_bag.hpp"

namespace corekit2::xml {

// Renders `bag` under the root element `root` into `out`. False, with `out` untouched, when the bag
// is nested deeper than parse accepts: what is saved must load back.
bool render(const variant_bag_t& bag, const char* root, std::string& out);

// Parses `text` into `bag` (which the caller gives empty). `root` names the required root element;
// null or empty accepts any. Returns a bag status (BAG_OK, BAG_E_PARSE or BAG_E_FORMAT).
int parse(const std::string& text, const char* root, variant_bag_t& bag);

// True when `root` can name an XML element.
bool valid_root_name(const char* root);

}  // namespace corekit2::xml
