// System users and groups.
#ifndef LIBVUX_VUXUSER_H
#define LIBVUX_VUXUSER_H

#include <sys/types.h>

#include <string>

#include <libvux/vuxerr.h>

namespace vux_user {

// A failed look-up: type "user".
class Fail : public vux_err::Error {
public:
    Fail(const std::string& object, const std::string& value);
};

// The user's numeric id; a missing user throws Fail("user_not_exists", name).
uid_t Uid(const std::string& name);
// The user's primary group id; a missing user throws Fail("user_not_exists", name).
gid_t Gid(const std::string& name);

}  // namespace vux_user

#endif
