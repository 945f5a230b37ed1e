#pragma once

// The hidden entries the library makes on its way to a change that must appear all at once: a
// new node's directory is filled under a staging name and renamed into place, a node's directory
// is renamed to a removal name before its files are deleted, and a file is written under a
// temporary name before it replaces its target. Whoever makes one of them holds its lock (flock)
// until it is gone or renamed, so a sweeper that can take the lock knows its maker died and the
// entry is garbage. Names:
//
//   .talvo-stage-<16 hex digits>   a directory being made
//   .talvo-trash-<16 hex digits>   a directory being removed
//   .<name>.talvo-tmp[<digit>]     a file being written in place of <name> (its first 200 bytes)

#include <memory>
#include <string>

#include "platform/file_system.hpp"
#include "talvo2/error.hpp"

namespace talvo2::platform {

enum class HiddenKind { None, Staging, Removal, Temporary };

// Which hidden entry, if any, `name` is by its name alone.
HiddenKind hiddenKindOf(const std::string& name);

// A name of `kind` (Staging or Removal) no other maker picks at the same moment.
std::string hiddenDirectoryName(HiddenKind kind);

// The `slot`-th temporary name for the file `leaf` (slot 0 has no digit).
std::string temporaryName(const std::string& leaf, unsigned slot);

// How many temporary names a file has: writers that find all of them held by live writers give
// up with the lock's error.
constexpr unsigned kTemporarySlots = 8;

// Claims a temporary file for `leaf` in `at` and opens it for writing, locked: the first slot
// that is free, or whose file was left by a writer that died (that file is deleted and made
// anew). A slot held by a live writer, or taken by something that is not a plain file of ours
// (a link, a directory, a FIFO), is passed over and left alone. The caller renames or removes
// the file before closing it.
Status claimTemporaryFile(Directory& at, const std::string& leaf, std::string& name,
                          std::unique_ptr<File>& file);

// A new directory under a hidden staging name in a parent, held while it is filled, then given
// its final name in one rename. Discarded (deleted) when destroyed unpublished. Not thread-safe.
class StagedDirectory {
public:
    StagedDirectory() = default;
    ~StagedDirectory();
    StagedDirectory(const StagedDirectory&) = delete;
    StagedDirectory& operator=(const StagedDirectory&) = delete;

    // Makes the staging directory in `parent`, which must stay open while this lives.
    Status make(Directory& parent);
    // The staging directory, open and listable, to fill.
    Directory& directory() { return *m_directory; }
    const std::string& name() const { return m_name; }
    // Renames the staging directory to `finalName`, never replacing anything there: exists()
    // when the name is taken, unsupported() where the file system cannot rename without
    // replacing. After success the directory is no longer this object's.
    Status publish(const std::string& finalName);
    // Deletes the staging directory and its contents now (nothing once published).
    void discard();

private:
    Directory* m_parent = nullptr;
    std::unique_ptr<Directory> m_directory;
    std::string m_name;
};

// Takes the entry `name` of `parent` (a directory) out of sight in one rename to a removal name,
// then deletes it. When the rename fails nothing is deleted and its failure is the answer; when
// the deletion fails the rest stays under the removal name for a sweeper. `hidden` (when given)
// receives the removal name once the rename is done.
error_t removeOutOfSight(Directory& parent, const std::string& name, std::string* hidden = nullptr);

// Whether the hidden entry `name` of `parent` was left by a maker that died: its lock can be
// taken. When it was, `held` keeps the lock for the caller's sweep. A live maker's entry, or one
// that is not of the kind its name says, is not abandoned.
Status claimAbandoned(Directory& parent, const std::string& name, bool& abandoned,
                      std::unique_ptr<File>& heldFile, std::unique_ptr<Directory>& heldDirectory);

}  // namespace talvo2::platform
