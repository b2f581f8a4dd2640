#include "base/dirs.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/sys_io.h"

namespace tessello {

namespace {

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_of(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

}  // namespace

Status create_dir_all(const std::string& path) {
    if (path.empty()) return {};
    int err = sys_mkdir(path, 0777);
    if (err == ENOENT) {
        const std::string parent = parent_of(path);
        if (!parent.empty() && parent != path)
            if (auto st = create_dir_all(parent); !st) return st;
        err = sys_mkdir(path, 0777);
    }
    // The new entry lives in the parent: only its sync makes it durable.
    if (err == 0) return sys_fsync_dir(parent_of(path));
    if (is_dir(path)) return {};
    return fail_errno(err);
}

std::string join_path(std::string_view left, std::string_view right) {
    if (!right.empty() && right.front() == '/') return std::string(right);
    std::string out(left);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out += right;
    return out;
}

}  // namespace tessello
