// System users and groups.
#ifndef LIBVUX_VUXUSER_H
#define LIBVUX_VUXUSER_H

#include <libvux/vuxapi.h>

#include <sys/types.h>

#include <string>

#include <libvux/vuxerr.h>

VUX_API_BEGIN

namespace vux_user {

// A failed look-up: type "user".
class Fail : public vux_err::Error {
public:
    Fail(const std::string& object, const std::string& value);
};

// "root".
std::string GetDefaultAdministrator();
bool Exists(const std::string& name);
// The user's numeric id; a missing user throws Fail("user_not_exists", name).
uid_t Uid(const std::string& name);
// The user's primary group id; a missing user throws Fail("user_not_exists", name).
gid_t Gid(const std::string& name);
// A missing user throws Fail("user_not_exists", name).
std::string GetHome(const std::string& name);
// A missing group throws Fail("group_not_exists", group).
gid_t GroupGid(const std::string& group);
// "" when no user has that id.
std::string NameByUid(uid_t uid);
// "" when no group has that id.
std::string GroupByGid(gid_t gid);

}  // namespace vux_user

VUX_API_END

#endif
