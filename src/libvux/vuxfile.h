// File-system access: paths, contents, trees, status, listings, locks and
// temporary entries.
#ifndef LIBVUX_VUXFILE_H
#define LIBVUX_VUXFILE_H

#include <libvux/vuxapi.h>

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include <libvux/vuxerr.h>
#include <libvux/vuxstream.h>

// The system's, outside the exported declarations.
struct stat;

VUX_API_BEGIN

namespace vux_file {

typedef ino_t InodeType;
typedef uid_t UidType;
typedef gid_t GidType;

// A file-system failure: type "file", marked as a report.
class Fail : public vux_err::Error {
public:
    explicit Fail(const std::string& object);
    Fail(const std::string& object, const std::string& value);
};

// Path strings (no file-system access).
std::string GoodPath(const std::string& path);
std::pair<std::string, std::string> SplitPath(const std::string& path);
std::string Name(const std::string& path);
std::string ConcatPath(const std::string& a, const std::string& b);
std::string ConcatPath(const std::string& a, const std::string& b, const std::string& c);
std::string ConcatNPath(int n, ...);

// Paths that consult the file system.
std::string GetCurrentDir();
std::string ReadLink(const std::string& path);
std::string RealPath(const std::string& path);
bool IsChild(const std::string& parent, const std::string& child);
std::string GetFullPath(const std::string& name);

class Attrs;

// Contents.
std::string Read(const std::string& path);
std::string ReadE(const std::string& path);
void Write(const std::string& path, const std::string& data);
void Append(const std::string& path, const std::string& data);
void Create(const std::string& path, const std::string& data, const Attrs* attrs = nullptr);
void Truncate(const std::string& path, long length);

// Trees. Walks never follow a link inside the tree, so its owner cannot lead them out.
bool Exists(const std::string& path);
// Where rename cannot, a copy that keeps FIFOs, sockets and devices, then removal of the
// source; a source that cannot be copied whole is left as it was. A directory cannot go
// inside itself.
void Move(const std::string& from, const std::string& to);
// FIFOs, sockets and devices are left out; a directory gets its mode after its entries.
void Copy(const std::string& from, const std::string& to, const Attrs* attrs = nullptr);
void CopyFile(const std::string& from, const std::string& to, const Attrs* attrs = nullptr);
void Remove(const std::string& path);
void RemoveFile(const std::string& path);
void MkDir(const std::string& path, const Attrs* attrs = nullptr);
void MkLink(const std::string& target, const std::string& link);
void MkHardLink(const std::string& target, const std::string& link);

// Mode, owner and group to apply; -1 (all ones) means "not set".
class Attrs {
public:
    static const unsigned int NotSet = static_cast<unsigned int>(-1);

    Attrs() : mode_(-1), owner_(NotSet), group_(NotSet) {}
    explicit Attrs(int mode) : mode_(Mask(mode)), owner_(NotSet), group_(NotSet) {}
    Attrs(int mode, unsigned owner) : mode_(Mask(mode)), owner_(owner), group_(NotSet) {}
    Attrs(int mode, unsigned owner, unsigned group) : mode_(Mask(mode)), owner_(owner), group_(group) {}

    int mode() const { return mode_; }
    unsigned int owner() const { return owner_; }
    unsigned int group() const { return group_; }
    bool has_mode() const { return mode_ != -1; }
    bool has_owner() const { return owner_ != NotSet; }
    bool has_group() const { return group_ != NotSet; }

    Attrs& set_mode(int mode) { mode_ = Mask(mode); return *this; }
    Attrs& set_owner(unsigned int owner) { owner_ = owner; return *this; }
    Attrs& set_group(unsigned int group) { group_ = group; return *this; }
    Attrs& drop_mode() { mode_ = -1; return *this; }
    Attrs& drop_owner() { owner_ = NotSet; return *this; }
    Attrs& drop_group() { group_ = NotSet; return *this; }
    // Takes every field that is set in other.
    Attrs& set(const Attrs& other);

    void Set(int fd) const;
    void Set(int dirfd, const std::string& name, bool recursive) const;
    void SetRecursive(int fd, const std::string& path, bool safe) const;
    void Set(const std::string& path, bool recursive = false) const;
    // For trees other users can write: links are refused, multiply linked files skipped.
    void SafeSet(const std::string& path, bool recursive = false) const;

private:
    static int Mask(int mode) { return mode == -1 ? -1 : (mode & 07777); }

    int mode_;
    unsigned int owner_;
    unsigned int group_;
};

// The status of one path. A default-constructed Info is a dummy; a missing file
// has a record of zeros.
class Info {
public:
    class InfoFail : public Fail {
    public:
        explicit InfoFail(const std::string& object) : Fail(object) {}
        InfoFail(const std::string& object, const std::string& value) : Fail(object, value) {}
    };

    Info();
    Info(const std::string& path, bool nofollow);
    // flags: 1 = do not follow a final symbolic link, 2 = a failing call gives a missing file.
    Info(const std::string& path, int flags);
    explicit Info(int fd);
    Info(int dirfd, const std::string& name);

    std::time_t Time() const;
    InodeType Inode() const;
    UidType Owner() const;
    GidType Group() const;
    std::int64_t Size() const;
    unsigned long HardLinkCount() const;
    dev_t Dev() const;
    mode_t Mode() const;
    bool IsDev() const;
    bool IsDir() const;
    bool IsFile() const;
    bool IsLink() const;
    bool IsExecutable() const;
    bool IsMissed() const;
    Attrs GetAttrs() const;

    // The raw record, or null for a dummy.
    const struct stat* native() const;

private:
    const struct stat& Need(const char* what) const;
    std::shared_ptr<struct stat> st_;
};

// A directory listing without "." and "..".
class Dir {
public:
    Dir();
    explicit Dir(const std::string& path);
    // flags: 2 = a missing directory gives an empty listing.
    Dir(const std::string& path, int flags);
    // Lists the directory open on fd; fd and its position are left alone.
    explicit Dir(int fd);

    bool Read();
    const std::string& name() const;
    std::string FullName() const;
    vux_file::Info Info(bool nofollow) const;
    vux_file::Info Info(int flags) const;
    bool HasPrefix(const std::string& s) const;
    bool HasExt(const std::string& s) const;

    struct VUX_INTERNAL Data;

private:
    Data& Need(const char* what) const;
    std::shared_ptr<Data> data_;
};

// An advisory lock (flock) on a lock file; copies share one lock.
class Lock {
public:
    class LockFail : public Fail {
    public:
        explicit LockFail(const std::string& object) : Fail(object) {}
        LockFail(const std::string& object, const std::string& value) : Fail(object, value) {}
    };

    Lock() {}
    // Locks at once, blocking.
    explicit Lock(const std::string& path, bool exclusive = true) { DoLock(path, exclusive); }
    ~Lock() { Release(); }

    void DoLock(const std::string& path, bool exclusive);
    bool TryLock(const std::string& path, bool exclusive);
    // Tries until `timeout` seconds have passed, every `interval` seconds (0: often).
    void DoLockWithTimeout(const std::string& path, bool exclusive, unsigned long timeout,
                           unsigned long interval);
    void Release();
    explicit operator bool() const { return static_cast<bool>(handle_); }
    ResHandle GetResHandle() const { return handle_; }

    void Write(const std::string& data);
    void Append(const std::string& data);
    std::string Read();

private:
    // 1 locked, 0 busy, -1 the file was replaced while waiting.
    int Attempt(const std::string& path, bool exclusive, bool wait);

    ResHandle handle_;
};

// A temporary file, removed when the object goes unless kept.
class Tmp {
public:
    explicit Tmp(const std::string& prefix);
    ~Tmp();
    Tmp(const Tmp&) = delete;
    Tmp& operator=(const Tmp&) = delete;

    const std::string& name() const { return name_; }
    // Leaves the file in place and gives its name.
    const std::string& Keep() { keep_ = true; return name_; }

private:
    std::string name_;
    bool keep_ = false;
};

// A temporary directory, removed with its content when the object goes unless kept.
class TmpDir {
public:
    explicit TmpDir(const std::string& prefix);
    ~TmpDir();
    TmpDir(const TmpDir&) = delete;
    TmpDir& operator=(const TmpDir&) = delete;

    const std::string& name() const { return name_; }
    const std::string& Keep() { keep_ = true; return name_; }

private:
    std::string name_;
    bool keep_ = false;
};


// Access relative to open directory descriptors, for trees that less trusted users can write:
// names are single components (a "/" fails with "name"), final components are never followed
// through symbolic links, creation is exclusive, and GetFolder never gives a folder outside
// the one it starts from. Every failure is a Fail with the object given at each call.
namespace safe {

class File;
class Dir;

// An open directory. Copies share the descriptor.
class Folder {
public:
    // Makes a folder temporary: it is removed with everything in it when the last handle goes,
    // unless its name no longer refers to it (it was moved into place or replaced).
    struct VUX_INTERNAL TmpData;

    Folder() {}
    // The start of a walk: links in `path` are followed. Fails with "open".
    explicit Folder(const std::string& path);

    explicit operator bool() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.fd(); }
    // The path it was reached by, for messages and child names.
    const std::string& name() const { return name_; }

    // Fails with "open" ("..").
    Folder GetParent() const;
    // A folder below this one: a single name is opened without following a link; a path (a
    // leading "/" too is taken from here), or a name that is a link, is walked component by
    // component and accepted only when the result lies inside this folder ("notchild" otherwise,
    // and for ".."). A missing folder gives an empty Folder; a component that is not a directory
    // fails with "open".
    Folder GetFolder(const std::string& path) const;
    // An empty File when the name is missing; a link or anything but a regular file fails with "open".
    File GetFile(const std::string& name) const;
    // Opened or created (0666 before the umask), then flock(operation); an empty File when a
    // non-blocking lock is busy. Fails with "open" or "lock".
    File GetFileLocked(const std::string& name, int operation) const;
    // A new file (mode of attrs, else 0666); an existing name fails with "create".
    File MkFile(const std::string& name, const Attrs& attrs = Attrs()) const;
    // A new temporary file named prefix + "." + 8 hex digits + ".tmp". Fails with "mktemp".
    File MkTmpFile(const std::string& prefix, const Attrs& attrs = Attrs()) const;
    // A new folder (mode of attrs, else 0777); an existing name, or one that stops being the
    // new folder before attrs are applied, fails with "create".
    Folder MkFolder(const std::string& name, const Attrs& attrs = Attrs()) const;
    // A new temporary folder, named as by MkTmpFile. Fails with "mktemp".
    Folder MkTmpFolder(const std::string& prefix, const Attrs& attrs = Attrs()) const;
    // An existing link with the same target counts as made. Fails with "create".
    void MkSymLink(const std::string& name, const std::string& target, const Attrs& attrs = Attrs()) const;
    // Fails with "readlink".
    std::string ReadLink(const std::string& name) const;
    // A missing name is not an error; a folder needs `recursive` unless it is empty. Fails with "remove".
    void Remove(const std::string& name, bool recursive = false) const;
    // rename, else (a non-empty target, another file system) a copy and a removal; a source
    // that cannot be copied whole stays. Fails with "move".
    void Move(const std::string& name, const Folder& to, const std::string& to_name) const;
    // Copies the entry and everything below it, links as links, FIFOs, sockets and devices as
    // new nodes, each with its own mode and owner overlaid by attrs. An existing file or link
    // at the target is replaced, an existing directory filled. A missing source fails with
    // "open"; then "read", "write", or "create" for an entry that cannot be made.
    void Copy(const std::string& name, const Folder& to, const std::string& to_name,
              const Attrs& attrs = Attrs()) const;
    // The same copy the other way: the entry `name` of `from` into this folder as `to_name`.
    void CopyIn(const Folder& from, const std::string& name, const std::string& to_name,
                const Attrs& attrs = Attrs()) const;
    // Applies attrs to the folder and, when recursive, to everything below it; links and
    // files with more than one name are left alone (another name may lie outside).
    void Set(const Attrs& attrs, bool recursive = false) const;
    // The absolute path, found by walking "..". Fails with "real_name".
    std::string RealName() const;
    // Fails with "opendir".
    Dir GetDir() const;
    vux_file::Info Info() const;
    // Of the entry itself, a link not followed.
    vux_file::Info Info(const std::string& name) const;
    // Makes a temporary folder permanent, for every copy of the handle.
    void Release();

private:
    friend class File;
    Folder(ResHandle fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}

    ResHandle fd_;
    std::string name_;
    std::shared_ptr<TmpData> tmp_;
};

// An open regular file and the folder it was opened in. Copies share the descriptors.
class File {
public:
    // Makes a file temporary, as for a Folder.
    struct VUX_INTERNAL TmpData;

    File() {}

    explicit operator bool() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.fd(); }
    const std::string& name() const { return name_; }
    // The descriptor of the folder it was opened in.
    int folder() const { return folder_.fd(); }

    // The whole content from the start. Fails with "read".
    std::string Read() const;
    // Replaces the content. Fails with "write"; an empty File raises "Bad file handle".
    void Write(const std::string& data) const;
    // Writes at the end. Fails with "write"; an empty File raises "Bad file handle".
    void Append(const std::string& data) const;
    // Fails with "truncate"; an empty File raises "Bad file handle".
    void Truncate(long size) const;
    // flock on the descriptor. Fails with "lock".
    void Lock(int operation) const;
    void Unlock() const;
    void Set(const Attrs& attrs) const;
    vux_file::Info Info() const;
    // Renames the file into `to` (an empty name keeps its own), copying across file systems.
    // The result is not temporary. Fails with "badfile" when its name no longer refers to it
    // (something else would be moved), else with "move".
    File Move(const Folder& to, const std::string& name = std::string());
    void Copy(const Folder& to, const std::string& name, const Attrs& attrs = Attrs()) const;
    // A hard link in `to`; fails with "badfile" when the file's name no longer refers to it,
    // and with "create".
    void MkHardLink(const Folder& to, const std::string& name) const;
    // Makes a temporary file permanent, for every copy of the handle.
    void Release();

private:
    friend class Folder;
    File(ResHandle fd, ResHandle folder, std::string name)
        : fd_(std::move(fd)), folder_(std::move(folder)), name_(std::move(name)) {}

    ResHandle fd_;
    ResHandle folder_;
    std::string name_;
    std::shared_ptr<TmpData> tmp_;
};

// A listing of a Folder without "." and "..".
class Dir {
public:
    struct VUX_INTERNAL Data;

    Dir() {}
    // Fails with "opendir".
    explicit Dir(const Folder& folder);

    bool Read();
    const std::string& name() const;
    // Of the current entry, a link not followed.
    vux_file::Info Info() const;
    bool HasPrefix(const std::string& s) const;
    bool HasExt(const std::string& s) const;
    const Folder* operator->() const { return &folder(); }
    const Folder& folder() const;

private:
    std::shared_ptr<Data> data_;
};

// The same calls with a relative path: its directory part is resolved with GetFolder first.
// A missing directory gives what a missing name gives (an empty handle, a missing Info);
// the calls that create fail as they would on the name.
Folder GetFolder(const Folder& folder, const std::string& path);
File GetFile(const Folder& folder, const std::string& path);
File GetFileLocked(const Folder& folder, const std::string& path, int operation);
File MkFile(const Folder& folder, const std::string& path, const Attrs& attrs = Attrs());
File MkTmpFile(const Folder& folder, const std::string& path, const Attrs& attrs = Attrs());
vux_file::Info Info(const Folder& folder, const std::string& path);

}  // namespace safe

}  // namespace vux_file

VUX_API_END

#endif
