#include <libvux/vuxtest.h>

namespace test {

bool Numeric(std::string& value) {
    for (char c : value)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace test
