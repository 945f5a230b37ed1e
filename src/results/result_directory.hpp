#pragma once

#include <string>

#include "node/node_state.hpp"
#include "node/node_view.hpp"
#include "talvo2/result_directory_base.hpp"

namespace talvo2 {

// The node of a result directory: a Node whose marker has the result extension (or, opened for
// import, another product's), with its finalization and validity marks, collector data
// directories and subdirectories.
class ResultDirectory final : public Node, public ResultDirectoryBase {
public:
    // Called by the node opener under the registry lock.
    ResultDirectory(std::wstring& markerPath, const wchar_t* groupPath);
    static Node* make(std::wstring& markerPath, const wchar_t* groupPath, error_t& bound);

    TALVO2_NODE_FORWARDS

    // Finalized when ".norun" was there when the node was made; setFinalized creates or removes
    // it and records the state even when the file operation fails (then false, last error set).
    bool isFinalized() override { return m_finalized; }
    bool setFinalized(bool finalized) override;
    // Valid when ".bad" was not there when the node was made; setInvalid creates ".bad" but does
    // not change what an open node answers.
    bool isValid() override { return m_valid && !NodeAccess::fields(*this).removed; }
    void setInvalid() override;
    // The first free "data.N" below the directory, made; its full path (valid until the next
    // call on this node), or null when it cannot be made. Not for concurrent use on one node.
    const wchar_t* createCollectorDataDir() override;
    corekit2::sptr_t<IPathIterator> getCollectorDataDirectories() override;
    corekit2::sptr_t<IPathIterator> getResultFiles(const wchar_t* mask) override;
    // A subdirectory, made when missing; null for an unknown kind, a name that leaves the
    // directory, or a directory that cannot be made. The path is valid until the next call.
    const wchar_t* getSubdir(standard_dir_t kind) override;
    const wchar_t* getSubdir(const wchar_t* name) override;
    // A new result at `target` (path or pattern, variables from this node's bag) holding a copy
    // of the directory without symbolic links, the old marker and names matching the
    // line-separated masks of `excludes`, and a marker named after it with this node's bag as it
    // is in memory. Empty on failure: the target's error (pattern errors, AlreadyExists, ...),
    // ParameterError for a target inside this result, OK when the copy failed (the partial copy
    // stays), OperationFailed when the marker could not be written. The calling thread's ambient
    // progress (notify2), when there is one, hears of every file and may cancel; a canceled
    // copy is removed.
    corekit2::sptr_t<IResultDirectory> exportTo(const wchar_t* target,
                                                const wchar_t* excludes) override;
    // The collection metadata in the "talvo" section of the property bag.
    const wchar_t* getCreationHostName() const override;
    const wchar_t* getCreationOs(bool display) const override;
    SystemInfo::IsaExtensions getCreationIsa() const override;
    int getMpiRank() const override;
    const wchar_t* getCollectorCommand() const override;
    void setCollectorCommand(const wchar_t* command) override;
    long long getCollectionTimeBegin() const override;
    void setCollectionTimeBegin(long long time) override;
    long long getCollectionTimeEnd() const override;
    void setCollectionTimeEnd(long long time) override;
    long long getFinalizationTimeBegin() const override;
    void setFinalizationTimeBegin(long long time) override;
    long long getFinalizationTimeEnd() const override;
    void setFinalizationTimeEnd(long long time) override;
    int getLogicalCPUCount() const override;
    int getProcessorCoreCount() const override;
    int getProcessorPackageCount() const override;
    long long getCPUFrequency() const override;
    int getCPUFamily() const override;
    int getCPUModel() const override;
    int getCPUStepping() const override;
    SystemInfo::CPUType getCPUName() const override;
    std::wstring getCPUBrandName() const override;
    std::wstring getApplicationLog() const override;
    void setApplicationLog(const wchar_t* path) override;
    std::wstring getCollectorLog() const override;
    void setCollectorLog(const wchar_t* path) override;
    std::wstring getCommandLog() const override;
    void setCommandLog(const wchar_t* path) override;
    corekit2::sptr_t<ISearchDirectories> getSearchDirectories() override;
    // Deletes the result from disk; the open node then answers isValid() false and is missing.
    bool remove() override;
    // A new result at `name` holding a copy of this one, without its backlink.
    std::wstring duplicate(const wchar_t* name) const override;

private:
    bool m_finalized = false;
    bool m_valid = true;
    std::wstring m_collectorDataDir;
    std::wstring m_subdir;
};

}  // namespace talvo2
