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
// apply: one thread at a time per node, returned handles are the caller's references, and an
// operation that says nothing of the last error leaves it as it was. The slot order of the
// operations is the binary interface.
class TALVO2_API IResultDirectory : public virtual INode {
public:
    IResultDirectory();
    IResultDirectory(const IResultDirectory&);
    IResultDirectory& operator=(const IResultDirectory&);
    ~IResultDirectory() override;

    // Whether collection had finished when the node was opened (".norun" was there then), or as
    // setFinalized last set it; a ".norun" another process makes or removes later is not seen
    // until the node is opened afresh. setFinalized creates or removes ".norun" and returns true
    // with last error OK, touching nothing when the state is already the one asked for; false
    // with the mapped reason when the file cannot be made or removed (the state is recorded
    // either way).
    virtual bool isFinalized() = 0;
    virtual bool setFinalized(bool finalized) = 0;
    // Whether the result was valid when opened (no ".bad" then) and has not been removed
    // (INode::remove, INodeGroup::removeNodes) since.
    virtual bool isValid() = 0;
    // Marks the result bad: creates ".bad" in its directory, then moves the result aside to its
    // path plus "-bad" (r003 to r003-bad, the marker renamed to match) so that a new run can take
    // its name. isValid() keeps its answer. The last error: OK, the mapped reason when ".bad"
    // cannot be made (nothing moves), or what the move met, as INode::move answers it
    // (AlreadyExists when the "-bad" name is taken).
    virtual void setInvalid() = 0;
    // Makes the first collector data directory whose name nothing occupies; its full path, valid
    // until the next call on this node or the node's end, or null when a directory cannot be made.
    // The last error stays as it was either way.
    virtual const wchar_t* createCollectorDataDir() = 0;
    // A new iterator over the full paths of the collector data directories ("data." names that
    // are directories, also through a symbolic link), in code-unit order; none when the directory
    // cannot be read. The last error stays as it was.
    virtual corekit2::sptr_t<IPathIterator> getCollectorDataDirectories() = 0;
    // A new iterator over the regular files (not symbolic links) directly in the collector data
    // directories whose names match `mask` (null or "": all; "*" and "?" are wildcards, ".ext"
    // alone matches that extension), in code-unit order. The last error stays as it was.
    virtual corekit2::sptr_t<IPathIterator> getResultFiles(const wchar_t* mask) = 0;
    // A subdirectory of the result, made (with missing parents) when missing: its full path, valid
    // until the next getSubdir call on this node or the node's end, with OK. Null with OK when it
    // cannot be made or a file stands in its place. `name` may hold several elements; null, "",
    // unencodable or absolute names, names with a ".." element and paths too long answer null with
    // ParameterError. An unknown `kind` answers null and leaves the last error as it was.
    virtual const wchar_t* getSubdir(standard_dir_t kind) = 0;
    virtual const wchar_t* getSubdir(const wchar_t* name) = 0;
    // Copies the result into a new result directory named by `target` (a path or pattern from the
    // current directory; variables come from this result's bag), leaving out symbolic links, files
    // with the result marker extension, and names matching the line-separated masks of `excludes`
    // (a matching directory whole); the new marker, named after the new directory, holds this
    // result's bag as it is in memory. A new reference with the opening's outcome as last error.
    // Empty with EmptyPattern for a null or empty target, the target's errors (pattern errors,
    // AlreadyExists, ...), ParameterError for a target inside this result (its new directory is
    // taken back), OperationFailed when the marker cannot be written, and OK when the copy fails
    // (what was copied stays) or is canceled (it is removed). The calling thread's ambient
    // progress (notify2), when there is one, hears of every file and may cancel.
    virtual corekit2::sptr_t<IResultDirectory> exportTo(const wchar_t* target,
                                                        const wchar_t* excludes) = 0;
    // Where, on what and when the result was collected, kept in the "talvo" section of the
    // property bag. Getters never fail: a missing or mistyped value reads as its default. Text
    // getters that return a pointer point into the bag (or to a library constant) and stay valid
    // until the value is replaced or the node destroyed. Setters change the bag in memory only and
    // mark the node modified; save() writes it. None of these touches the last error. Like every
    // node operation, one thread at a time per node.

    // The fully qualified host name; "unknown" when not recorded.
    virtual const wchar_t* getCreationHostName() const = 0;
    // The operating system; "unknown" when not recorded. With `display`, "windows" and "linux"
    // read as "Windows*" and "Linux*"; anything else is returned as stored.
    virtual const wchar_t* getCreationOs(bool display) const = 0;
    // The highest instruction-set extension of the collecting processor; ISA_NONE if unknown.
    virtual SystemInfo::IsaExtensions getCreationIsa() const = 0;
    // The MPI rank of the collecting process; -1 when it had none.
    virtual int getMpiRank() const = 0;
    // The collector's command line; null when not recorded. A null command is stored as empty.
    virtual const wchar_t* getCollectorCommand() const = 0;
    virtual void setCollectorCommand(const wchar_t* command) = 0;
    // Collection and finalization times in seconds since 1970 (UTC); 0 when not recorded. A
    // setter given 1 stores the current time.
    virtual long long getCollectionTimeBegin() const = 0;
    virtual void setCollectionTimeBegin(long long time) = 0;
    virtual long long getCollectionTimeEnd() const = 0;
    virtual void setCollectionTimeEnd(long long time) = 0;
    virtual long long getFinalizationTimeBegin() const = 0;
    virtual void setFinalizationTimeBegin(long long time) = 0;
    virtual long long getFinalizationTimeEnd() const = 0;
    virtual void setFinalizationTimeEnd(long long time) = 0;
    // The collecting machine's processors; 0 when not recorded.
    virtual int getLogicalCPUCount() const = 0;
    virtual int getProcessorCoreCount() const = 0;
    virtual int getProcessorPackageCount() const = 0;
    // In Hz.
    virtual long long getCPUFrequency() const = 0;
    virtual int getCPUFamily() const = 0;
    virtual int getCPUModel() const = 0;
    virtual int getCPUStepping() const = 0;
    // The processor generation of getCPUFamily() and getCPUModel() (as overridden).
    virtual SystemInfo::CPUType getCPUName() const = 0;
    // A copy of the brand text; empty when not recorded.
    virtual std::wstring getCPUBrandName() const = 0;
    // The log files' full paths: the stored name (by default "application.log",
    // "collector.log", "command.log") appended to the result's directory. A null name is stored
    // as empty.
    virtual std::wstring getApplicationLog() const = 0;
    virtual void setApplicationLog(const wchar_t* path) = 0;
    virtual std::wstring getCollectorLog() const = 0;
    virtual void setCollectorLog(const wchar_t* path) = 0;
    virtual std::wstring getCommandLog() const = 0;
    virtual void setCommandLog(const wchar_t* path) = 0;
    // A new view of the result's search directories on each call (ISearchDirectories::create of
    // the result's directory); the caller owns it.
    virtual corekit2::sptr_t<ISearchDirectories> getSearchDirectories() = 0;

    // Whether `path` leads to a result's marker file: a directory holding one, the marker itself,
    // or a result link file. Opens nothing; leaves OK or the lookup's error as last error (false
    // with InvalidPath for null or an unencodable path).
    static bool probe(const wchar_t* path);

    // The result-directory view of `node` when it is one of this library's result directories (a
    // new reference), else empty. The argument is released in every case; the last error stays.
    static corekit2::sptr_t<IResultDirectory> cast(corekit2::sptr_t<INode> node);

    // The first collector data directory name ("data.0", "data.1", ...) that nothing occupies in
    // `directory` (a dangling symbolic link occupies its name): the name alone, not a path. Only
    // looks; creates nothing. A name the file system cannot answer for counts as free, so the
    // answer is empty only when memory runs out (OperationFailed); otherwise the last error stays.
    // Thread-safe; the result is the caller's.
    static std::wstring generateCollectorDataDirName(const std::wstring& directory);
};

}  // namespace talvo2
