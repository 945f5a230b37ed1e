#pragma once

#include "propstore2/export.hpp"
#include "ulib_2_18/message_catalog.hpp"

namespace propstore2 {

// The catalog named `name`, or null when there is none. The built-in catalog "talvo2" is present
// until removed. Thread-safe; the catalog stays valid as long as the caller holds it.
PROPSTORE2_API ulib_2_18::message_catalog_ptr getMessageCatalog(const char* name);

// Makes `catalog` available under its name, replacing a catalog of the same name. Thread-safe.
PROPSTORE2_API void registerMessageCatalog(ulib_2_18::message_catalog_ptr catalog);

// Removes the catalog named `name`; false when there was none. Thread-safe.
PROPSTORE2_API bool removeMessageCatalog(const char* name);

}  // namespace propstore2
