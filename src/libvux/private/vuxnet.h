// Address text as the network and validator sources share it; not installed.
#ifndef LIBVUX_PRIVATE_VUXNET_H
#define LIBVUX_PRIVATE_VUXNET_H

#include <libvux/vuxapi.h>

#include <string>

namespace vux_net {

// The bytes of an address of `family` written in s, blanks around it ignored; false for
// anything inet_pton refuses, and for text with a NUL byte, which inet_pton would never see.
VUX_INTERNAL bool ReadAddr(const std::string& s, int family, void* out);
// inet_ntop text of the address bytes.
VUX_INTERNAL std::string AddrText(int family, const void* addr);

}  // namespace vux_net

#endif
