#pragma once

#include <atomic>
#include <boost/thread/recursive_mutex.hpp>
#include <map>
#include <mutex>
#include <string>

namespace talvo2 {

class Node;

// The process-wide table from paths (marker paths and link paths, in the exact form the node
// stored) to live nodes, and the one recursive lock that guards it, every node's reference count
// and every binding. The table holds plain pointers: a node leaves it when its last reference goes.
class NodeRegistry {
public:
    static NodeRegistry& instance();

    boost::recursive_mutex& mutex() { return m_mutex; }

    // The following expect the caller to hold mutex().
    // Maps `path` to `node`, replacing whatever it mapped to.
    void add(const std::wstring& path, Node* node);
    // Removes the entry of `path`, whatever node it points to.
    void remove(const std::wstring& path);
    // Removes the entry of `path` only while it leads to `node`: after a reset a newer node may
    // own the same path.
    void removeOwned(const std::wstring& path, const Node* node);
    // The node registered under `path`, or null.
    Node* find(const std::wstring& path) const;

    // Entries in the table.
    std::size_t size() const;
    // The next node serial number (the first is 1).
    uint32_t nextUid() { return ++m_counter; }
    uint32_t count() const { return m_counter.load(); }
    // Forgets every entry and restarts the serial numbers, without taking the lock.
    void reset();

private:
    NodeRegistry() = default;

    boost::recursive_mutex m_mutex;
    std::map<std::wstring, Node*> m_nodes;
    std::atomic<uint32_t> m_counter{0};
};

// Holds the registry lock for as long as it lives.
class RegistryLock {
public:
    RegistryLock() : m_lock(NodeRegistry::instance().mutex()) {}
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

private:
    std::lock_guard<boost::recursive_mutex> m_lock;
};

}  // namespace talvo2
