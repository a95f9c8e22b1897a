// The operating system this runs on, and environment variables.
#ifndef LIBVUX_VUXENV_H
#define LIBVUX_VUXENV_H

#include <libvux/vuxapi.h>

#include <string>

VUX_API_BEGIN

namespace vux_env {

// 0x1xxxx BSD and other Unix systems, 0x2xxxx Linux (0x201xx the Red Hat
// family, 0x202xx the Debian family), 0x4xxxxx Windows; 0 not detected.
enum OsTypeEnum {
    OsUnknown = 0,
    OsFreeBSD = 0x10001,
    OsSunOS = 0x10101,
    OsMacOS = 0x10201,
    OsGentoo = 0x20001,
    OsRedHat = 0x20101,
    OsFedora = 0x20102,
    OsCentOS = 0x20103,
    OsCloudLinux = 0x20104,
    OsVirtuozzoLinux = 0x20105,
    OsDebian = 0x20201,
    OsUbuntu = 0x20202,
    OsWindows = 0x400001,
};

OsTypeEnum GetOsType();
// The release package's version.release on the Red Hat family, major.minor on Debian.
std::string GetOsVersion();
// The kernel's machine name, such as x86_64.
std::string GetOsArch();
// The system's name, a space and its version.
std::string GetOs();
// The framework's package-repository file for this system.
std::string GetRepoFile();
bool IsOpenVZChild();

// "" when the variable is not set.
std::string GetEnv(const std::string& name);
void SetEnv(const std::string& name, const std::string& value);
void DropEnv(const std::string& name);

}  // namespace vux_env

VUX_API_END

#endif
