#include <algorithm>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

#include "propstore2/property_storage.hpp"

namespace propstore2 {

namespace {

using corekit2::sptr_t;
using corekit2::variant_bag_t;
using corekit2::variant_t;

bool usableName(const wchar_t* name) {
    return name && *name;
}

// One storage over a bag, or over a section of the bag of its parent storage. Sections look their
// sub-bag up on every access, so they see the bag as it is now and follow a detach of the root.
class BagPropertyStorage final : public corekit2::ref_counted_t<IBagPropertyStorage> {
public:
    BagPropertyStorage(variant_bag_t* bag, sptr_t<corekit2::object_interface_t> owner)
        : m_root(bag), m_owner(std::move(owner)) {}
    BagPropertyStorage(sptr_t<BagPropertyStorage> parent, std::wstring section)
        : m_parent(std::move(parent)), m_section(std::move(section)) {}

    bool getValue(const wchar_t* name, variant_t& value) const override {
        const variant_bag_t* bag = usableName(name) ? resolve(false) : nullptr;
        const variant_t* stored = bag ? bag->get<variant_t>(name) : nullptr;
        if (!stored) return false;
        value = *stored;
        return true;
    }

    bool setValue(const wchar_t* name, const variant_t& value) override {
        if (!usableName(name) || !resolve(true)) return false;
        notify(&IPropertyStorageChangeListener2::propertyChanging, name);
        // Look the bag up again: a listener may have changed the storage.
        variant_bag_t* bag = resolve(true);
        if (!bag) return false;
        bag->put(name, value);
        notify(&IPropertyStorageChangeListener2::propertyChanged, name);
        return true;
    }

    bool removeValue(const wchar_t* name) override {
        if (!hasValue(name)) return false;
        notify(&IPropertyStorageChangeListener2::propertyRemoving, name);
        variant_bag_t* bag = resolve(false);
        if (!bag || !bag->remove<variant_t>(name)) return false;
        notify(&IPropertyStorageChangeListener2::propertyRemoved, name);
        return true;
    }

    bool hasValue(const wchar_t* name) const override {
        const variant_bag_t* bag = usableName(name) ? resolve(false) : nullptr;
        return bag && bag->has<variant_t>(name);
    }

    std::vector<std::wstring> getNames() const override {
        const variant_bag_t* bag = resolve(false);
        return bag ? bag->keys<variant_t>() : std::vector<std::wstring>();
    }

    sptr_t<IPropertyStorage> getSection(const wchar_t* name, bool create) override {
        variant_bag_t* bag = usableName(name) ? resolve(create) : nullptr;
        if (!bag) return {};
        if (!bag->has<variant_bag_t>(name)) {
            if (!create) return {};
            bag->put(name, variant_bag_t());
        }
        return sptr_t<IPropertyStorage>(
            new BagPropertyStorage(sptr_t<BagPropertyStorage>(this), name));
    }

    bool addListener(IPropertyStorageChangeListener2* listener) override {
        if (!listener) return false;
        std::lock_guard<std::mutex> lock(m_listenerMutex);
        if (std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end())
            return false;
        m_listeners.push_back(listener);
        return true;
    }

    bool removeListener(IPropertyStorageChangeListener2* listener) override {
        std::unique_lock<std::mutex> lock(m_listenerMutex);
        const auto it = std::find(m_listeners.begin(), m_listeners.end(), listener);
        if (it == m_listeners.end()) return false;
        m_listeners.erase(it);
        // The caller may free the listener once this returns: wait for calls running in other
        // threads. A listener removing itself from inside its own notification does not wait.
        const std::thread::id self = std::this_thread::get_id();
        m_callDone.wait(lock, [&] {
            return std::none_of(m_calls.begin(), m_calls.end(), [&](const Call& call) {
                return call.listener == listener && call.thread != self;
            });
        });
        return true;
    }

    void detach() override {
        if (m_parent) {
            m_parent->detach();
        } else {
            m_root = nullptr;
        }
    }

private:
    using Notification = void (IPropertyStorageChangeListener2::*)(IPropertyStorage*,
                                                                   const wchar_t*);

    // The bag this storage reads and writes; with `create` a missing section is made.
    variant_bag_t* resolve(bool create) const {
        if (!m_parent) return m_root;
        variant_bag_t* outer = m_parent->resolve(create);
        if (!outer) return nullptr;
        if (variant_bag_t* inner = outer->get<variant_bag_t>(m_section)) return inner;
        return create ? outer->put(m_section, variant_bag_t()) : nullptr;
    }

    void notify(Notification notification, const std::wstring& name) {
        std::unique_lock<std::mutex> lock(m_listenerMutex);
        const std::vector<IPropertyStorageChangeListener2*> listeners = m_listeners;
        for (IPropertyStorageChangeListener2* listener : listeners) {
            // An earlier listener may have removed this one meanwhile: never call it then.
            if (std::find(m_listeners.begin(), m_listeners.end(), listener) == m_listeners.end())
                continue;
            const auto call = m_calls.insert(m_calls.end(), {listener, std::this_thread::get_id()});
            lock.unlock();
            try {
                (listener->*notification)(this, name.c_str());
            } catch (...) {
                lock.lock();
                m_calls.erase(call);
                m_callDone.notify_all();
                throw;
            }
            lock.lock();
            m_calls.erase(call);
            m_callDone.notify_all();
        }
        lock.unlock();
        if (m_parent) m_parent->notify(notification, m_section + L"/" + name);
    }

    variant_bag_t* m_root = nullptr;
    sptr_t<corekit2::object_interface_t> m_owner;
    sptr_t<BagPropertyStorage> m_parent;
    std::wstring m_section;
    struct Call {
        IPropertyStorageChangeListener2* listener;
        std::thread::id thread;
    };

    std::mutex m_listenerMutex;
    std::condition_variable m_callDone;
    std::vector<IPropertyStorageChangeListener2*> m_listeners;
    std::list<Call> m_calls;  // notifications under way
};

}  // namespace

sptr_t<IPropertyStorage> IBagPropertyStorage::create(variant_bag_t* bag,
                                                     sptr_t<corekit2::object_interface_t> owner) {
    if (!bag) return {};
    return sptr_t<IPropertyStorage>(new BagPropertyStorage(bag, std::move(owner)));
}

sptr_t<IPropertyStorage> createSubStorage(sptr_t<IPropertyStorage> parent, const wchar_t* name) {
    if (!parent) return {};
    return parent->getSection(name, true);
}

}  // namespace propstore2
