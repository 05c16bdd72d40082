// The listener: the socket's one process, started by the service manager (or its activator)
// with the listening socket as descriptor 3. It runs as root and accepts from any local user,
// so:
//   - the caller's uid comes from the kernel (SO_PEERCRED) and is the only thing it learns of
//     a connection: it never reads a connection's bytes;
//   - a connection is bounded before anything is spent on it (see schedule.h): over a bound it
//     gets a short refusal sent without waiting, and no process is started;
//   - every connection that starts is served by a fresh image of the front-end, with the
//     connection as descriptor 0 and its locked slot file as 3, and nothing else of ours;
//   - no failure of a start or of accept ends it: it pauses a moment and goes on. It ends
//     only after --idle-exit seconds with nothing waiting and nothing live.
#pragma once

#include <csignal>
#include <ctime>

#include <sys/types.h>

#include "common/facts.h"
#include "common/slot.h"
#include "listener/schedule.h"

constexpr const char listener_ident[] = "vornexd";
constexpr int listen_fd = 3;
constexpr int idle_exit_default = 60;
constexpr int idle_exit_limit = 86400;

// At most one line per interval for refusals and for failed starts; the ones left out are
// counted in the next.
struct log_limit_t {
    bool logged;
    struct timespec last;
    long left_out;
};

// A slot found locked at start, held by a front-end of an earlier listener.
struct inherited_t {
    uid_t uid;
    int slot;
};

struct listener_t {
    int per_uid_max;
    int idle_exit;
    int signals;
    int null_fd;
    struct timespec now;
    // Accepting and starting pause after a failure until these times.
    struct timespec accept_paused_until;
    struct timespec starts_paused_until;
    struct timespec busy_at;
    struct timespec probe_at;
    log_limit_t refusals;
    log_limit_t failures;
    int inherited_count;
    inherited_t inherited[global_live_max];
    schedule_t schedule;
};

[[noreturn]] void stop(const char *what);

// The slot files (slots.cc).
enum class slot_status { taken, busy, failed, later };
// A free slot of `uid` locked, its descriptor in `fd`.
slot_status take_slot(const listener_t *l, uid_t uid, int *fd);
void count_inherited(listener_t *l);
void probe_inherited(listener_t *l);

// Accepting and starting (serve.cc).
void serve(listener_t *l);

bool log_due(log_limit_t *limit, const struct timespec *now);
long ms_between(const struct timespec *from, const struct timespec *to);
