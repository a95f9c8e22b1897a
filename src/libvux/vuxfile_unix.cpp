// File-system access through the system calls.
#include <libvux/vuxfile.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxprofiler.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>

#include "private/vuxsys.h"


namespace vux_file {

namespace {

VUX_LOG_MODULE("libvux")

// A plain "file" error carrying the errno as "fserr".
[[noreturn]] void ThrowFs(const std::string& object, const std::string* value, int err) {
    vux_err::Error e = value ? vux_err::Error("file", object, *value) : vux_err::Error("file", object);
    e.add_param("fserr", str::Str(static_cast<long>(err)));
    throw e;
}

[[noreturn]] void ThrowFs(const std::string& object, const std::string& value, int err) {
    ThrowFs(object, &value, err);
}

// Closes on scope exit unless released.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// Devices report no size in their status; the end offset is what callers want.
std::int64_t DeviceSizeByPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return 0;
    off_t end = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    return end < 0 ? 0 : end;
}

std::int64_t DeviceSizeByFd(int fd) {
    off_t old = ::lseek(fd, 0, SEEK_CUR);
    if (old < 0) return 0;
    off_t end = ::lseek(fd, 0, SEEK_END);
    ::lseek(fd, old, SEEK_SET);
    return end < 0 ? 0 : end;
}

std::shared_ptr<struct stat> Zeroed() {
    auto st = std::make_shared<struct stat>();
    std::memset(st.get(), 0, sizeof(struct stat));
    return st;
}

void Warn(const char* format, const std::string& what) {
    VUX_LOG(VuxLogModule(), vux_log::LevelWarning, format, what.c_str());
}

}  // namespace

// ---- Fail ----

Fail::Fail(const std::string& object) : vux_err::Error("file", object) {
    set_report();
}

Fail::Fail(const std::string& object, const std::string& value) : vux_err::Error("file", object, value) {
    set_report();
}

// ---- paths consulting the file system ----

std::string GetCurrentDir() {
    char buf[4096];
    if (!::getcwd(buf, sizeof(buf))) return "";
    return buf;
}

namespace {

// False with errno set when the entry cannot be read as a link.
bool ReadLinkAt(int dirfd, const std::string& name, std::string& target) {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlinkat(dirfd, name.c_str(), buf.data(), buf.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < buf.size()) {
            target.assign(buf.data(), static_cast<std::size_t>(n));
            return true;
        }
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

std::string ReadLink(const std::string& path) {
    std::string target;
    if (!ReadLinkAt(AT_FDCWD, path, target)) ThrowFs("read_link", path, errno);
    return target;
}

namespace {

// The links a path may pass through before it counts as a loop, as the kernel allows.
const int kMaxLinks = 40;

bool IsLinkPath(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

std::string RealPath(const std::string& path) {
    std::string current = path;
    std::string tail;
    bool absolute = !path.empty() && path[0] == '/';
    int links = 0;
    while (!current.empty()) {
        if (Exists(current)) {
            char buf[PATH_MAX > 4096 ? PATH_MAX : 4096];
            if (::realpath(current.c_str(), buf)) return buf + tail;
            if (errno != ENOENT) ThrowFs("realpath", current, errno);
            // A dangling link: what is written through it lands where it points, so
            // that is where the path is.
            if (IsLinkPath(current)) {
                if (++links > kMaxLinks) ThrowFs("realpath", current, ELOOP);
                std::string target = ReadLink(current);
                if (target.empty()) ThrowFs("realpath", current, ENOENT);
                if (target[0] != '/') {
                    std::string::size_type slash = current.rfind('/');
                    if (slash != std::string::npos) target.insert(0, current, 0, slash + 1);
                }
                while (target.size() > 1 && target.back() == '/' && !tail.empty()) target.pop_back();
                current = target;
                absolute = current[0] == '/';
                continue;
            }
        }
        std::string::size_type slash = current.rfind('/');
        if (slash == std::string::npos) {
            tail.insert(0, current);
            tail.insert(0, 1, '/');
            current.clear();
        } else {
            tail.insert(0, current, slash, std::string::npos);
            current.erase(slash);
        }
    }
    if (absolute) return tail;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof(cwd))) ThrowFs("get_work_dir", nullptr, errno);
    return cwd + tail;
}

namespace {

// A ".." component: preceded by "/" and followed by "/" or the end.
bool HasDotDot(const std::string& rest) {
    for (std::string::size_type p = rest.find("/.."); p != std::string::npos; p = rest.find("/..", p + 1)) {
        std::string::size_type after = p + 3;
        if (after == rest.size() || rest[after] == '/') return true;
    }
    return false;
}

}  // namespace

bool IsChild(const std::string& parent, const std::string& child) {
    std::string p = RealPath(parent);
    std::string c = RealPath(child);
    if (c.size() <= p.size() || c.compare(0, p.size(), p) != 0) return false;
    // The root is its own separator.
    std::string::size_type sep = (p.size() > 0 && p.back() == '/') ? p.size() - 1 : p.size();
    if (c[sep] != '/') return false;
    return !HasDotDot(c.substr(sep));
}

std::string GetFullPath(const std::string& name) {
    static const char* const kSystemDirs[] = {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/local/bin",
                                              "/usr/local/sbin"};
    std::set<std::string> dirs;
    for (const char* d : kSystemDirs) {
        vux_file::Info info(d, 3);
        if (!info.IsMissed() && info.IsDir()) dirs.insert(d);
    }
    if (const char* env = std::getenv("PATH")) {
        std::string all = env;
        std::string::size_type start = 0;
        for (;;) {
            std::string::size_type colon = all.find(':', start);
            dirs.insert(all.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    for (const std::string& d : dirs) {
        std::string candidate = ConcatPath(d, name);
        if (Exists(candidate)) return candidate;
    }
    return "";
}

// ---- contents ----

std::string Read(const std::string& path) {
    vux_thread::SetStateC("file.read");
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw Fail("open_r", path);
    std::string out;
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t r = vux_sys::ReadSome(fd.get(), buf, sizeof(buf));
        if (r < 0) ThrowFs("read", path, errno);
        if (r == 0) break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

std::string ReadE(const std::string& path) {
    if (!Exists(path)) return "";
    try {
        return Read(path);
    } catch (const std::exception&) {
        return "";
    }
}

namespace {

void WriteThrough(const std::string& path, const std::string& data, std::ios_base::openmode mode) {
    vux_stream::OutStream out(path, mode);
    if (!out.IsOpen()) throw Fail("open_w", path);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw Fail("write", path);
    // The last block too: a full disk must not pass for success.
    out.flush();
    if (!out) throw Fail("write", path);
}

}  // namespace

void Write(const std::string& path, const std::string& data) {
    vux_thread::SetStateC("file.write");
    WriteThrough(path, data, std::ios_base::out | std::ios_base::trunc);
}

void Append(const std::string& path, const std::string& data) {
    vux_thread::SetStateC("file.append");
    WriteThrough(path, data, std::ios_base::out | std::ios_base::app);
}

void Create(const std::string& path, const std::string& data, const Attrs* attrs) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) throw Fail("open_w", path);
    try {
        if (attrs) attrs->Set(fd.get());
        if (!data.empty() && !vux_sys::WriteAll(fd.get(), data.data(), data.size())) throw Fail("write", path);
    } catch (...) {
        // The file is ours alone: a half-made one must not block the next attempt.
        ::unlink(path.c_str());
        throw;
    }
}

void Truncate(const std::string& path, long length) {
    if (::truncate(path.c_str(), length) != 0) throw Fail("truncate", path);
}

// ---- trees ----

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {

// How often a walk looks again at an entry that changed under it before it gives up.
const int kRaceRetries = 64;

// Directories are entered only as what they are: a link put in a directory's place is refused.
const int kDirOpen = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string> EntriesAt(int fd, const std::string& path) {
    std::vector<std::string> names;
    try {
        Dir dir(fd);
        while (dir.Read()) names.push_back(dir.name());
    } catch (const Fail&) {
        throw Fail("open_folder", path);
    }
    return names;
}

[[noreturn]] void ThrowCopy(const std::string& from, const std::string& to, int err) {
    vux_err::Error e("file", "copy");
    e.add_param("from", from);
    e.add_param("to", to);
    e.add_param("err", err);
    throw e;
}

// In-kernel copy while the kernel offers it; false when the caller must copy by hand.
bool CopyInKernel(int in, int out, const std::string& from, const std::string& to) {
    for (;;) {
        const ssize_t n =
            vux_sys::RetryAfterSignal([&] { return ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0); });
        if (n > 0) continue;
        if (n == 0) return false;  // the end, or a file whose size says nothing (/proc)
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF ||
            errno == EPERM || errno == ETXTBSY)
            return false;
        ThrowCopy(from, to, errno);
    }
}

void ThrowLink(const std::string& link, int err) {
    if (err == EACCES) throw Fail("symlink_access", link);
    if (err == EEXIST) throw Fail("symlink_exists", link);
    ThrowFs("symlink", link, err);
}

// Makes the directory and its missing parents; `made` gets each directory made, parents first.
void MakeDirs(const std::string& path, std::vector<std::string>& made) {
    if (Exists(path)) {
        if (vux_file::Info(path, 2).IsDir()) return;
        throw Fail("mkdir_not_folder_exists", path);
    }
    std::pair<std::string, std::string> parts = SplitPath(GoodPath(path));
    if (!parts.first.empty()) MakeDirs(parts.first, made);
    if (parts.second == "..") throw Fail("mkdir", path);
    if (::mkdir(path.c_str(), 0777) != 0) {
        int err = errno;
        if (!(err == EEXIST && vux_file::Info(path, 2).IsDir())) ThrowFs("mkdir", path, err);
    }
    made.push_back(path);
}

// Deepest first: a mode that shuts the owner out of a parent must not stop the rest.
void SetMadeDirs(const std::vector<std::string>& made, std::size_t count, const Attrs& attrs) {
    for (std::size_t i = count; i-- > 0;) {
        Fd fd(::open(made[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) throw Fail("security", made[i]);
        attrs.Set(fd.get());
    }
}

// Creates the file `name` in the directory ddir (AT_FDCWD: `name` is a path) and copies
// into it what `in` reads; `from` and `to` name both for errors.
void CopyOpenFile(int in, int ddir, const std::string& name, const std::string& from, const std::string& to,
                  const Attrs* attrs) {
    ::unlinkat(ddir, name.c_str(), 0);
    Fd out(::openat(ddir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!out) throw Fail("open_w", to);
    try {
        struct stat st;
        if (::fstat(in, &st) != 0) ThrowCopy(from, to, errno);
        if (S_ISREG(st.st_mode) && st.st_size > 0) CopyInKernel(in, out.get(), from, to);
        std::unique_ptr<char[]> buf(new char[131072]);
        for (;;) {
            ssize_t r = vux_sys::ReadSome(in, buf.get(), 131072);
            if (r < 0) ThrowCopy(from, to, errno);
            if (r == 0) break;
            if (!vux_sys::WriteAll(out.get(), buf.get(), static_cast<std::size_t>(r))) ThrowCopy(from, to, errno);
        }
        Attrs(static_cast<int>(st.st_mode & 07777), st.st_uid, st.st_gid).Set(out.get());
        if (attrs) attrs->Set(out.get());
        // Some file systems report a failed write only here.
        if (::close(out.release()) != 0) ThrowCopy(from, to, errno);
    } catch (...) {
        out.reset();
        ::unlinkat(ddir, name.c_str(), 0);
        throw;
    }
}

// One copy of a tree. Entries are read relative to the descriptor of their directory and
// opened without following links; what was opened is checked rather than what was seen
// before, so an entry swapped meanwhile (a directory for a link out of the tree) is
// copied as what it now is and nothing outside the tree is read.
class CopyWalk {
public:
    // special: FIFOs, sockets and devices are made anew instead of left out.
    CopyWalk(const Attrs* attrs, bool special) : attrs_(attrs), special_(special) {}

    // Whether the top directory is one this walk made (a file or link it made is taken
    // back on failure already).
    bool made_top() const { return made_top_; }

    // The entry `sname` of the directory sdir to `dname` in ddir; for the top both
    // directories are AT_FDCWD and the names are the caller's paths.
    void Entry(int sdir, const std::string& sname, const std::string& from, int ddir, const std::string& dname,
               const std::string& to) {
        vux_thread::SetStateC("file.copy");
        const bool top = sdir == AT_FDCWD;
        for (int attempt = 0; attempt < kRaceRetries; ++attempt) {
            struct stat st;
            if (::fstatat(sdir, sname.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) throw Info::InfoFail("stat", from);
            if (S_ISLNK(st.st_mode)) {
                std::string target;
                if (!ReadLinkAt(sdir, sname, target)) {
                    if (errno == EINVAL) continue;  // no longer a link
                    ThrowFs("read_link", from, errno);
                }
                if (::symlinkat(target.c_str(), ddir, dname.c_str()) != 0) ThrowLink(to, errno);
                return;
            }
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
                if (special_) Special(st, ddir, dname, from, to);
                return;
            }
            Fd in(::openat(sdir, sname.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (!in) {
                if (errno == ELOOP || errno == ENXIO) continue;  // now a link or a socket
                throw Fail("open_r", from);
            }
            if (::fstat(in.get(), &st) != 0) throw Info::InfoFail("stat", from);
            if (S_ISREG(st.st_mode)) {
                CopyOpenFile(in.get(), ddir, dname, from, to, attrs_);
                return;
            }
            if (S_ISDIR(st.st_mode)) {
                Directory(in.get(), st, from, ddir, dname, to, top);
                return;
            }
            // Something else took the entry's place since it was looked at: look again.
        }
        throw Fail("open_r", from);
    }

private:
    // Made as a new node, never opened: opening a device or a FIFO may act on it. Only root
    // may make a device: for anyone else that fails here, before anything is removed.
    void Special(const struct stat& st, int ddir, const std::string& dname, const std::string& from,
                 const std::string& to) {
        const dev_t dev = (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) ? st.st_rdev : 0;
        ::unlinkat(ddir, dname.c_str(), 0);
        if (::mknodat(ddir, dname.c_str(), (st.st_mode & S_IFMT) | 0600, dev) != 0) ThrowCopy(from, to, errno);
        try {
            Attrs own(static_cast<int>(st.st_mode & 07777), st.st_uid, st.st_gid);
            if (attrs_) own.set(*attrs_);
            if (::geteuid() == 0 &&
                ::fchownat(ddir, dname.c_str(), own.owner(), own.group(), AT_SYMLINK_NOFOLLOW) != 0 &&
                errno != EOPNOTSUPP)
                throw Fail("set_owner", to);
            if (::fchmodat(ddir, dname.c_str(), static_cast<mode_t>(own.mode()), AT_SYMLINK_NOFOLLOW) != 0 &&
                errno != EOPNOTSUPP)
                throw Fail("set_permissions", to);
        } catch (...) {
            ::unlinkat(ddir, dname.c_str(), 0);
            throw;
        }
    }

    void Directory(int in, const struct stat& st, const std::string& from, int ddir, const std::string& dname,
                   const std::string& to, bool top) {
        if (made_.count(std::make_pair(st.st_dev, st.st_ino))) return;
        Attrs own(static_cast<int>(st.st_mode & 07777), st.st_uid, st.st_gid);
        if (attrs_) own.set(*attrs_);
        // A directory gets its mode only once its entries are in: a read-only one could
        // not be filled otherwise. Until then it is the copier's alone.
        Fd out;
        bool created;
        if (top) {
            // New parents get the same attributes, at once: only the top has to be filled.
            std::vector<std::string> made;
            MakeDirs(to, made);
            created = !made.empty();
            made_top_ = created;
            out.reset(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (created ? O_NOFOLLOW : 0)));
            if (!out) throw Fail("security", to);
            if (created) {
                Attrs(0700).Set(out.get());
                SetMadeDirs(made, made.size() - 1, own);
            }
        } else {
            created = ::mkdirat(ddir, dname.c_str(), 0700) == 0;
            if (!created && errno != EEXIST) ThrowFs("mkdir", to, errno);
            out.reset(::openat(ddir, dname.c_str(), kDirOpen));
            if (!out) {
                if (!created && (errno == ELOOP || errno == ENOTDIR)) throw Fail("mkdir_not_folder_exists", to);
                throw Fail("security", to);
            }
        }
        struct stat mine;
        if (::fstat(out.get(), &mine) == 0) made_.insert(std::make_pair(mine.st_dev, mine.st_ino));
        for (const std::string& name : EntriesAt(in, from))
            Entry(in, name, ConcatPath(from, name), out.get(), name, ConcatPath(to, name));
        if (created) own.Set(out.get());
    }

    const Attrs* attrs_;
    bool special_;
    bool made_top_ = false;
    // Directories this walk made: a target inside its own source is not copied again.
    std::set<std::pair<dev_t, ino_t>> made_;
};

// Lets the caller write to a directory of its own that it made read-only, so that a tree
// it moves away can be emptied. False when that changes nothing.
bool OpenUp(int dirfd) {
    struct stat st;
    if (::fstat(dirfd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0300) == 0300) return false;
    return ::fchmod(dirfd, (st.st_mode & 07777) | 0300) == 0;
}

void RemoveEntries(int fd, const std::string& path, bool open_up);

// Removes the entry `name` of the directory open on dirfd. A directory is entered only
// through a descriptor opened without following links, and everything below it is reached
// from that descriptor, so swapping a directory for a link cannot lead the walk out.
void RemoveAt(int dirfd, const std::string& name, const std::string& path, bool open_up) {
    vux_thread::SetStateC("file.remove");
    for (int attempt = 0; attempt < kRaceRetries; ++attempt) {
        struct stat st;
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) return;
            ThrowFs("delete", path, errno);
        }
        if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT) return;
            if (errno == EISDIR) continue;  // a directory took its place
            if (errno == EACCES && open_up && OpenUp(dirfd)) continue;
            ThrowFs("remove", path, errno);
        }
        Fd sub(::openat(dirfd, name.c_str(), kDirOpen));
        if (!sub) {
            if (errno == ENOENT) return;
            if (errno == ELOOP || errno == ENOTDIR) continue;  // no longer a directory
            ThrowFs("delete", path, errno);
        }
        RemoveEntries(sub.get(), path, open_up);
        sub.reset();
        if (::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return;
        // Replaced, or filled again while it was emptied: look again.
        if (errno == ENOTDIR || errno == ENOTEMPTY || errno == EEXIST) continue;
        if (errno == EACCES && open_up && OpenUp(dirfd)) continue;
        ThrowFs("delete", path, errno);
    }
    ThrowFs("delete", path, EAGAIN);
}

void RemoveEntries(int fd, const std::string& path, bool open_up) {
    for (const std::string& name : EntriesAt(fd, path)) RemoveAt(fd, name, ConcatPath(path, name), open_up);
}

// open_up: directories of the caller's own that it made read-only are emptied all the same.
void RemoveTree(const std::string& path, bool open_up) {
    vux_thread::SetStateC("file.remove");
    for (int attempt = 0; attempt < kRaceRetries; ++attempt) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return;
        if (!S_ISDIR(st.st_mode)) {
            RemoveFile(path);
            return;
        }
        Fd fd(::open(path.c_str(), kDirOpen));
        if (!fd) {
            if (errno == ENOENT) return;
            if (errno == ELOOP || errno == ENOTDIR) continue;  // replaced since it was looked at
            ThrowFs("delete", path, errno);
        }
        RemoveEntries(fd.get(), path, open_up);
        fd.reset();
        if (::rmdir(path.c_str()) == 0) return;
        if (errno != ENOTEMPTY && errno != EEXIST) ThrowFs("delete", path, errno);
        // Filled again while it was emptied: empty it again.
    }
    ThrowFs("delete", path, EAGAIN);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `to` names the entry `from` is, or, for a directory, lies anywhere inside it.
// Compared by identity, so that other names for the same place count too.
bool SameOrInside(const struct stat& from, const std::string& to) {
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0 && SameFile(st, from)) return true;
    if (!S_ISDIR(from.st_mode)) return false;
    std::string path = RealPath(to);
    while (!path.empty()) {
        if (::stat(path.c_str(), &st) == 0 && SameFile(st, from)) return true;
        if (path == "/") break;
        std::string::size_type slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash == std::string::npos ? 0 : slash);
    }
    return false;
}

}  // namespace

void Move(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    // EINVAL: a directory into itself. The copy would leave that part out and the removal
    // then take everything; the same when another name (a bind mount) hides it from rename.
    const int err = errno;
    struct stat st;
    if (err == EINVAL || (::lstat(from.c_str(), &st) == 0 && SameOrInside(st, to))) ThrowFs("move", from, EINVAL);
    CopyWalk walk(nullptr, true);
    try {
        walk.Entry(AT_FDCWD, from, from, AT_FDCWD, to, to);
    } catch (...) {
        // The source stays whole; a copy this move began is taken back.
        if (walk.made_top()) {
            try {
                vux_thread::NoFail nofail;
                RemoveTree(to, true);
            } catch (...) {
            }
        }
        throw;
    }
    // What the caller could move by renaming it must not stop halfway for want of a mode.
    RemoveTree(from, true);
}

void Copy(const std::string& from, const std::string& to, const Attrs* attrs) {
    CopyWalk(attrs, false).Entry(AT_FDCWD, from, from, AT_FDCWD, to, to);
}

void CopyFile(const std::string& from, const std::string& to, const Attrs* attrs) {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!in) throw Fail("open_r", from);
    CopyOpenFile(in.get(), AT_FDCWD, to, from, to, attrs);
}

void Remove(const std::string& path) {
    RemoveTree(path, false);
}

void RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) ThrowFs("remove", path, errno);
}

void MkDir(const std::string& path, const Attrs* attrs) {
    std::vector<std::string> made;
    MakeDirs(path, made);
    if (attrs) SetMadeDirs(made, made.size(), *attrs);
}

void MkLink(const std::string& target, const std::string& link) {
    if (::symlink(target.c_str(), link.c_str()) != 0) ThrowLink(link, errno);
}

void MkHardLink(const std::string& target, const std::string& link) {
    if (::link(target.c_str(), link.c_str()) != 0) ThrowLink(link, errno);
}

// ---- Attrs ----

Attrs& Attrs::set(const Attrs& other) {
    if (other.has_mode()) mode_ = other.mode_;
    if (other.has_owner()) owner_ = other.owner_;
    if (other.has_group()) group_ = other.group_;
    return *this;
}

void Attrs::Set(int fd) const {
    if ((has_owner() || has_group()) && ::geteuid() == 0) {
        if (::fchown(fd, owner_, group_) != 0 && errno != EOPNOTSUPP) throw Fail("set_owner");
    }
    if (has_mode()) {
        if (::fchmod(fd, static_cast<mode_t>(mode_)) != 0 && errno != EOPNOTSUPP) throw Fail("set_permissions");
    }
}

void Attrs::Set(const std::string& path, bool recursive) const {
    if (!recursive) {
        if ((has_owner() || has_group()) && ::geteuid() == 0) {
            if (::chown(path.c_str(), owner_, group_) != 0 && errno != EOPNOTSUPP) throw Fail("set_owner", path);
        }
        if (has_mode()) {
            if (::chmod(path.c_str(), static_cast<mode_t>(mode_)) != 0 && errno != EOPNOTSUPP)
                throw Fail("set_permissions", path);
        }
        return;
    }
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) throw Fail("open_r", path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) throw Fail("stat", path);
    Set(fd.get());
    if (S_ISDIR(st.st_mode)) SetRecursive(fd.get(), path, false);
}

void Attrs::SafeSet(const std::string& path, bool recursive) const {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) throw Fail("open_r", path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) throw Fail("stat", path);
    if (!S_ISDIR(st.st_mode) && st.st_nlink >= 2) {
        Warn("Attr::SafeSet skipped '%s' (too many links)", path);
        return;
    }
    Set(fd.get());
    if (S_ISDIR(st.st_mode) && recursive) SetRecursive(fd.get(), path, true);
}

void Attrs::SetRecursive(int fd, const std::string& path, bool safe) const {
    Dir dir(fd);
    while (dir.Read()) {
        const std::string& name = dir.name();
        // Entries are never followed through links (a link to a parent would loop,
        // one to a foreign file would hand it over) and FIFOs must not block the walk.
        Fd entry(::openat(fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!entry) {
            Warn("Attr::SafeSet skipped '%s' (open failed)", name);
            continue;
        }
        struct stat st;
        if (::fstat(entry.get(), &st) != 0) {
            Warn("Attr::SafeSet skipped '%s' (stat failed)", name);
            continue;
        }
        if (!safe || S_ISDIR(st.st_mode) || st.st_nlink < 2) {
            Set(entry.get());
            if (S_ISDIR(st.st_mode)) SetRecursive(entry.get(), ConcatPath(path, name), safe);
        } else {
            Warn("Attr::SafeSet skipped '%s' (too many links)", name);
        }
    }
}

void Attrs::Set(int dirfd, const std::string& name, bool recursive) const {
    if ((has_owner() || has_group()) && ::geteuid() == 0) {
        if (::fchownat(dirfd, name.c_str(), owner_, group_, AT_SYMLINK_NOFOLLOW) != 0 && errno != EOPNOTSUPP)
            throw Fail("set_owner");
    }
    if (!has_mode() && !recursive) return;
    Fd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        // A link has no mode of its own; its target is not ours to change.
        if (errno == ELOOP) return;
        throw Fail("open");
    }
    if (has_mode()) {
        if (::fchmod(fd.get(), static_cast<mode_t>(mode_)) != 0 && errno != EOPNOTSUPP)
            throw Fail("set_permissions");
    }
    if (!recursive) return;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) throw Fail("stat");
    if (!S_ISDIR(st.st_mode)) return;
    Dir dir(fd.get());
    while (dir.Read()) Set(fd.get(), dir.name(), true);
}

// ---- Info ----

Info::Info() {}

Info::Info(const std::string& path, bool nofollow) : Info(path, nofollow ? 1 : 0) {}

Info::Info(const std::string& path, int flags) {
    st_ = Zeroed();
    int r = (flags & 1) ? ::lstat(path.c_str(), st_.get()) : ::stat(path.c_str(), st_.get());
    if (r != 0) {
        if (flags & 2) {
            st_ = Zeroed();
            return;
        }
        throw InfoFail("stat", path);
    }
    if (S_ISBLK(st_->st_mode)) st_->st_size = DeviceSizeByPath(path);
}

Info::Info(int fd) {
    st_ = Zeroed();
    if (fd == -1) return;
    if (::fstat(fd, st_.get()) != 0) {
        if (errno == ENOENT) {
            st_ = Zeroed();
            return;
        }
        throw InfoFail("stat");
    }
    if (S_ISBLK(st_->st_mode) || S_ISCHR(st_->st_mode)) st_->st_size = DeviceSizeByFd(fd);
}

Info::Info(int dirfd, const std::string& name) {
    st_ = Zeroed();
    if (::fstatat(dirfd, name.c_str(), st_.get(), AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            st_ = Zeroed();
            return;
        }
        throw InfoFail("stat");
    }
}

const struct stat& Info::Need(const char* what) const {
    VUX_ASSERT(st_, what);
    return *st_;
}

std::time_t Info::Time() const { return Need("get time of dummy info").st_mtime; }
InodeType Info::Inode() const { return Need("get inode of dummy info").st_ino; }
UidType Info::Owner() const { return Need("get owner of dummy info").st_uid; }
GidType Info::Group() const { return Need("get group of dummy info").st_gid; }
std::int64_t Info::Size() const { return Need("get size of dummy info").st_size; }
unsigned long Info::HardLinkCount() const { return Need("get link of dummy info").st_nlink; }
dev_t Info::Dev() const { return Need("get dev of dummy info").st_dev; }
mode_t Info::Mode() const { return Need("get mode of dummy info").st_mode; }

bool Info::IsDev() const {
    mode_t m = Need("get dev of dummy info").st_mode;
    return S_ISCHR(m) || S_ISBLK(m);
}

bool Info::IsDir() const { return S_ISDIR(Need("get dir of dummy info").st_mode); }
bool Info::IsFile() const { return S_ISREG(Need("get file of dummy info").st_mode); }
bool Info::IsLink() const { return S_ISLNK(Need("get link of dummy info").st_mode); }

bool Info::IsExecutable() const {
    return st_ && S_ISREG(st_->st_mode) && (st_->st_mode & 0100) != 0;
}

bool Info::IsMissed() const {
    return !st_ || st_->st_mode == 0;
}

Attrs Info::GetAttrs() const {
    const struct stat& st = Need("copy permissions on dummy info");
    if (st.st_mode == 0) throw InfoFail("stat", "");
    return Attrs(static_cast<int>(st.st_mode & 07777), st.st_uid, st.st_gid);
}

const struct stat* Info::native() const {
    return st_.get();
}

// ---- Dir ----

struct Dir::Data {
    std::string path;
    std::string name;
    DIR* stream = nullptr;

    ~Data() {
        if (stream) {
            vux_profiler::Task task("dir");
            ::closedir(stream);
        }
    }
};

Dir::Dir() {}

Dir::Dir(const std::string& path) : Dir(path, 0) {}

Dir::Dir(const std::string& path, int flags) {
    vux_profiler::Task task("dir");
    auto data = std::make_shared<Data>();
    std::string good = GoodPath(path);
    data->path = (good.empty() || good == "/") ? "/" : good + "/";
    data->stream = ::opendir(data->path.c_str());
    if (!data->stream && !((flags & 2) && errno == ENOENT)) throw Fail("open_folder", path);
    data_ = data;
}

Dir::Dir(int fd) {
    vux_profiler::Task task("dir");
    auto data = std::make_shared<Data>();
    // A fresh open of the same directory has an offset of its own, so the caller's
    // position stays where it was; a plain duplicate would share it.
    int copy = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool shared = false;
    if (copy < 0) {
        copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        shared = true;
    }
    if (copy < 0) throw Fail("open_folder");
    data->stream = ::fdopendir(copy);
    if (!data->stream) {
        ::close(copy);
        throw Fail("open_folder");
    }
    if (shared) ::rewinddir(data->stream);
    data_ = data;
}

Dir::Data& Dir::Need(const char* what) const {
    VUX_ASSERT(data_, what);
    return *data_;
}

bool Dir::Read() {
    Data& d = Need("read from dummy dir");
    if (!d.stream) return false;
    vux_profiler::Task task("dir");
    for (;;) {
        vux_thread::SetStateC("readdir");
        errno = 0;
        struct dirent* e = ::readdir(d.stream);
        if (!e) return false;
        if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0))) continue;
        d.name = e->d_name;
        return true;
    }
}

const std::string& Dir::name() const {
    return Need("get name from dummy dir").name;
}

std::string Dir::FullName() const {
    const Data& d = Need("get full name from dummy dir");
    return d.path + d.name;
}

vux_file::Info Dir::Info(bool nofollow) const {
    return vux_file::Info(FullName(), nofollow);
}

vux_file::Info Dir::Info(int flags) const {
    return vux_file::Info(FullName(), flags);
}

bool Dir::HasPrefix(const std::string& s) const {
    return str::StartsWith(name(), s);
}

bool Dir::HasExt(const std::string& s) const {
    return str::EndsWith(name(), s);
}

// ---- Lock ----

namespace {

// How often a lock without an interval of its own is tried again.
const std::chrono::milliseconds kLockPoll(20);

}  // namespace

int Lock::Attempt(const std::string& path, bool exclusive, bool wait) {
    ResHandle handle(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640));
    if (!handle) throw LockFail("open_w", path);
    const int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    if (wait) vux_thread::SetStateC("flock");
    if (vux_sys::RetryAfterSignal([&] { return ::flock(handle.fd(), op); }) != 0) {
        if (!wait && errno == EWOULDBLOCK) return 0;
        throw LockFail("lock", path);
    }
    struct stat locked, now;
    if (::fstat(handle.fd(), &locked) == 0 && ::stat(path.c_str(), &now) == 0 && locked.st_ino == now.st_ino &&
        locked.st_dev == now.st_dev) {
        handle_ = handle;
        return 1;
    }
    VUX_LOG(VuxLogModule(), vux_log::LevelExt, "File '%s' was removed while we have been waiting for a lock",
            path.c_str());
    return -1;
}

void Lock::DoLock(const std::string& path, bool exclusive) {
    vux_profiler::Task task("flock");
    Release();
    while (Attempt(path, exclusive, true) != 1) {
    }
}

bool Lock::TryLock(const std::string& path, bool exclusive) {
    vux_profiler::Task task("flock");
    Release();
    for (int i = 0; i < 100; ++i) {
        int r = Attempt(path, exclusive, false);
        if (r >= 0) return r == 1;
    }
    Warn("Too many lock attemps for '%s'", path);
    return false;
}

void Lock::DoLockWithTimeout(const std::string& path, bool exclusive, unsigned long timeout,
                             unsigned long interval) {
    vux_profiler::Task task("flock");
    // Measured, not summed: attempts take time too, and an interval of 0 must still wait.
    // Longer than anyone waits, short enough for the clock's arithmetic.
    const unsigned long longest = 1UL << 31;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::min(timeout, longest));
    const std::chrono::milliseconds step =
        interval ? std::chrono::seconds(std::min(interval, longest)) : kLockPoll;
    for (;;) {
        if (TryLock(path, exclusive)) break;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        const auto nap = std::min<std::chrono::steady_clock::duration>(step, left);
        vux_proc::Sleep(static_cast<unsigned long>(
            std::chrono::ceil<std::chrono::milliseconds>(nap).count()));
    }
    if (!*this) throw LockFail("lock", path);
}

void Lock::Release() {
    handle_.Close();
}

void Lock::Write(const std::string& data) {
    VUX_ASSERT(handle_, "try to write to dummy lock");
    int fd = handle_.fd();
    if (::lseek(fd, 0, SEEK_SET) < 0 || ::ftruncate(fd, 0) != 0) throw LockFail("lock_write");
    if (!vux_sys::WriteAll(fd, data.data(), data.size())) throw LockFail("lock_write");
}

void Lock::Append(const std::string& data) {
    VUX_ASSERT(handle_, "try to write to dummy lock");
    int fd = handle_.fd();
    if (::lseek(fd, 0, SEEK_END) < 0) throw LockFail("lock_write");
    if (!vux_sys::WriteAll(fd, data.data(), data.size())) throw LockFail("lock_write");
}

std::string Lock::Read() {
    VUX_ASSERT(handle_, "try to read from dummy lock");
    std::string out;
    char buf[1024];
    for (;;) {
        ssize_t r = vux_sys::ReadSome(handle_.fd(), buf, sizeof(buf));
        if (r <= 0) break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

// ---- temporary entries ----

Tmp::Tmp(const std::string& prefix) {
    std::string templ = prefix + ".XXXXXX";
    if (templ.size() >= 4096) {
        vux_err::Error e("file", "tmp_file", prefix);
        e.add_param("id", -1);
        throw e;
    }
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    int fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0) {
        vux_err::Error e("file", "tmp_file", prefix);
        e.add_param("id", -1);
        throw e;
    }
    ::close(fd);
    name_ = buf.data();
}

Tmp::~Tmp() {
    if (keep_) return;
    try {
        RemoveFile(name_);
    } catch (...) {
    }
}

TmpDir::TmpDir(const std::string& prefix) {
    std::vector<char> buf(prefix.begin(), prefix.end());
    const char suffix[] = "_XXXXXX";
    buf.insert(buf.end(), suffix, suffix + sizeof(suffix));
    if (!::mkdtemp(buf.data())) throw Fail("tmp_dir", prefix);
    name_ = buf.data();
}

TmpDir::~TmpDir() {
    if (keep_) return;
    try {
        vux_thread::NoFail nofail;
        Remove(name_);
    } catch (...) {
    }
}

}  // namespace vux_file
