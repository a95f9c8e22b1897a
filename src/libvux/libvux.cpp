// The library's own file: plain functions outside the namespaces.
#include <libvux/vuxargs.h>
#include <libvux/vuxenv.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>

std::string GetArgPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::string origin = vux_env::GetEnv("ORIGWD");
    if (origin.empty()) throw vux_err::Error("bad_work_dir");
    return vux_file::ConcatPath(origin, path);
}
