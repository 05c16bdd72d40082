// The per-uid slot files: /run/vornex/uid-U.N.lock, N below the per-uid bound. A live
// front-end holds one locked (flock, exclusive) until it ends, so the lock is the count of a
// uid's live requests that outlives whoever started them: the listener takes the lock before a
// start and hands it to the front-end; a front-end run on its own takes one itself.
#pragma once

#include <cstddef>
#include <cstdio>

#include <sys/types.h>

#include "common/facts.h"

constexpr int per_uid_limit = 1024;
constexpr size_t slot_path_size = 64;

// The path of slot `slot` of `uid` in `out` (slot_path_size bytes always fit it).
inline void format_slot_path(uid_t uid, int slot, char *out, size_t size) {
    snprintf(out, size, "%s/uid-%u.%d.lock", run_dir, uid, slot);
}
