#pragma once

// Everything the core toolkit offers.
#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "corekit2/iterator.hpp"
#include "corekit2/md5.hpp"
#include "corekit2/mutex.hpp"
#include "corekit2/object.hpp"
#include "corekit2/object_registry.hpp"
#include "corekit2/path.hpp"
#include "corekit2/sptr.hpp"
#include "corekit2/variant.hpp"
#include "corekit2/variant_bag.hpp"
