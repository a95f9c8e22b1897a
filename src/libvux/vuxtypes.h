// Container names shared by every area of the library.
#ifndef LIBVUX_VUXTYPES_H
#define LIBVUX_VUXTYPES_H

#include <libvux/vuxapi.h>

#include <list>
#include <map>
#include <string>
#include <vector>

VUX_API_BEGIN

typedef std::list<std::string> StringList;
typedef std::map<std::string, std::string> StringMap;
typedef std::vector<std::string> StringVector;

// One instance per process, created on first use (thread-safe static initialisation).
template <class T>
class VUX_API Singleton {
public:
    static T& Instance() {
        static T instance;
        return instance;
    }
};

VUX_API_END

#endif
