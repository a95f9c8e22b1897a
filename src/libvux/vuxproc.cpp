#include <libvux/vuxproc.h>

#include <libvux/vuxstr.h>

namespace vux_proc {

std::string ToString(const Pid_t& pid) { return str::Str(pid); }

Pid_t FromString(const std::string& s) { return str::Int(s); }

bool Exists(const std::string& name) {
    std::vector<int> pids;
    return List(name, pids, false);
}

int Kill(const std::string& name) {
    std::vector<int> pids;
    List(name, pids, true);
    for (int pid : pids) Kill(pid, 3);
    return static_cast<int>(pids.size());
}

ResHandle Pipe::move_read_side(int flags) {
    ResHandle h = read_side(flags);
    read_.Close();
    return h;
}

ResHandle Pipe::move_write_side(int flags) {
    ResHandle h = write_side(flags);
    write_.Close();
    return h;
}

}  // namespace vux_proc
