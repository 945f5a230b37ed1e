#pragma once

#include "talvo2/i_result_directory.hpp"
#include "talvo2/node_base.hpp"

namespace talvo2 {

// A result directory that does nothing: every operation of IResultDirectory gives a neutral
// answer (false, null, 0, empty, the first enumerator, or the current time for the time getters;
// isValid and isFinalized answer false, getMpiRank 0), changes nothing and leaves the last error
// as it was; the INode operations answer as NodeBase's. Derive from it to implement part of
// IResultDirectory; add_ref and release remain to be implemented.
class TALVO2_API ResultDirectoryBase : public IResultDirectory, public NodeBase {
public:
    ResultDirectoryBase();
    ResultDirectoryBase(const ResultDirectoryBase&);
    ResultDirectoryBase& operator=(const ResultDirectoryBase&);
    ~ResultDirectoryBase() override;

    bool isFinalized() override;
    bool setFinalized(bool finalized) override;
    bool isValid() override;
    void setInvalid() override;
    const wchar_t* createCollectorDataDir() override;
    corekit2::sptr_t<IPathIterator> getCollectorDataDirectories() override;
    corekit2::sptr_t<IPathIterator> getResultFiles(const wchar_t* mask) override;
    const wchar_t* getSubdir(standard_dir_t kind) override;
    const wchar_t* getSubdir(const wchar_t* name) override;
    corekit2::sptr_t<IResultDirectory> exportTo(const wchar_t* target,
                                                const wchar_t* excludes) override;
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
};

}  // namespace talvo2
