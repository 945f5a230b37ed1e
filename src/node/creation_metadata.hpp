#pragma once

#include "corekit2/variant_bag.hpp"

namespace talvo2 {

// Records in the "talvo" section of a creation bag (made when missing) when, where and on what a
// node was made: time, host, operating system, product and build, processor counts, clock,
// identification, brand and highest instruction-set extension. Keys already there are replaced;
// everything else the bag holds is kept. Never fails: what cannot be found is stored as 0 or
// empty text, and "isa" is left out when no extension was found.
void writeCreationMetadata(corekit2::variant_bag_t& bag);

}  // namespace talvo2
