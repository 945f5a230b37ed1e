#pragma once

// Everything the property storage library offers.
#include "propstore2/message_catalogs.hpp"
#include "propstore2/product.hpp"
#include "propstore2/property_storage.hpp"
