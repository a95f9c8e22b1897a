// Access levels: masks, named levels and level expressions.
#ifndef LIBVUX_VUXACCESS_H
#define LIBVUX_VUXACCESS_H

#include <libvux/vuxapi.h>

#include <cstdint>
#include <string>

VUX_API_BEGIN

namespace vux_access {

// A set of up to 32 access levels, one bit each; a higher bit is a higher level.
typedef std::uint32_t AccessMask;

// A level and every higher one (from the lowest bit of the mask up).
class MinLevel {
public:
    constexpr explicit MinLevel(AccessMask level)
        : mask_(level == 0 ? 0xFFFFFFFFu : static_cast<AccessMask>(~((level & (~level + 1u)) - 1u))) {}
    constexpr operator AccessMask() const { return mask_; }

private:
    AccessMask mask_;
};

// A level and every lower one (up to the highest bit of the mask).
class MaxLevel {
public:
    constexpr explicit MaxLevel(AccessMask level) : mask_(level == 0 ? 0u : Fill(level)) {}
    constexpr operator AccessMask() const { return mask_; }

private:
    static constexpr AccessMask Fill(AccessMask m) {
        m |= m >> 1;
        m |= m >> 2;
        m |= m >> 4;
        m |= m >> 8;
        m |= m >> 16;
        return m;
    }
    AccessMask mask_;
};

const AccessMask AccessNone = 0;
const AccessMask AccessAll = MinLevel(1);
const AccessMask AccessAdmin = 0xE0000000u;

// The mask a level expression such as "admin+", "user-" or "reseller 3" denotes.
AccessMask GetAccessByName(const std::string& text);
// Adds a named level; a name already known keeps its mask.
void AddAccessName(const std::string& name, AccessMask mask);

}  // namespace vux_access

VUX_API_END

#endif
