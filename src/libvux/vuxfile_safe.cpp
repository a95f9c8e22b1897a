// Descriptor-relative file access for trees that less trusted users can write, and the
// undoable jobs built on it. Everything is reached from an open directory descriptor one
// name at a time, so a directory swapped for a link between a check and its use cannot lead
// an operation out of the tree.
#include <libvux/vuxfile.h>
#include <libvux/vuxjob.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>

#include "private/vuxsys.h"

namespace {

VUX_LOG_MODULE("libvux")

using vux_file::Attrs;
using vux_file::Fail;
using vux_file::safe::File;
using vux_file::safe::Folder;
using vux_sys::RetryAfterSignal;

// How often an entry that changed under an operation is looked at again before it gives up.
const int kRetries = 64;

const std::string& IsSimpleFileName(const std::string& name) {
    if (name.find('/') != std::string::npos) throw Fail("name", name);
    return name;
}

std::string RandomHex() {
    return str::hex::Encode(str::Random(4));
}

bool SameNode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in the directory dirfd still is the node open on fd.
bool NameIs(int dirfd, const std::string& name, int fd) {
    struct stat held, named;
    return ::fstat(fd, &held) == 0 && ::fstatat(dirfd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameNode(held, named);
}

int OpenAt(int dirfd, const std::string& name, int flags, mode_t mode = 0) {
    return RetryAfterSignal([&] { return ::openat(dirfd, name.c_str(), flags | O_CLOEXEC, mode); });
}

// The directory itself: a link in its place fails with ELOOP.
int OpenDirAt(int dirfd, const std::string& name) {
    return OpenAt(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

// Keeps fd only when it is a regular file; opened non-blocking so that a FIFO or a device in
// the file's place cannot hold the caller up, which a regular file does not need.
ResHandle Regular(int fd) {
    ResHandle h(fd);
    struct stat st;
    if (!h || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ResHandle();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return h;
}

int CreateAt(int dirfd, const std::string& name, const Attrs& attrs) {
    const mode_t mode = attrs.has_mode() ? static_cast<mode_t>(attrs.mode()) : 0666;
    return OpenAt(dirfd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, mode);
}

// Applies attrs to an entry just made; on failure the entry goes again, unless something
// else has taken its name meanwhile.
void SetNew(const Attrs& attrs, int dirfd, const std::string& name, int fd, bool dir) {
    try {
        attrs.Set(fd);
    } catch (...) {
        if (NameIs(dirfd, name, fd)) ::unlinkat(dirfd, name.c_str(), dir ? AT_REMOVEDIR : 0);
        throw;
    }
}

// Tries prefix + "." + 8 hex digits + ".tmp" until `make` takes a free one (it gives false
// with errno EEXIST for a name in use).
template <class Make>
std::string MakeUnique(const std::string& prefix, Make make) {
    for (int attempt = 0; attempt < kRetries; ++attempt) {
        std::string name = prefix + "." + RandomHex() + ".tmp";
        if (make(name)) return name;
        if (errno != EEXIST) break;
    }
    throw Fail("mktemp", prefix);
}

std::vector<std::string> Entries(int fd) {
    std::vector<std::string> names;
    try {
        vux_file::Dir dir(fd);
        while (dir.Read()) names.push_back(dir.name());
    } catch (const Fail&) {
        throw Fail("opendir");
    }
    return names;
}

// False with errno set when the entry is not a link that can be read.
bool ReadLinkAt(int dirfd, const std::string& name, std::string& target) {
    for (std::size_t size = 256;; size *= 2) {
        target.resize(size);
        const ssize_t n = ::readlinkat(dirfd, name.c_str(), target.data(), size);
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < size) {
            target.resize(static_cast<std::size_t>(n));
            return true;
        }
    }
}

void RemoveAt(int dirfd, const std::string& name, bool recursive) {
    for (int attempt = 0; attempt < kRetries; ++attempt) {
        if (::unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT) return;
        if (errno != EISDIR) throw Fail("remove", name);
        if (recursive) {
            // Emptied through its own descriptor: a link put in its place is never entered.
            ResHandle sub(OpenDirAt(dirfd, name));
            if (!sub) {
                if (errno == ENOENT) return;
                if (errno == ELOOP || errno == ENOTDIR) continue;
                throw Fail("remove", name);
            }
            for (const std::string& entry : Entries(sub.fd())) RemoveAt(sub.fd(), entry, true);
        }
        if (::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return;
        // Replaced by a file, or filled again while it was emptied: look again.
        if (errno == ENOTDIR || (recursive && (errno == ENOTEMPTY || errno == EEXIST))) continue;
        throw Fail("remove", name);
    }
    throw Fail("remove", name);
}

// The name under which dirfd lists the node st, through fstatat so that a mount point
// matches the root mounted on it.
std::string NameIn(int dirfd, const struct stat& st) {
    for (const std::string& name : Entries(dirfd)) {
        struct stat entry;
        if (::fstatat(dirfd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && SameNode(entry, st)) return name;
    }
    throw Fail("real_name");
}

ResHandle ParentOf(int fd) {
    return ResHandle(OpenAt(fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
}

std::string RealNameOf(int fd) {
    try {
        std::string path;
        ResHandle here(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        for (;;) {
            ResHandle up = ParentOf(here.fd());
            struct stat self, parent;
            if (!up || ::fstat(here.fd(), &self) != 0 || ::fstat(up.fd(), &parent) != 0) throw Fail("real_name");
            if (SameNode(self, parent)) return path.empty() ? "/" : path;
            path.insert(0, NameIn(up.fd(), self)).insert(0, 1, '/');
            here = up;
        }
    } catch (const Fail&) {
        throw Fail("real_name");
    }
}

// Whether the directory open on fd is `base` or lies below it, by the inodes met walking up.
bool Inside(int fd, int base) {
    struct stat top;
    if (::fstat(base, &top) != 0) return false;
    ResHandle here(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    for (;;) {
        struct stat self, parent;
        if (!here || ::fstat(here.fd(), &self) != 0) return false;
        if (SameNode(self, top)) return true;
        ResHandle up = ParentOf(here.fd());
        if (!up || ::fstat(up.fd(), &parent) != 0 || SameNode(parent, self)) return false;
        here = up;
    }
}

// Follows every component of path from fd, links included; empty when one is missing.
ResHandle Walk(int fd, const std::string& path) {
    ResHandle here(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    for (std::string::size_type start = 0; start <= path.size();) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        ResHandle next(OpenAt(here.fd(), part, O_RDONLY | O_DIRECTORY));
        if (!next) {
            if (errno == ENOTDIR) throw Fail("open", path);
            return ResHandle();
        }
        here = next;
    }
    return here;
}

// Writes what `in` holds from its start into a new file `name` of ddir (a file or link there
// is replaced), with the source's mode and owner overlaid by attrs.
void CopyContent(int in, const std::string& from, int ddir, const std::string& name, const Attrs& attrs) {
    struct stat st;
    if (::fstat(in, &st) != 0) throw Fail("read", from);
    ::unlinkat(ddir, name.c_str(), 0);
    ResHandle out(OpenAt(ddir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!out) throw Fail("create", name);
    try {
        std::vector<char> buf(65536);
        for (off_t at = 0;;) {
            const ssize_t n = RetryAfterSignal([&] { return ::pread(in, buf.data(), buf.size(), at); });
            if (n < 0) throw Fail("read", from);
            if (n == 0) break;
            if (!vux_sys::WriteAll(out.fd(), buf.data(), static_cast<std::size_t>(n))) throw Fail("write", name);
            at += n;
        }
        Attrs(static_cast<int>(st.st_mode & 07777), st.st_uid, st.st_gid).set(attrs).Set(out.fd());
    } catch (...) {
        if (NameIs(ddir, name, out.fd())) ::unlinkat(ddir, name.c_str(), 0);
        throw;
    }
}

// One copy of a tree. What was opened is checked rather than what was seen before, so an
// entry swapped meanwhile is copied as what it now is and nothing outside is read.
class TreeCopy {
public:
    explicit TreeCopy(const Attrs& attrs) : attrs_(attrs) {}

    void Entry(int sdir, const std::string& sname, int ddir, const std::string& dname) {
        for (int attempt = 0; attempt < kRetries; ++attempt) {
            struct stat st;
            if (::fstatat(sdir, sname.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) throw Fail("open", sname);
            if (S_ISLNK(st.st_mode)) {
                std::string target;
                if (!ReadLinkAt(sdir, sname, target)) {
                    if (errno == EINVAL) continue;  // no longer a link
                    throw Fail("read", sname);
                }
                Link(target, st, ddir, dname);
                return;
            }
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
                Node(st, ddir, dname);
                return;
            }
            ResHandle in(OpenAt(sdir, sname, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
            if (!in) {
                if (errno == ELOOP || errno == ENXIO) continue;  // now a link or a socket
                throw Fail("open", sname);
            }
            if (::fstat(in.fd(), &st) != 0) throw Fail("read", sname);
            if (S_ISREG(st.st_mode)) {
                CopyContent(in.fd(), sname, ddir, dname, attrs_);
                return;
            }
            if (S_ISDIR(st.st_mode)) {
                Directory(in.fd(), st, ddir, dname);
                return;
            }
        }
        throw Fail("open", sname);
    }

private:
    Attrs Own(const struct stat& st) const {
        return Attrs(static_cast<int>(st.st_mode & 07777), st.st_uid, st.st_gid).set(attrs_);
    }

    void Link(const std::string& target, const struct stat& st, int ddir, const std::string& dname) {
        ::unlinkat(ddir, dname.c_str(), 0);
        if (::symlinkat(target.c_str(), ddir, dname.c_str()) != 0) throw Fail("create", dname);
        Attrs(-1, Own(st).owner(), Own(st).group()).Set(ddir, dname, false);
    }

    // Made as a new node, never opened: opening a device or a FIFO may act on it.
    void Node(const struct stat& st, int ddir, const std::string& dname) {
        const Attrs own = Own(st);
        ::unlinkat(ddir, dname.c_str(), 0);
        if (::mknodat(ddir, dname.c_str(), (st.st_mode & S_IFMT) | 0600, st.st_rdev) != 0 ||
            (::geteuid() == 0 &&
             ::fchownat(ddir, dname.c_str(), own.owner(), own.group(), AT_SYMLINK_NOFOLLOW) != 0) ||
            ::fchmodat(ddir, dname.c_str(), static_cast<mode_t>(own.mode()), AT_SYMLINK_NOFOLLOW) != 0)
            throw Fail("create", dname);
    }

    // A directory gets its mode only once its entries are in: a read-only one could not be
    // filled otherwise. An existing one is filled and keeps its own.
    void Directory(int in, const struct stat& st, int ddir, const std::string& dname) {
        if (made_.count(std::make_pair(st.st_dev, st.st_ino))) return;  // our copy inside the source
        const bool created = ::mkdirat(ddir, dname.c_str(), 0700) == 0;
        if (!created && errno != EEXIST) throw Fail("create", dname);
        ResHandle out(OpenDirAt(ddir, dname));
        struct stat mine;
        if (!out || ::fstat(out.fd(), &mine) != 0) throw Fail("create", dname);
        made_.insert(std::make_pair(mine.st_dev, mine.st_ino));
        for (const std::string& name : Entries(in)) Entry(in, name, out.fd(), name);
        if (created) Own(st).Set(out.fd());
    }

    Attrs attrs_;
    std::set<std::pair<dev_t, ino_t>> made_;
};

// A move by copy and removal; a target this made is taken back when the copy fails, and the
// source stays.
void MoveByCopy(const Folder& from, const std::string& name, const Folder& to, const std::string& to_name) {
    const bool existed = !to.Info(to_name).IsMissed();
    try {
        from.Copy(name, to, to_name, Attrs(-1));
    } catch (...) {
        if (!existed) {
            try {
                vux_thread::NoFail nofail;
                to.Remove(to_name, true);
            } catch (...) {
            }
        }
        throw;
    }
    from.Remove(name, true);
}

}  // namespace

namespace vux_file {
namespace safe {

// ---- temporaries ----

namespace {

// Where a temporary entry is, held by every handle on it.
struct TmpEntry {
    TmpEntry(ResHandle p, std::string n, ResHandle s) : parent(std::move(p)), name(std::move(n)), self(std::move(s)) {}

    // Not kept, and its name still is it: a temporary moved into place or replaced stays.
    bool Expired() const { return !keep && NameIs(parent.fd(), name, self.fd()); }

    ResHandle parent;
    std::string name;
    ResHandle self;
    bool keep = false;
};

}  // namespace

struct Folder::TmpData : TmpEntry {
    using TmpEntry::TmpEntry;

    // Emptied through its own descriptor, then removed by name only while the name still is it.
    ~TmpData() {
        if (!Expired()) return;
        try {
            vux_thread::NoFail nofail;
            for (const std::string& entry : Entries(self.fd())) RemoveAt(self.fd(), entry, true);
            if (Expired()) ::unlinkat(parent.fd(), name.c_str(), AT_REMOVEDIR);
        } catch (const std::exception& e) {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Temporary folder '%s' not removed: %s", name.c_str(),
                    e.what());
        } catch (...) {
        }
    }
};

struct File::TmpData : TmpEntry {
    using TmpEntry::TmpEntry;

    ~TmpData() {
        if (Expired()) ::unlinkat(parent.fd(), name.c_str(), 0);
    }
};

// ---- Folder ----

Folder::Folder(const std::string& path) : name_(path) {
    fd_ = RetryAfterSignal([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (!fd_) throw Fail("open", path);
}

Folder Folder::GetParent() const {
    ResHandle up = ParentOf(fd());
    if (!up) throw Fail("open", "..");
    std::string dir = SplitPath(name_).first;
    if (dir.empty() && !name_.empty() && name_[0] == '/') dir = "/";
    return Folder(up, dir);
}

Folder Folder::GetFolder(const std::string& path) const {
    const std::string name = ConcatPath(name_, path);
    if (path.find('/') == std::string::npos) {
        if (path == "..") throw Fail("notchild", "..");
        ResHandle sub(OpenDirAt(fd(), path));
        if (sub || (errno != ENOTDIR && errno != ELOOP)) return Folder(sub, name);
    }
    ResHandle found = Walk(fd(), path);
    if (!found) return Folder(ResHandle(), name);
    if (!Inside(found.fd(), fd())) throw Fail("notchild", path);
    return Folder(found, name);
}

File Folder::GetFile(const std::string& name) const {
    const int fd = OpenAt(this->fd(), IsSimpleFileName(name), O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) return File();
    ResHandle file = Regular(fd);
    if (!file) throw Fail("open", name);
    return File(file, fd_, name);
}

File Folder::GetFileLocked(const std::string& name, int operation) const {
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    ResHandle file = Regular(OpenAt(fd(), IsSimpleFileName(name), flags, 0666));
    if (!file) throw Fail("open", name);
    if (RetryAfterSignal([&] { return ::flock(file.fd(), operation); }) != 0) {
        if (errno == EWOULDBLOCK) return File();
        throw Fail("lock", name);
    }
    return File(file, fd_, name);
}

File Folder::MkFile(const std::string& name, const Attrs& attrs) const {
    ResHandle file(CreateAt(fd(), IsSimpleFileName(name), attrs));
    if (!file) throw Fail("create", name);
    SetNew(attrs, fd(), name, file.fd(), false);
    return File(file, fd_, name);
}

File Folder::MkTmpFile(const std::string& prefix, const Attrs& attrs) const {
    ResHandle made;
    const std::string name = MakeUnique(IsSimpleFileName(prefix), [&](const std::string& candidate) {
        made = CreateAt(fd(), candidate, attrs);
        return static_cast<bool>(made);
    });
    SetNew(attrs, fd(), name, made.fd(), false);
    File file(made, fd_, name);
    file.tmp_ = std::make_shared<File::TmpData>(fd_, name, made);
    return file;
}

Folder Folder::MkFolder(const std::string& name, const Attrs& attrs) const {
    const mode_t mode = attrs.has_mode() ? static_cast<mode_t>(attrs.mode()) : 0777;
    if (::mkdirat(fd(), IsSimpleFileName(name).c_str(), mode) != 0) throw Fail("create", name);
    ResHandle sub(OpenDirAt(fd(), name));
    if (!sub) throw Fail("create", name);
    SetNew(attrs, fd(), name, sub.fd(), true);
    return Folder(sub, ConcatPath(name_, name));
}

Folder Folder::MkTmpFolder(const std::string& prefix, const Attrs& attrs) const {
    const mode_t mode = attrs.has_mode() ? static_cast<mode_t>(attrs.mode()) : 0777;
    const std::string name = MakeUnique(IsSimpleFileName(prefix), [&](const std::string& candidate) {
        return ::mkdirat(fd(), candidate.c_str(), mode) == 0;
    });
    ResHandle sub(OpenDirAt(fd(), name));
    if (!sub) throw Fail("mktemp", prefix);
    auto tmp = std::make_shared<TmpData>(fd_, name, sub);
    SetNew(attrs, fd(), name, sub.fd(), true);
    Folder folder(sub, ConcatPath(name_, name));
    folder.tmp_ = tmp;
    return folder;
}

void Folder::MkSymLink(const std::string& name, const std::string& target, const Attrs& attrs) const {
    if (::symlinkat(target.c_str(), fd(), IsSimpleFileName(name).c_str()) != 0) {
        std::string now;
        if (errno != EEXIST || !ReadLinkAt(fd(), name, now) || now != target) throw Fail("create", name);
    }
    attrs.Set(fd(), name, false);
}

std::string Folder::ReadLink(const std::string& name) const {
    std::string target;
    if (!ReadLinkAt(fd(), IsSimpleFileName(name), target)) throw Fail("readlink", name);
    return target;
}

void Folder::Remove(const std::string& name, bool recursive) const {
    RemoveAt(fd(), IsSimpleFileName(name), recursive);
}

void Folder::Move(const std::string& name, const Folder& to, const std::string& to_name) const {
    if (::renameat(fd(), IsSimpleFileName(name).c_str(), to.fd(), IsSimpleFileName(to_name).c_str()) == 0) return;
    if (errno != ENOTEMPTY && errno != EEXIST && errno != EXDEV) throw Fail("move", name);
    MoveByCopy(*this, name, to, to_name);
}

void Folder::Copy(const std::string& name, const Folder& to, const std::string& to_name, const Attrs& attrs) const {
    TreeCopy(attrs).Entry(fd(), IsSimpleFileName(name), to.fd(), IsSimpleFileName(to_name));
}

void Folder::CopyIn(const Folder& from, const std::string& name, const std::string& to_name,
                    const Attrs& attrs) const {
    from.Copy(name, *this, to_name, attrs);
}

void Folder::Set(const Attrs& attrs, bool recursive) const {
    attrs.Set(fd());
    if (recursive) attrs.SetRecursive(fd(), name_, true);
}

std::string Folder::RealName() const {
    return RealNameOf(fd());
}

Dir Folder::GetDir() const {
    return Dir(*this);
}

vux_file::Info Folder::Info() const {
    return vux_file::Info(fd());
}

vux_file::Info Folder::Info(const std::string& name) const {
    return vux_file::Info(fd(), IsSimpleFileName(name));
}

void Folder::Release() {
    if (tmp_) tmp_->keep = true;
    tmp_.reset();
}

// ---- File ----

namespace {

// The file's path for messages; its name alone when the folder's cannot be found.
std::string PathOf(int folder, const std::string& name) {
    try {
        return ConcatPath(RealNameOf(folder), name);
    } catch (const Fail&) {
        return name;
    }
}

}  // namespace

std::string File::Read() const {
    std::string out;
    char buf[65536];
    for (off_t at = 0;;) {
        const ssize_t n = RetryAfterSignal([&] { return ::pread(fd(), buf, sizeof(buf), at); });
        if (n < 0) throw Fail("read", PathOf(folder(), name_));
        if (n == 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
}

void File::Write(const std::string& data) const {
    Truncate(static_cast<long>(data.size()));
    if (::lseek(fd(), 0, SEEK_SET) != 0 || !vux_sys::WriteAll(fd(), data.data(), data.size()))
        throw Fail("write", PathOf(folder(), name_));
}

void File::Append(const std::string& data) const {
    if (!fd_) VUX_ASSERT_FAIL("Bad file handle");
    if (::lseek(fd(), 0, SEEK_END) < 0 || !vux_sys::WriteAll(fd(), data.data(), data.size()))
        throw Fail("write", PathOf(folder(), name_));
}

void File::Truncate(long size) const {
    if (!fd_) VUX_ASSERT_FAIL("Bad file handle");
    if (RetryAfterSignal([&] { return ::ftruncate(fd(), size); }) != 0) throw Fail("truncate");
}

void File::Lock(int operation) const {
    if (RetryAfterSignal([&] { return ::flock(fd(), operation); }) != 0) throw Fail("lock");
}

void File::Unlock() const {
    Lock(LOCK_UN);
}

void File::Set(const Attrs& attrs) const {
    attrs.Set(fd());
}

vux_file::Info File::Info() const {
    return vux_file::Info(fd());
}

File File::Move(const Folder& to, const std::string& name) {
    const std::string target = name.empty() ? name_ : IsSimpleFileName(name);
    if (!NameIs(folder(), name_, fd())) throw Fail("badfile", name_);
    if (::renameat(folder(), name_.c_str(), to.fd(), target.c_str()) == 0) {
        tmp_.reset();
        return File(fd_, to.fd_, target);
    }
    if (errno != EXDEV) throw Fail("move", PathOf(folder(), name_));
    Copy(to, target, Attrs(-1));
    if (NameIs(folder(), name_, fd())) ::unlinkat(folder(), name_.c_str(), 0);
    tmp_.reset();
    return to.GetFile(target);
}

void File::Copy(const Folder& to, const std::string& name, const Attrs& attrs) const {
    CopyContent(fd(), name_, to.fd(), IsSimpleFileName(name), attrs);
}

void File::MkHardLink(const Folder& to, const std::string& name) const {
    if (!NameIs(folder(), name_, fd())) throw Fail("badfile", name_);
    if (::linkat(folder(), name_.c_str(), to.fd(), IsSimpleFileName(name).c_str(), 0) != 0) throw Fail("create", name);
    // The name was swapped between the check and the link: that link is not ours to keep.
    if (!NameIs(to.fd(), name, fd())) {
        ::unlinkat(to.fd(), name.c_str(), 0);
        throw Fail("badfile", name_);
    }
}

void File::Release() {
    if (tmp_) tmp_->keep = true;
    tmp_.reset();
}

// ---- Dir ----

struct Dir::Data {
    vux_file::Dir list;
    Folder folder;
};

Dir::Dir(const Folder& folder) {
    try {
        data_ = std::make_shared<Data>(Data{vux_file::Dir(folder.fd()), folder});
    } catch (const vux_file::Fail&) {
        throw Fail("opendir", folder.name());
    }
}

bool Dir::Read() {
    VUX_ASSERT(data_, "read from dummy dir");
    return data_->list.Read();
}

const std::string& Dir::name() const {
    VUX_ASSERT(data_, "get name from dummy dir");
    return data_->list.name();
}

vux_file::Info Dir::Info() const {
    return folder().Info(name());
}

bool Dir::HasPrefix(const std::string& s) const {
    return str::StartsWith(name(), s);
}

bool Dir::HasExt(const std::string& s) const {
    return str::EndsWith(name(), s);
}

const Folder& Dir::folder() const {
    VUX_ASSERT(data_, "get folder from dummy dir");
    return data_->folder;
}

// ---- relative paths ----

namespace {

// The folder a path's directory part names, and the name in it.
std::pair<Folder, std::string> Locate(const Folder& folder, const std::string& path) {
    const std::pair<std::string, std::string> parts = SplitPath(GoodPath(path));
    return std::make_pair(parts.first.empty() ? folder : folder.GetFolder(parts.first), parts.second);
}

}  // namespace

Folder GetFolder(const Folder& folder, const std::string& path) {
    return folder.GetFolder(path);
}

File GetFile(const Folder& folder, const std::string& path) {
    const auto [dir, name] = Locate(folder, path);
    return dir ? dir.GetFile(name) : File();
}

File GetFileLocked(const Folder& folder, const std::string& path, int operation) {
    const auto [dir, name] = Locate(folder, path);
    if (!dir) throw Fail("open", path);
    return dir.GetFileLocked(name, operation);
}

File MkFile(const Folder& folder, const std::string& path, const Attrs& attrs) {
    const auto [dir, name] = Locate(folder, path);
    if (!dir) throw Fail("create", path);
    return dir.MkFile(name, attrs);
}

File MkTmpFile(const Folder& folder, const std::string& path, const Attrs& attrs) {
    const auto [dir, name] = Locate(folder, path);
    if (!dir) throw Fail("mktemp", path);
    return dir.MkTmpFile(name, attrs);
}

vux_file::Info Info(const Folder& folder, const std::string& path) {
    const auto [dir, name] = Locate(folder, path);
    return dir ? dir.Info(name) : vux_file::Info(-1);
}

}  // namespace safe
}  // namespace vux_file

// ---- jobs ----

namespace vux_job {
namespace safe {

namespace {

int Rename2(const Folder& from, const std::string& name, const Folder& to, const std::string& to_name,
            unsigned flags) {
    return RetryAfterSignal(
        [&] { return ::renameat2(from.fd(), name.c_str(), to.fd(), to_name.c_str(), flags); });
}

// The file system or kernel has no renameat2 flags.
bool Refused(int err) {
    return err == EINVAL || err == ENOSYS;
}

// Moves an entry to a name that must be free: what appears there meanwhile is not replaced.
void MoveNew(const Folder& from, const std::string& name, const Folder& to, const std::string& to_name) {
    if (Rename2(from, name, to, to_name, RENAME_NOREPLACE) == 0) return;
    int err = errno;
    if (Refused(err) && to.Info(to_name).IsMissed()) {
        if (::renameat(from.fd(), name.c_str(), to.fd(), to_name.c_str()) == 0) return;
        err = errno;
    }
    if (err != EXDEV) throw Fail("move", name);
    MoveByCopy(from, name, to, to_name);
}

// Moves an entry back where it came from, if it is still there.
void MoveBack(const Folder& from, const std::string& name, const Folder& to, const std::string& to_name) {
    if (!from.Info(name).IsMissed()) MoveNew(from, name, to, to_name);
}

// The sub-folder `name` itself, never what a link there points to.
Folder Child(const Folder& folder, const std::string& name) {
    Folder sub = folder.GetFolder(name);
    if (!sub) throw Fail("open", name);
    const vux_file::Info opened = sub.Info(), named = folder.Info(name);
    if (opened.Inode() != named.Inode() || opened.Dev() != named.Dev()) throw Fail("open", name);
    return sub;
}

std::vector<std::string> Names(const Folder& folder) {
    std::vector<std::string> names;
    vux_file::safe::Dir dir(folder);
    while (dir.Read()) names.push_back(dir.name());
    return names;
}

void Quietly(const std::function<void()>& step) {
    try {
        vux_thread::NoFail nofail;
        step();
    } catch (...) {
    }
}

// "." + name + infix + 8 hex digits, free in the folder.
std::string HiddenName(const Folder& folder, const std::string& name, const char* infix) {
    for (int attempt = 0; attempt < kRetries; ++attempt) {
        std::string hidden = "." + IsSimpleFileName(name) + infix + RandomHex();
        if (folder.Info(hidden).IsMissed()) return hidden;
    }
    throw Fail("mktemp", name);
}

bool SameEntry(const vux_file::Info& a, const vux_file::Info& b) {
    return !a.IsMissed() && !b.IsMissed() && a.Inode() == b.Inode() && a.Dev() == b.Dev();
}

// Puts the new entry made at `fresh` in the place of `name`; what stood there goes to
// `hidden` first, so that a ".todelete." name only ever holds an old entry. A non-directory
// stays there as a second link while the new entry replaces it in one rename, so the name
// never lacks an entry; a directory is renamed away first. True when something stood there.
bool PutInPlace(const Folder& folder, const std::string& fresh, const std::string& name, const std::string& hidden) {
    const vux_file::Info old = folder.Info(name);
    if (old.IsMissed()) {
        MoveNew(folder, fresh, folder, name);
        return false;
    }
    const bool linked = !old.IsDir() && ::linkat(folder.fd(), name.c_str(), folder.fd(), hidden.c_str(), 0) == 0;
    if (!linked) MoveNew(folder, name, folder, hidden);
    if (linked && ::renameat(folder.fd(), fresh.c_str(), folder.fd(), name.c_str()) == 0) return true;
    try {
        // A directory cannot replace a file in one rename: the file's name goes, its second link stays.
        if (linked && SameEntry(folder.Info(name), old) && ::unlinkat(folder.fd(), name.c_str(), 0) != 0)
            throw Fail("move", name);
        MoveNew(folder, fresh, folder, name);
    } catch (...) {
        Quietly([&] {
            if (folder.Info(name).IsMissed())
                MoveNew(folder, hidden, folder, name);
            else if (linked)
                ::unlinkat(folder.fd(), hidden.c_str(), 0);
        });
        throw;
    }
    return true;
}

// Puts the old entry kept at `hidden` back at `name`: over a non-directory in one rename when it
// is not one itself, else the entry made at the name first moves aside under a ".tonew." name.
void PutBack(const Folder& folder, const std::string& hidden, const std::string& name) {
    const vux_file::Info old = folder.Info(hidden), made = folder.Info(name);
    if (old.IsMissed()) throw Fail("move", hidden);
    if (!made.IsMissed() && !made.IsDir() && !old.IsDir() &&
        ::renameat(folder.fd(), hidden.c_str(), folder.fd(), name.c_str()) == 0)
        return;
    std::string aside;
    if (!made.IsMissed()) {
        aside = HiddenName(folder, name, ".tonew.");
        MoveNew(folder, name, folder, aside);
    }
    MoveNew(folder, hidden, folder, name);
    if (!aside.empty()) folder.Remove(aside, true);
}


}  // namespace

// What a move records beside its backup folder, and the steps that make and undo it.
struct MoveFile::Journal {
    explicit Journal(MoveFile& owner) : job(owner) {}

    MoveFile& job;
    // The source directories a merge emptied and removed, by their path below the source
    // ("" for the top), with the mode and owner they get back.
    std::map<std::string, Attrs> merged;
    // A step of the undo failed: the backup must stay.
    bool failed = false;

    void MakeBackup() {
        job.backup_ = job.dst_.MkTmpFolder(job.dst_name_ + ".todelete", Attrs(-1));
        job.marker_ = job.backup_.MkFile("dummy." + RandomHex());
        job.marker_inode_ = static_cast<long long>(job.marker_.Info().Inode());
    }

    void Move(const Folder& sf, const std::string& sname, const Folder& df, const std::string& dname,
              const Folder& bf, const std::string& rel) {
        VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s src = '%s', dst = '%s'", "PrivateMove",
                vux_file::ConcatPath(sf.name(), sname).c_str(), vux_file::ConcatPath(df.name(), dname).c_str());
        const vux_file::Info there = df.Info(dname);
        if (!bf || there.IsMissed()) {
            if (bf) job.marker_.MkHardLink(bf, dname);
            MoveNew(sf, sname, df, dname);
        } else if (there.IsDir() && sf.Info(sname).IsDir()) {
            Merge(sf, sname, df, dname, bf, rel);
        } else {
            MoveNew(df, dname, bf, dname);
            MoveNew(sf, sname, df, dname);
        }
    }

    // Each entry of the source directory moves into the destination directory; the backup
    // gets a directory of the same name for what they replace.
    void Merge(const Folder& sf, const std::string& sname, const Folder& df, const std::string& dname,
               const Folder& bf, const std::string& rel) {
        const Folder from = Child(sf, sname), into = Child(df, dname);
        merged[rel] = from.Info().GetAttrs();
        // The job's own, whatever the destination's mode: it must be able to empty it again.
        const Folder kept = bf.MkFolder(dname, Attrs(0700));
        for (const std::string& name : Names(from))
            Move(from, name, into, name, kept, vux_file::ConcatPath(rel, name));
        sf.Remove(sname, true);
    }

    // Puts one level back as the backup records it. A level the move never reached has no
    // entry in the backup and is left alone.
    void Restore(const Folder& sf, const std::string& sname, const Folder& df, const std::string& dname,
                 const Folder& bf, const std::string& rel) {
        const vux_file::Info kept = bf.Info(dname);
        if (kept.IsMissed()) return;
        if (IsMarker(kept)) {
            Step([&] { MoveBack(df, dname, sf, sname); });
            Step([&] { bf.Remove(dname); });
            return;
        }
        const auto level = merged.find(rel);
        if (level != merged.end() && kept.IsDir()) {
            Step([&] { Unmerge(sf, sname, df, dname, bf, rel, level->second); });
            return;
        }
        Step([&] { MoveBack(df, dname, sf, sname); });
        Step([&] { MoveNew(bf, dname, df, dname); });
    }

    void Unmerge(const Folder& sf, const std::string& sname, const Folder& df, const std::string& dname,
                 const Folder& bf, const std::string& rel, const Attrs& attrs) {
        if (sf.Info(sname).IsMissed()) sf.MkFolder(sname, Attrs(0700));
        const Folder from = Child(sf, sname), into = Child(df, dname), kept = Child(bf, dname);
        for (const std::string& name : Names(kept))
            Restore(from, name, into, name, kept, vux_file::ConcatPath(rel, name));
        attrs.Set(from.fd());
        bf.Remove(dname);
    }

    bool IsMarker(const vux_file::Info& info) const {
        return !info.IsDir() && static_cast<long long>(info.Inode()) == job.marker_inode_ &&
               info.Dev() == job.marker_.Info().Dev();
    }

    // One step of an undo: its failure is logged and the undo goes on.
    template <class F>
    void Step(F step) {
        try {
            step();
            return;
        } catch (const std::exception& e) {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Exception during MoveFile::Rollback. %s", e.what());
        } catch (...) {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Exception during MoveFile::Rollback. %s", "unknown");
        }
        failed = true;
    }

    void Undo() {
        if (job.moved_) {
            if (job.backup_)
                Restore(job.src_, job.src_name_, job.dst_, job.dst_name_, job.backup_, "");
            else
                Step([&] { MoveBack(job.dst_, job.dst_name_, job.src_, job.src_name_); });
            job.moved_ = false;
        }
        Settle();
    }

    // Drops the backup, which takes it off the disk, unless an undo could not empty it.
    void Settle() {
        if (failed && job.backup_) {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Backup '%s' kept", job.backup_.name().c_str());
            job.backup_.Release();
        }
        job.marker_ = File();
        job.backup_ = Folder();
        failed = false;
    }
};

MoveFile::MoveFile(const Folder& src, const std::string& src_name, const Folder& dst, const std::string& dst_name)
    : src_(src),
      src_name_(IsSimpleFileName(src_name)),
      dst_(dst),
      dst_name_(dst_name.empty() ? src_name_ : IsSimpleFileName(dst_name)),
      journal_(std::make_unique<Journal>(*this)) {
    if (src_.Info(src_name_).IsMissed()) return;
    try {
        if (!dst_.Info(dst_name_).IsMissed()) journal_->MakeBackup();
        moved_ = true;
        journal_->Move(src_, src_name_, dst_, dst_name_, backup_, "");
    } catch (...) {
        journal_->Undo();
        throw;
    }
}

MoveFile::MoveFile(const Folder& folder, const std::string& name)
    : src_(folder), src_name_(IsSimpleFileName(name)), dst_(folder), journal_(std::make_unique<Journal>(*this)) {}

MoveFile::~MoveFile() {
    // Dropped without commit or rollback (its thread ended): what it kept stays on disk.
    if (backup_) backup_.Release();
}

void MoveFile::Commit() {
    moved_ = false;
    journal_->Settle();
}

void MoveFile::Rollback() {
    rolling_back_ = true;
    journal_->Undo();
}

RemoveFile::RemoveFile(const Folder& folder, const std::string& name)
    : MoveFile(folder, name, folder, TmpName(folder, name)) {}

RemoveFile::RemoveFile(const Folder& folder, const std::string& name,
                       const std::function<void(const std::string&)>& make)
    : MoveFile(folder, IsSimpleFileName(name)) {
    // The new entry is made under a ".tonew." name: a crash before it is in place leaves only a
    // leftover there, never a ".todelete." entry that is not an old one.
    const std::string fresh = HiddenName(folder, name, ".tonew.");
    const std::string hidden = TmpName(folder, name);
    try {
        make(fresh);
        moved_ = PutInPlace(folder, fresh, src_name_, hidden);
    } catch (...) {
        Quietly([&] { folder.Remove(fresh, true); });
        throw;
    }
    made_ = true;
    if (moved_) dst_name_ = hidden;
}

std::string RemoveFile::TmpName(const Folder& folder, const std::string& name) {
    return HiddenName(folder, name, ".todelete.");
}

void RemoveFile::Commit() {
    if (moved_) Quietly([&] { src_.Remove(dst_name_, true); });
    moved_ = made_ = false;
}

void RemoveFile::Rollback() {
    rolling_back_ = true;
    if (moved_) {
        journal_->Step([&] { PutBack(src_, dst_name_, src_name_); });
    } else if (made_) {
        journal_->Step([&] { src_.Remove(src_name_, true); });
    }
    moved_ = made_ = false;
}

CreateFile::CreateFile(const Folder& folder, const std::string& name, const std::string& content,
                       const Attrs& attrs)
    : RemoveFile(folder, name, [&](const std::string& at) { folder.MkFile(at, attrs).Write(content); }) {}

CreateDir::CreateDir(const Folder& folder, const std::string& name, const Attrs& attrs)
    : RemoveFile(folder, name, [&](const std::string& at) { folder.MkFolder(at, attrs); }) {}

SymLink::SymLink(const Folder& folder, const std::string& name, const std::string& target, const Attrs& attrs)
    : RemoveFile(folder, name, [&](const std::string& at) { folder.MkSymLink(at, target, attrs); }) {}

HardLink::HardLink(const File& file, const Folder& folder, const std::string& name)
    : RemoveFile(folder, name.empty() ? file.name() : name,
                 [&](const std::string& at) { file.MkHardLink(folder, at); }) {}

CopyFile::CopyFile(const Folder& src, const std::string& src_name, const Folder& dst, const std::string& dst_name,
                   const Attrs& attrs)
    : RemoveFile(dst, dst_name.empty() ? src_name : dst_name,
                 [&](const std::string& at) { src.Copy(src_name, dst, at, attrs); }) {}

}  // namespace safe
}  // namespace vux_job
