// MIME types by file extension (etc/dist/types.mime).
#ifndef LIBVUX_VUXMIME_H
#define LIBVUX_VUXMIME_H

#include <libvux/vuxapi.h>

#include <string>

VUX_API_BEGIN

namespace vux_mime {

// The type listed first for the extension (exact, case-sensitive), or "".
std::string GetMimeType(const std::string& extension);

}  // namespace vux_mime

VUX_API_END

#endif
