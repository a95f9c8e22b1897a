// File-system access.
#ifndef LIBVUX_VUXFILE_H
#define LIBVUX_VUXFILE_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include <libvux/vuxerr.h>

struct stat;

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

// Mode, owner and group to apply; -1 (all ones) means "not set".
struct Attrs {
    Attrs() : mode(-1), owner(static_cast<unsigned int>(-1)), group(static_cast<unsigned int>(-1)) {}
    Attrs(int m, unsigned int o, unsigned int g) : mode(m < 0 ? -1 : (m & 07777)), owner(o), group(g) {}
    Attrs& SetMode(int m) { mode = m < 0 ? -1 : (m & 07777); return *this; }
    Attrs& SetOwner(unsigned int o) { owner = o; return *this; }
    Attrs& SetGroup(unsigned int g) { group = g; return *this; }
    bool HasMode() const { return mode != -1; }
    bool HasOwner() const { return owner != static_cast<unsigned int>(-1); }
    bool HasGroup() const { return group != static_cast<unsigned int>(-1); }

    int mode;
    unsigned int owner;
    unsigned int group;
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

}  // namespace vux_file

#endif
