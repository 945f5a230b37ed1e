#pragma once

#include "corekit2/variant_bag.hpp"

namespace talvo2 {

// Records in the "talvo" section of a creation bag when, where and by what a node was made:
// "timestamp", "hostname", "os", "product" and "buildNumber". Keys already in the bag are
// replaced; everything else the bag holds is kept.
void writeCreationMetadata(corekit2::variant_bag_t& bag);

}  // namespace talvo2
