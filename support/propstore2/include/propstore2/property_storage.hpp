#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "corekit2/object.hpp"
#include "corekit2/sptr.hpp"
#include "corekit2/variant.hpp"
#include "corekit2/variant_bag.hpp"
#include "propstore2/export.hpp"

namespace propstore2 {

class IPropertyStorage;

// Told about every change made through a property storage. The slot order is part of the binary
// interface. Notifications run in the thread that makes the change, with no lock of the storage
// held, so a listener may read the storage.
class PROPSTORE2_API IPropertyStorageChangeListener2 : public corekit2::object_interface_t {
public:
    // Before a value is stored under `name`.
    virtual void propertyChanging(IPropertyStorage* storage, const wchar_t* name) = 0;
    // Before the value under `name` is removed.
    virtual void propertyRemoving(IPropertyStorage* storage, const wchar_t* name) = 0;
    // After a value was stored under `name`.
    virtual void propertyChanged(IPropertyStorage* storage, const wchar_t* name) = 0;
    // After the value under `name` was removed.
    virtual void propertyRemoved(IPropertyStorage* storage, const wchar_t* name) = 0;
};

// Typed, named values over some backing store, with change notification. Changes made in a
// section are reported to the section's listeners and, with the name "section/name", to those of
// the storage that holds the section. A storage is not synchronised: use it from one thread at a
// time (registering listeners is the exception and may happen from any thread).
class PROPSTORE2_API IPropertyStorage : public corekit2::object_interface_t {
public:
    // Copies the value under `name` into `value`; false (and `value` untouched) when there is none.
    virtual bool getValue(const wchar_t* name, corekit2::variant_t& value) const = 0;
    // Stores `value` under `name`; false when the name is null or empty or the store is gone.
    virtual bool setValue(const wchar_t* name, const corekit2::variant_t& value) = 0;
    // Removes the value under `name`; false when there was none.
    virtual bool removeValue(const wchar_t* name) = 0;
    virtual bool hasValue(const wchar_t* name) const = 0;
    // Names of the values, in ascending order.
    virtual std::vector<std::wstring> getNames() const = 0;
    // The storage of the section `name`, made when missing if `create`; empty otherwise.
    virtual corekit2::sptr_t<IPropertyStorage> getSection(const wchar_t* name, bool create) = 0;
    // Registers a listener (not owned, not reference counted: it must outlive its registration).
    // False when null or already registered. A listener is never called after removeListener
    // has returned, which waits for calls under way in other threads.
    virtual bool addListener(IPropertyStorageChangeListener2* listener) = 0;
    // False when the listener was not registered.
    virtual bool removeListener(IPropertyStorageChangeListener2* listener) = 0;

    // Typed reads: the value when it is stored with that type, `fallback` otherwise.
    int32_t getInt32(const wchar_t* name, int32_t fallback = 0) const {
        return read(name).get_int32(fallback);
    }
    int64_t getInt64(const wchar_t* name, int64_t fallback = 0) const {
        return read(name).get_int64(fallback);
    }
    uint64_t getUInt64(const wchar_t* name, uint64_t fallback = 0) const {
        return read(name).get_uint64(fallback);
    }
    bool getBool(const wchar_t* name, bool fallback = false) const {
        return read(name).get_bool(fallback);
    }
    std::wstring getString(const wchar_t* name, const std::wstring& fallback = {}) const {
        return read(name).get_wstring(fallback);
    }

private:
    corekit2::variant_t read(const wchar_t* name) const {
        corekit2::variant_t value;
        getValue(name, value);
        return value;
    }
};

// A property storage that reads and writes a variant_bag_t in place: values are the bag's values,
// sections its sub-bags.
class PROPSTORE2_API IBagPropertyStorage : public IPropertyStorage {
public:
    // A storage over `bag`, which must outlive the storage or be cut off with detach(). `owner`,
    // when given, is kept alive as long as the storage. Empty when `bag` is null.
    static corekit2::sptr_t<IPropertyStorage> create(
        corekit2::variant_bag_t* bag, corekit2::sptr_t<corekit2::object_interface_t> owner);

    // Cuts the storage and its sections off from the bag: afterwards reads find nothing and
    // writes fail. The bag's owner calls this before the bag goes away while handles may remain.
    virtual void detach() = 0;
};

// The storage of the section `name` inside `parent`, made when missing; empty when `parent` is
// empty or `name` null or empty.
PROPSTORE2_API corekit2::sptr_t<IPropertyStorage> createSubStorage(
    corekit2::sptr_t<IPropertyStorage> parent, const wchar_t* name);

}  // namespace propstore2
