// Access levels.
#ifndef LIBVUX_VUXACCESS_H
#define LIBVUX_VUXACCESS_H

#include <cstdint>

namespace vux_access {

// A set of up to 32 access levels, one bit each.
typedef std::uint32_t AccessMask;

const AccessMask AccessNone = 0;
const AccessMask AccessAll = 0xFFFFFFFFu;
const AccessMask AccessAdmin = 0xE0000000u;

}  // namespace vux_access

#endif
