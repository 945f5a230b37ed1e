#include "corekit2/object.hpp"

#include <array>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "corekit2/object_registry.hpp"

namespace corekit2 {

const char* object_interface_t::get_type() const {
    return "object";
}

object_interface_t::~object_interface_t() = default;

namespace {

// Objects of up to kLargestPooled bytes are recycled through per-size free lists, which keeps the
// many small node and iterator objects from fragmenting the heap. Lists are capped so a burst of
// objects does not pin memory forever.
constexpr std::size_t kGranule = 16;
constexpr std::size_t kLargestPooled = 512;
constexpr std::size_t kClasses = kLargestPooled / kGranule;
constexpr std::size_t kMaxCached = 256;

struct FreeBlock {
    FreeBlock* next;
};

class Pool {
public:
    ~Pool() {
        for (FreeBlock* head : m_heads) {
            while (head) ::operator delete(std::exchange(head, head->next));
        }
    }

    void* allocate(std::size_t size) {
        if (size == 0) size = 1;
        if (size > kLargestPooled || !kEnabled) return ::operator new(size);
        const std::size_t index = (size - 1) / kGranule;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (FreeBlock* block = m_heads[index]) {
                m_heads[index] = block->next;
                --m_counts[index];
                return block;
            }
        }
        return ::operator new((index + 1) * kGranule);
    }

    void deallocate(void* block, std::size_t size) noexcept {
        if (!block) return;
        if (size == 0) size = 1;
        if (size > kLargestPooled || !kEnabled) return ::operator delete(block);
        const std::size_t index = (size - 1) / kGranule;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_counts[index] < kMaxCached) {
                m_heads[index] = new (block) FreeBlock{m_heads[index]};
                ++m_counts[index];
                return;
            }
        }
        ::operator delete(block);
    }

private:
#if defined(__SANITIZE_ADDRESS__)
    // Recycled blocks would hide use-after-free from AddressSanitizer.
    static constexpr bool kEnabled = false;
#else
    static constexpr bool kEnabled = true;
#endif
    std::mutex m_mutex;
    std::array<FreeBlock*, kClasses> m_heads{};
    std::array<std::size_t, kClasses> m_counts{};
};

Pool& pool() {
    // Never destroyed: objects may be released from other libraries' static destructors.
    static Pool* instance = new Pool;
    return *instance;
}

}  // namespace

void* pool_allocate(std::size_t size) {
    return pool().allocate(size);
}

void pool_deallocate(void* block, std::size_t size) noexcept {
    pool().deallocate(block, size);
}

struct object_registry_t::Impl {
    mutable std::mutex mutex;
    std::map<std::string, object_factory_t> factories;
};

object_registry_t::object_registry_t() : m_impl(std::make_unique<Impl>()) {}
object_registry_t::~object_registry_t() = default;

bool object_registry_t::register_type(const char* name, object_factory_t factory) {
    if (!name || !*name || !factory) return false;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->factories.emplace(name, factory).second;
}

bool object_registry_t::unregister_dyncreate_type(const char* name) {
    if (!name) return false;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->factories.erase(name) != 0;
}

bool object_registry_t::is_registered(const char* name) const {
    if (!name) return false;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->factories.count(name) != 0;
}

sptr_t<object_interface_t> object_registry_t::create(const char* name) const {
    object_factory_t factory = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        const auto it = name ? m_impl->factories.find(name) : m_impl->factories.end();
        if (it == m_impl->factories.end()) return {};
        factory = it->second;
    }
    // Outside the lock: a factory may itself consult the registry.
    return sptr_t<object_interface_t>(factory());
}

object_registry_t& get_object_registry() {
    static object_registry_t registry;
    return registry;
}

}  // namespace corekit2
