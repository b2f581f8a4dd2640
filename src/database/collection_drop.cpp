#include "database/collection_drop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <system_error>

#include "base/dirs.h"
#include "base/sys_io.h"
#include "collection/insert.h"

namespace tessello {

namespace {

std::atomic<DropStepHook> step_hook{nullptr};

std::string dropped_folder(const std::string& db_path) { return join_path(db_path, kDroppedFolder); }

std::string parent_of(const std::string& dir) {
    const auto slash = dir.rfind('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return dir.substr(0, slash);
}

}  // namespace

Result<std::optional<std::string>> move_aside(const std::string& db_path, const std::string& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) return std::optional<std::string>{};
    const std::string folder = dropped_folder(db_path);
    if (auto made = create_dir_all(folder); !made) return fail(made.error());
    // A fresh name for every drop: a leftover of an earlier one is never hit.
    auto name = new_uuid_v4();
    if (!name) return fail(name.error());
    const std::string moved = join_path(folder, *name);
    if (auto renamed = sys_rename(dir, moved); !renamed) return fail(renamed.error());
    // Both entries change: without these syncs the registry's commit could
    // reach the disk while the old directory is still in its place.
    Status synced = sys_fsync_dir(parent_of(dir));
    if (synced) synced = sys_fsync_dir(folder);
    if (!synced) {
        move_back(moved, dir);
        return fail(synced.error());
    }
    return std::optional<std::string>(moved);
}

void move_back(const std::string& moved, const std::string& dir) {
    if (::rename(moved.c_str(), dir.c_str()) != 0) return;
    (void)sys_fsync_dir(parent_of(dir));
}

Status erase_moved(const std::string& db_path, const std::string& moved) {
    std::error_code ec;
    std::filesystem::remove_all(moved, ec);
    if (ec) return fail_errno(ec.value());
    // Fails while other leftovers are in it; the next open clears those.
    (void)::rmdir(dropped_folder(db_path).c_str());
    return {};
}

void clear_dropped(const std::string& db_path) {
    const std::string folder = dropped_folder(db_path);
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        std::filesystem::remove_all(it->path(), ignored);
    }
    (void)::rmdir(folder.c_str());
}

void set_drop_step_hook(DropStepHook hook) { step_hook.store(hook); }

void drop_step_reached(DropStep step) {
    if (DropStepHook hook = step_hook.load()) hook(step);
}

}  // namespace tessello
