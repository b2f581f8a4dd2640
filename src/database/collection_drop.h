#pragma once
// Dropping a collection's directory so that its data can never come back.
//
// The directory under "collections" is first renamed into the folder
// "collections.dropped" beside it (a name no collection can take, since
// collection names live inside "collections"), and both directories are
// synced; only then does the registry let go of the name, and only then is
// the renamed directory deleted. Whenever the process dies, the name either
// still holds the whole collection, or is registered with no directory (it
// opens empty), or is gone with its data waiting in "collections.dropped",
// which the next open of the database clears.
//
// None of these functions takes a lock: the database object calls them while
// it holds the registry's file lock, one call at a time.
#include <optional>
#include <string>
#include <string_view>

#include "base/store_error.h"

namespace tessello {

// The folder beside "collections" that holds directories whose drop has begun.
inline constexpr std::string_view kDroppedFolder = "collections.dropped";

// Renames dir (a collection directory under db_path/"collections") to a fresh
// name inside the dropped folder and syncs both parents, so the move is
// durable before the registry changes. The new path, or nullopt when nothing
// is at dir. A symbolic link at dir is moved itself, never followed.
// Failures are StoreError::Io; dir is then back where it was, unless even
// moving it back failed.
Result<std::optional<std::string>> move_aside(const std::string& db_path, const std::string& dir);

// Puts a directory that move_aside moved back at dir, for a drop that failed
// before the registry let go of the name. Best effort: the error being
// reported is the drop's own.
void move_back(const std::string& moved, const std::string& dir);

// Deletes a directory that move_aside moved (recursively, without following
// symbolic links), then the dropped folder if nothing else is left in it.
// Failures are StoreError::Io; what is left is cleared by the next open.
Status erase_moved(const std::string& db_path, const std::string& moved);

// Deletes whatever the dropped folder holds, and the folder. Best effort: a
// leftover that cannot be removed is harmless, since no name leads to it.
void clear_dropped(const std::string& db_path);

// The points between the steps of a drop, in their order.
enum class DropStep { MovedAside, Unregistered, Erased };
// Tests stop a drop between two steps (a child process that ends itself
// there, say): the hook is called after each step. Null by default.
using DropStepHook = void (*)(DropStep);
void set_drop_step_hook(DropStepHook hook);
void drop_step_reached(DropStep step);

}  // namespace tessello
