#pragma once
// Directory and path helpers with the semantics the database relies on.
#include <string>
#include <string_view>

#include "base/store_error.h"

namespace tessello {

// Creates path and every missing parent (mode 0777 before the umask). An
// existing directory is fine; an existing non-directory fails with the
// system's "File exists" error. Every directory made here is durable when
// this returns: its parent is synced after the mkdir, so a crash cannot lose
// a directory that files were then created in.
Status create_dir_all(const std::string& path);

// left joined with right: one '/' between them unless left is empty or
// already ends in '/'; a right side starting with '/' replaces left.
std::string join_path(std::string_view left, std::string_view right);

}  // namespace tessello
