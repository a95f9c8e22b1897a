#include <libvux/vuxfile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vux_file {

namespace {

// Devices report no size in their status; the end offset is what callers want.
std::int64_t DeviceSizeByPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

}  // namespace

Fail::Fail(const std::string& object) : vux_err::Error("file", object) {
    set_report();
}

Fail::Fail(const std::string& object, const std::string& value) : vux_err::Error("file", object, value) {
    set_report();
}

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
        throw InfoFail("stat", name);
    }
}

const struct stat& Info::Need(const char* what) const {
    if (!st_) vux_err::AssertError::Raise("vuxfile_unix", __LINE__, __PRETTY_FUNCTION__, what);
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

}  // namespace vux_file
