// The slot files: taken before a start and handed to the front-end, and, at the listener's
// own start, the ones that front-ends of an earlier listener still hold. A lock is only ever
// tried (LOCK_NB): nothing here waits on a file that another process holds.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include "common/slot.h"
#include "listener/listener.h"

namespace {

constexpr long probe_interval_ms = 1000;

// Whether a slot is held by another process now: its file is there and cannot be locked.
bool held_elsewhere(uid_t uid, int slot) {
    char path[slot_path_size];
    format_slot_path(uid, slot, path, sizeof path);
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    bool held = flock(fd, LOCK_EX | LOCK_NB) < 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

// "uid-U.N.lock" exactly, as the slots are named (no sign, no leading zero); false for any
// other name.
bool parse_slot_name(const char *name, uid_t *uid, int *slot) {
    constexpr char prefix[] = "uid-";
    if (strncmp(name, prefix, sizeof prefix - 1) != 0) {
        return false;
    }
    char *end = nullptr;
    unsigned long parsed_uid = strtoul(name + sizeof prefix - 1, &end, 10);
    if (*end != '.' || parsed_uid > UINT32_MAX) {
        return false;
    }
    long parsed_slot = strtol(end + 1, &end, 10);
    if (parsed_slot < 0 || parsed_slot >= per_uid_limit) {
        return false;
    }
    char again[slot_path_size];
    format_slot_path(static_cast<uid_t>(parsed_uid), static_cast<int>(parsed_slot), again,
                     sizeof again);
    *uid = static_cast<uid_t>(parsed_uid);
    *slot = static_cast<int>(parsed_slot);
    return strcmp(again + sizeof run_dir, name) == 0;
}

void add_probe_time(listener_t *l) {
    l->probe_at = l->now;
    l->probe_at.tv_sec += probe_interval_ms / 1000;
}

}  // namespace

slot_status take_slot(const listener_t *l, uid_t uid, int *fd) {
    for (int slot = 0; slot < l->per_uid_max; ++slot) {
        char path[slot_path_size];
        format_slot_path(uid, slot, path, sizeof path);
        int opened = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
        if (opened < 0) {
            bool later = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
            if (!later) {
                syslog(LOG_ERR, "cannot open slot file %s: %s", path, strerror(errno));
            }
            return later ? slot_status::later : slot_status::failed;
        }
        if (flock(opened, LOCK_EX | LOCK_NB) == 0) {
            *fd = opened;
            return slot_status::taken;
        }
        close(opened);
    }
    return slot_status::busy;
}

void count_inherited(listener_t *l) {
    DIR *dir = opendir(run_dir);
    if (dir == nullptr) {
        return;
    }
    for (struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        uid_t uid = 0;
        int slot = 0;
        if (l->inherited_count < global_live_max && parse_slot_name(entry->d_name, &uid, &slot) &&
            held_elsewhere(uid, slot)) {
            l->inherited[l->inherited_count++] = inherited_t{uid, slot};
            schedule_add_inherited(&l->schedule, uid);
        }
    }
    closedir(dir);
    clock_gettime(CLOCK_MONOTONIC, &l->now);
    add_probe_time(l);
}

// Once a second while any is left: a slot no longer held is a request that has ended.
void probe_inherited(listener_t *l) {
    if (l->inherited_count == 0 || ms_between(&l->now, &l->probe_at) > 0) {
        return;
    }
    for (int i = 0; i < l->inherited_count;) {
        if (held_elsewhere(l->inherited[i].uid, l->inherited[i].slot)) {
            ++i;
            continue;
        }
        schedule_release_inherited(&l->schedule, l->inherited[i].uid);
        l->inherited[i] = l->inherited[--l->inherited_count];
    }
    add_probe_time(l);
}
