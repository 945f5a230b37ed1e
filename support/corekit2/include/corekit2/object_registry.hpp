#pragma once

#include <memory>
#include <string>

#include "corekit2/export.hpp"
#include "corekit2/object.hpp"
#include "corekit2/sptr.hpp"

namespace corekit2 {

// Makes a new object of a registered type, or returns null.
using object_factory_t = object_interface_t* (*)();

// The process-wide table of types that can be created by name. All members are thread-safe.
class COREKIT2_API object_registry_t {
public:
    object_registry_t();
    ~object_registry_t();
    object_registry_t(const object_registry_t&) = delete;
    object_registry_t& operator=(const object_registry_t&) = delete;

    // Registers `factory` under `name`. False when the name is empty, the factory null, or the
    // name already taken (the first registration stays).
    bool register_type(const char* name, object_factory_t factory);
    // Removes the registration; false when there was none.
    bool unregister_dyncreate_type(const char* name);
    bool is_registered(const char* name) const;
    // A new object of the type, with the caller holding the one reference; empty when the type
    // is unknown or its factory failed.
    sptr_t<object_interface_t> create(const char* name) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The process-wide registry; lives until the toolkit unloads.
COREKIT2_API object_registry_t& get_object_registry();

}  // namespace corekit2
