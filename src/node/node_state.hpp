#pragma once

// The state of a node, which only the library sees.

#include <boost/filesystem/path.hpp>
#include <memory>
#include <string>

#include "corekit2/sptr.hpp"
#include "corekit2/variant_bag.hpp"
#include "node/held_flags.hpp"
#include "node/member_group.hpp"
#include "propstore2/property_storage.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// Marks its node modified when the node's persistent storage reports a change. It lives inside the
// node, so it counts no references.
class PropertyChangeMonitor final : public propstore2::IPropertyStorageChangeListener2 {
public:
    uint32_t add_ref() override { return 0; }
    uint32_t release() override { return 0; }
    void propertyChanging(propstore2::IPropertyStorage*, const wchar_t*) override {}
    void propertyRemoving(propstore2::IPropertyStorage*, const wchar_t*) override {}
    void propertyChanged(propstore2::IPropertyStorage*, const wchar_t*) override {
        modified = true;
    }
    void propertyRemoved(propstore2::IPropertyStorage*, const wchar_t*) override {
        modified = true;
    }

    bool modified = false;
};

struct Node::Fields {
    uint32_t refCount = 0;  // changed only under the registry lock
    uint32_t uid = 0;
    boost::filesystem::path directory;
    std::wstring path;
    std::wstring markerFilePath;
    std::wstring linkFilePath;
    std::wstring markerDigest;
    std::wstring userVisibleName;
    corekit2::sptr_t<INode> parent;
    // The group of the node's members; only projects and experiments have one.
    std::unique_ptr<MemberGroup> memberGroup;
    corekit2::variant_bag_t bag;
    corekit2::sptr_t<propstore2::IPropertyStorage> storage;
    PropertyChangeMonitor monitor;
    corekit2::variant_bag_t transientBag;
    corekit2::sptr_t<propstore2::IPropertyStorage> transientStorage;
    std::wstring outputDirectory;
    bool linkStale = false;
    bool readOnly = false;
    bool removeOnClose = false;
    std::unique_ptr<HeldFlags> flags = makeHeldFlags();
    // How the binding that made the node went, for the node opener to hand on.
    error_t bindOutcome = OK;
    // Set by removal: a removed result is no longer valid.
    bool removed = false;
};

// The library's own way to a node's state.
struct NodeAccess {
    static Node::Fields& fields(Node& node) { return *node.m_fields; }
    static const Node::Fields& fields(const Node& node) { return *node.m_fields; }
};

inline Node::Fields& fieldsOf(Node& node) {
    return NodeAccess::fields(node);
}
inline const Node::Fields& fieldsOf(const Node& node) {
    return NodeAccess::fields(node);
}

}  // namespace talvo2
