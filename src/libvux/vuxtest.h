// Validators: true when the value is valid, rewriting it into canonical form.
#ifndef LIBVUX_VUXTEST_H
#define LIBVUX_VUXTEST_H

#include <libvux/vuxapi.h>

#include <string>

VUX_API_BEGIN

namespace test {

// Decimal digits only; the empty string counts.
bool Numeric(std::string& value);

}  // namespace test

VUX_API_END

#endif
