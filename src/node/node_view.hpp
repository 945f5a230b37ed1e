#pragma once

// Every node kind derives from Node (which carries the state) and from an exported base that gives
// the kind's interface; the INode operations that Node answers are forwarded to it here. Writing
// one override per operation makes it the final overrider for both bases at once.

#include "frame/boundary.hpp"
#include "node/node_copy.hpp"
#include "propstore2/property_storage.hpp"
#include "talvo2/i_flag_data.hpp"
#include "talvo2/i_node_group.hpp"
#include "talvo2/node.hpp"

#define TALVO2_NODE_FORWARDS                                                                 \
    talvo2::INode* asINode() override {                                                      \
        return this;                                                                         \
    }                                                                                        \
    uint32_t add_ref() override {                                                            \
        return Node::add_ref();                                                              \
    }                                                                                        \
    uint32_t release() override {                                                            \
        return Node::release();                                                              \
    }                                                                                        \
    const wchar_t* getPath() override {                                                      \
        return Node::getPath();                                                              \
    }                                                                                        \
    const wchar_t* getMarkerFilePath() override {                                            \
        return Node::getMarkerFilePath();                                                    \
    }                                                                                        \
    int64_t getSize() override {                                                             \
        return Node::getSize();                                                              \
    }                                                                                        \
    int32_t getFilesCount() override {                                                       \
        return Node::getFilesCount();                                                        \
    }                                                                                        \
    bool changeMarkerFilePath(const wchar_t* path) override {                                \
        return Node::changeMarkerFilePath(path);                                             \
    }                                                                                        \
    const wchar_t* getUserVisibleName() override {                                           \
        return Node::getUserVisibleName();                                                   \
    }                                                                                        \
    bool changeUserVisibleName(const wchar_t* name) override {                               \
        return Node::changeUserVisibleName(name);                                            \
    }                                                                                        \
    corekit2::sptr_t<talvo2::INode> getParent() override {                                   \
        return Node::getParent();                                                            \
    }                                                                                        \
    bool setParent(const wchar_t* path) override {                                           \
        return Node::setParent(path);                                                        \
    }                                                                                        \
    corekit2::sptr_t<talvo2::INode> getProject() override {                                  \
        return Node::getProject();                                                           \
    }                                                                                        \
    corekit2::sptr_t<propstore2::IPropertyStorage> getPropertyStorage() override {           \
        return Node::getPropertyStorage();                                                   \
    }                                                                                        \
    bool save() override {                                                                   \
        return Node::save();                                                                 \
    }                                                                                        \
    bool isModified() override {                                                             \
        return Node::isModified();                                                           \
    }                                                                                        \
    int64_t getCreationTime() override {                                                     \
        return Node::getCreationTime();                                                      \
    }                                                                                        \
    corekit2::sptr_t<propstore2::IPropertyStorage> getTransientStorage() override {          \
        return Node::getTransientStorage();                                                  \
    }                                                                                        \
    bool isLinked() override {                                                               \
        return Node::isLinked();                                                             \
    }                                                                                        \
    bool isMissing() override {                                                              \
        return Node::isMissing();                                                            \
    }                                                                                        \
    bool isLinkStale() override {                                                            \
        return Node::isLinkStale();                                                          \
    }                                                                                        \
    bool isReadOnly() override {                                                             \
        return Node::isReadOnly();                                                           \
    }                                                                                        \
    void setReadOnly(bool readOnly) override {                                               \
        Node::setReadOnly(readOnly);                                                         \
    }                                                                                        \
    void setRemoveOnClose(bool remove) override {                                            \
        Node::setRemoveOnClose(remove);                                                      \
    }                                                                                        \
    talvo2::error_t addFlag(const wchar_t* name, bool replace, bool takeOver) override {     \
        return Node::addFlag(name, replace, takeOver);                                       \
    }                                                                                        \
    talvo2::error_t addFlag(const wchar_t* name, corekit2::sptr_t<talvo2::IFlagData>& data,  \
                            bool replace, bool takeOver) override {                          \
        return Node::addFlag(name, data, replace, takeOver);                                 \
    }                                                                                        \
    talvo2::error_t removeFlag(const wchar_t* name, bool force) override {                   \
        return Node::removeFlag(name, force);                                                \
    }                                                                                        \
    talvo2::error_t ownFlag(const wchar_t* name) override {                                  \
        return Node::ownFlag(name);                                                          \
    }                                                                                        \
    const wchar_t* getLinkFilePath() override {                                              \
        return Node::getLinkFilePath();                                                      \
    }                                                                                        \
    bool copy(const wchar_t* destination, bool renameMarker, notify2::IProgress* progress)   \
        override {                                                                           \
        return talvo2::answer(talvo2::copyNode, *this, destination, renameMarker, progress); \
    }                                                                                        \
    bool move(const wchar_t* destination, bool renameMarker, notify2::IProgress* progress)   \
        override {                                                                           \
        return talvo2::answer(talvo2::moveNode, *this, destination, renameMarker, progress); \
    }
