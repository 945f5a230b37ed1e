#pragma once

#include <cstdint>
#include <string>

#include "corekit2/sptr.hpp"
#include "talvo2/i_node.hpp"
#include "talvo2/system_info.hpp"

namespace talvo2 {

class IPathIterator;
class ISearchDirectories;

// The standard subdirectories of a result directory.
enum standard_dir_t : uint32_t {
    STANDARD_DIR_SOURCE = 0,  // "source"
    STANDARD_DIR_CONFIG = 1,  // "config"
    STANDARD_DIR_LOG = 2,     // "log"
};

// A result directory: the data of one collection run, with its collector data directories
// ("data.0", "data.1", ...), standard subdirectories and collection metadata. The rules of INode
// apply. The slot order of the operations is the binary interface.
class TALVO2_API IResultDirectory : public virtual INode {
public:
    IResultDirectory();
    IResultDirectory(const IResultDirectory&);
    IResultDirectory& operator=(const IResultDirectory&);
    ~IResultDirectory() override;

    // Whether collection has finished (the file ".norun" exists); setFinalized creates or
    // removes it.
    virtual bool isFinalized() = 0;
    virtual bool setFinalized(bool finalized) = 0;
    // Whether the result was valid when opened; setInvalid marks it bad on disk.
    virtual bool isValid() = 0;
    virtual void setInvalid() = 0;
    // Makes the first free collector data directory; its full path, or null.
    virtual const wchar_t* createCollectorDataDir() = 0;
    virtual corekit2::sptr_t<IPathIterator> getCollectorDataDirectories() = 0;
    // Files matching `mask` (null: all) in the collector data directories.
    virtual corekit2::sptr_t<IPathIterator> getResultFiles(const wchar_t* mask) = 0;
    // A subdirectory, made when missing; its full path, or null.
    virtual const wchar_t* getSubdir(standard_dir_t kind) = 0;
    virtual const wchar_t* getSubdir(const wchar_t* name) = 0;
    // Copies the result into a new result directory named by `target` (a path or pattern),
    // leaving out files matching the line-separated masks of `excludes`.
    virtual corekit2::sptr_t<IResultDirectory> exportTo(const wchar_t* target,
                                                        const wchar_t* excludes) = 0;
    // Where and how the result was collected.
    virtual const wchar_t* getCreationHostName() const = 0;
    virtual const wchar_t* getCreationOs(bool full) const = 0;
    virtual SystemInfo::IsaExtensions getCreationIsa() = 0;
    virtual int getMpiRank() const = 0;
    virtual const wchar_t* getCollectorCommand() const = 0;
    virtual void setCollectorCommand(const wchar_t* command) = 0;
    virtual int64_t getCollectionTimeBegin() const = 0;
    virtual void setCollectionTimeBegin(int64_t time) = 0;
    virtual int64_t getCollectionTimeEnd() const = 0;
    virtual void setCollectionTimeEnd(int64_t time) = 0;
    virtual int64_t getFinalizationTimeBegin() const = 0;
    virtual void setFinalizationTimeBegin(int64_t time) = 0;
    virtual int64_t getFinalizationTimeEnd() const = 0;
    virtual void setFinalizationTimeEnd(int64_t time) = 0;
    virtual int getLogicalCPUCount() const = 0;
    virtual int getProcessorCoreCount() const = 0;
    virtual int getProcessorPackageCount() const = 0;
    virtual int64_t getCPUFrequency() const = 0;
    virtual int getCPUFamily() const = 0;
    virtual int getCPUModel() const = 0;
    virtual int getCPUStepping() const = 0;
    virtual SystemInfo::CPUType getCPUName() = 0;
    virtual std::wstring getCPUBrandName() = 0;
    virtual std::wstring getApplicationLog() = 0;
    virtual void setApplicationLog(const wchar_t* path) = 0;
    virtual std::wstring getCollectorLog() = 0;
    virtual void setCollectorLog(const wchar_t* path) = 0;
    virtual std::wstring getCommandLog() = 0;
    virtual void setCommandLog(const wchar_t* path) = 0;
    virtual corekit2::sptr_t<ISearchDirectories> getSearchDirectories() = 0;

    // Whether `path` leads to a result's marker file: a directory holding one, the marker itself,
    // or a result link file. Opens nothing; leaves OK or the lookup's error as last error.
    static bool probe(const wchar_t* path);

    // The result-directory view of `node` when it is one of this library's result directories,
    // else empty. The argument is released in every case.
    static corekit2::sptr_t<IResultDirectory> cast(corekit2::sptr_t<INode> node);

    // The first collector data directory name ("data.0", "data.1", ...) that nothing occupies in
    // `directory`: the name alone, not a path. Only looks; creates nothing. Empty when the
    // file system cannot be asked. Thread-safe; the result is the caller's.
    static std::wstring generateCollectorDataDirName(const std::wstring& directory);
};

}  // namespace talvo2
