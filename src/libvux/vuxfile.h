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

}  // namespace vux_file

VUX_API_END

#endif
