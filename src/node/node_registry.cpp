#include "node/node_registry.hpp"

namespace talvo2 {

NodeRegistry& NodeRegistry::instance() {
    static NodeRegistry registry;
    return registry;
}

void NodeRegistry::add(const std::wstring& path, Node* node) {
    m_nodes[path] = node;
}

void NodeRegistry::remove(const std::wstring& path) {
    m_nodes.erase(path);
}

void NodeRegistry::removeOwned(const std::wstring& path, const Node* node) {
    const auto it = m_nodes.find(path);
    if (it != m_nodes.end() && it->second == node) m_nodes.erase(it);
}

Node* NodeRegistry::find(const std::wstring& path) const {
    const auto it = m_nodes.find(path);
    return it == m_nodes.end() ? nullptr : it->second;
}

std::size_t NodeRegistry::size() const {
    return m_nodes.size();
}

void NodeRegistry::reset() {
    m_nodes.clear();
    m_counter = 0;
}

}  // namespace talvo2
