// Undoable file changes. A job makes its change at once and sets the previous state aside
// under a hidden ".todelete." name; the thread then keeps every change (Commit) or restores
// every previous state, newest first (Rollback).
#ifndef LIBVUX_VUXJOB_H
#define LIBVUX_VUXJOB_H

#include <libvux/vuxapi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <libvux/vuxfile.h>

VUX_API_BEGIN

namespace vux_job {

// A change of the calling thread's. Made with new: the constructor puts it at the end of the
// thread's job list, which owns it from then on. A job still listed when its thread ends is
// deleted without commit or rollback (its backups stay on disk, with a warning line).
class Job {
public:
    Job();
    // Run while an exception propagates (a derived constructor threw): rolls back the jobs made
    // after this one, newest first, and takes this one off the list without undoing it.
    virtual ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    virtual void Commit() {}
    virtual void Rollback() {}

private:
    int exceptions_;
};

// Keeps every listed job's change, oldest first, deleting each. A job whose Commit throws is
// already off the list; the error propagates and the jobs after it stay listed.
void Commit();
// Undoes every listed job, newest first, deleting each; errors as for Commit.
void Rollback();

// A base for jobs of the library's users: nothing a hook throws leaves Commit or Rollback
// (it is logged).
class SafeJob : public Job {
public:
    void Commit() override;
    void Rollback() override;
    virtual void onCommit() {}
    virtual void onRollback() {}
};

// Moves `from` to `to`. What was at `to` is kept aside under `to` + ".todelete." + six
// characters; two directories are merged entry by entry. A missing `from` makes a job that
// changes nothing, neither now nor on rollback. Rollback restores both paths exactly as they
// were, whatever kind of entry now stands at either; Commit drops what was kept aside.
// Throws what vux_file::Move throws (nothing is left half-moved for a plain rename).
class MoveFile : public Job {
public:
    MoveFile(const std::string& from, const std::string& to);
    ~MoveFile() override;
    void Commit() override;
    void Rollback() override;

    struct VUX_INTERNAL Journal;

protected:
    std::string from_;
    std::string to_;
    // Empty when nothing stood at `to`.
    std::string backup_;
    // The newest path that a merge made new, "." for none: the backup tree keeps a link per
    // such path to the one before, so that an operator can tell new entries from old ones.
    std::string link_;
    bool rolling_back_;
    std::unique_ptr<Journal> journal_;

    // A job that moves nothing yet (for RemoveFile's family, which moves by itself).
    explicit MoveFile(const std::string& path);

private:
    void PrivateMove(const std::string& src, const std::string& dst, const std::string& bak);
    void MergeDirs(const std::string& src, const std::string& dst, const std::string& bak,
                   const vux_file::Info& moving, const vux_file::Info& old);
};

// Sets `path` aside under "." + name + ".todelete." + N in its directory (the first N free).
// Commit removes it; Rollback puts it back.
class RemoveFile : public MoveFile {
public:
    explicit RemoveFile(const std::string& path);
    void Commit() override;
    // Restores the old entry over whatever now stands at the path.
    void Rollback() override;

    static std::string HiddenName(const std::string& path);

protected:
    // For the jobs that make something new at `path`: `make` makes it at the hidden name it is
    // given, then the new entry takes the path's place in one step, the old one going to that name.
    RemoveFile(const std::string& path, const std::function<void(const std::string&)>& make);

    // Whether this job put a new entry at the path (which Rollback then removes).
    bool made_ = false;
    // Directories that making it made on the way, deepest first (Rollback removes them too).
    std::vector<std::string> parents_;

private:
    // The first free sibling "." + name + infix + N of the path.
    static std::string FreeSibling(const std::string& path, const char* infix);
    void PutInPlace(const std::string& fresh);
    // Takes the entry this job made out of the path; gives where it went ("" when nowhere).
    std::string DropMade();
};

// Writes `content` to a new file at `path` (attrs applied; mode 0600 without them).
class CreateFile : public RemoveFile {
public:
    CreateFile(const std::string& path, const std::string& content, const vux_file::Attrs* attrs = nullptr);
};

// Copies `from` (a tree too) to `to`; with `from` missing, only sets `to` aside.
class CopyFile : public RemoveFile {
public:
    CopyFile(const std::string& from, const std::string& to, const vux_file::Attrs* attrs = nullptr);
};

class CreateDir : public RemoveFile {
public:
    explicit CreateDir(const std::string& path, const vux_file::Attrs* attrs = nullptr);
};

class SymLink : public RemoveFile {
public:
    SymLink(const std::string& target, const std::string& path);
};

// The same jobs on the descriptor-relative layer: names are single components of open folders
// (a "/" fails with "name"), nothing is followed through a link, and Rollback leaves both
// names byte for byte as they were (contents, modes, owners, link targets, entries), whatever
// kind of entry a job put in the place of another.
namespace safe {

// Moves src_name of src to dst_name of dst (empty: src_name). What stood at the destination
// is kept in a temporary folder dst_name + ".todelete." + 8 hex digits + ".tmp" there; two
// directories are merged entry by entry. A missing source makes a job that changes nothing,
// neither now nor on rollback. A constructor that fails puts back what it had moved, then
// throws. Commit drops the kept folder; a job dropped at thread end leaves it on disk.
class MoveFile : public Job {
public:
    MoveFile(const vux_file::safe::Folder& src, const std::string& src_name, const vux_file::safe::Folder& dst,
             const std::string& dst_name);
    ~MoveFile() override;
    void Commit() override;
    void Rollback() override;

    struct VUX_INTERNAL Journal;

protected:
    vux_file::safe::Folder src_;
    std::string src_name_;
    vux_file::safe::Folder dst_;
    std::string dst_name_;
    // Empty when nothing stood at the destination.
    vux_file::safe::Folder backup_;
    // Stands for "absent before" in the backup: an entry that is a hard link to it was new.
    vux_file::safe::File marker_;
    long long marker_inode_ = -1;
    bool rolling_back_ = false;
    // Whether the source was there and went; only then has Rollback anything to undo.
    bool moved_ = false;
    std::unique_ptr<Journal> journal_;

    // A job on `name` of `folder` that moves nothing yet (for RemoveFile's family).
    MoveFile(const vux_file::safe::Folder& folder, const std::string& name);
};

// Sets name aside under RemoveFile::TmpName in its folder; Commit removes it there, Rollback
// puts it back in one step over whatever stands at the name by then.
class RemoveFile : public MoveFile {
public:
    RemoveFile(const vux_file::safe::Folder& folder, const std::string& name);
    void Commit() override;
    void Rollback() override;

    // "." + name + ".todelete." + 8 hex digits, free in `folder`.
    static std::string TmpName(const vux_file::safe::Folder& folder, const std::string& name);

protected:
    // For the jobs that make something new at the name: `make` makes it at the hidden name it
    // is given, then it takes the name's place in one step (an exchange), the old entry landing
    // under that hidden name. A failure removes what was made and leaves the name alone.
    RemoveFile(const vux_file::safe::Folder& folder, const std::string& name,
               const std::function<void(const std::string&)>& make);

    // Whether this job put a new entry at the name (which Rollback then removes).
    bool made_ = false;
};

// A file of `content` (mode of attrs, else 0666 before the umask).
class CreateFile : public RemoveFile {
public:
    CreateFile(const vux_file::safe::Folder& folder, const std::string& name, const std::string& content,
               const vux_file::Attrs& attrs = vux_file::Attrs());
};

class CreateDir : public RemoveFile {
public:
    CreateDir(const vux_file::safe::Folder& folder, const std::string& name,
              const vux_file::Attrs& attrs = vux_file::Attrs());
};

class SymLink : public RemoveFile {
public:
    SymLink(const vux_file::safe::Folder& folder, const std::string& name, const std::string& target,
            const vux_file::Attrs& attrs = vux_file::Attrs());
};

class HardLink : public RemoveFile {
public:
    // An empty name means the file's own. Fails with "badfile" when the file's name no longer
    // refers to it.
    HardLink(const vux_file::safe::File& file, const vux_file::safe::Folder& folder, const std::string& name);
};

// Copies a tree as Folder::Copy does; a missing source fails and changes nothing.
class CopyFile : public RemoveFile {
public:
    // An empty dst_name means src_name.
    CopyFile(const vux_file::safe::Folder& src, const std::string& src_name, const vux_file::safe::Folder& dst,
             const std::string& dst_name, const vux_file::Attrs& attrs = vux_file::Attrs());
};

}  // namespace safe

}  // namespace vux_job

VUX_API_END

#endif
