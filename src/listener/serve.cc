// The listener's loop: accept, bound, start in turn, count the ends, and end when idle.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <linux/sockios.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "listener/listener.h"
#include "wire/wire.h"

namespace {

// A flood is taken in rounds: this many accepts, then this many starts, then a look at the
// ends, so that neither starves the others.
constexpr int accept_batch = 64;
constexpr int start_batch = 8;
constexpr long pause_ms = 100;
constexpr long log_interval_ms = 10000;
constexpr const char busy_text[] = "too many requests of this user at once";
constexpr const char overloaded_text[] = "too many requests at once; try again in a moment";
constexpr const char failed_text[] = "the front-end failed; see the system log";

void pause_until(listener_t *l, struct timespec *until) {
    *until = l->now;
    until->tv_nsec += pause_ms * 1000000L;
    if (until->tv_nsec >= 1000000000L) {
        until->tv_nsec -= 1000000000L;
        ++until->tv_sec;
    }
}

bool paused(const listener_t *l, const struct timespec *until) {
    return ms_between(&l->now, until) > 0;
}

// The refusal never waits: the connection's queue holds nothing else of ours. The peer may
// have gone (MSG_NOSIGNAL).
void refuse(listener_t *l, int connection, uid_t uid, end_kind end, const char *text) {
    // The line is written before the caller is told, so that whoever reads the log after
    // the refusal came finds it there.
    if (log_due(&l->refusals, &l->now)) {
        if (l->refusals.left_out > 0) {
            syslog(LOG_WARNING,
                   "uid=%u outcome=refused:%s (%ld more refused since the last such "
                   "line)",
                   uid, end_kind_name(end), l->refusals.left_out);
        } else {
            syslog(LOG_WARNING, "uid=%u outcome=refused:%s", uid, end_kind_name(end));
        }
        l->refusals.left_out = 0;
    }
    reply_t message{reply_kind::refused, 1, end, 0, {}};
    snprintf(message.text, sizeof message.text, "%s", text);
    unsigned char reply[reply_size_max];
    size_t size = encode_reply(&message, reply, sizeof reply);
    if (size > 0 && send(connection, reply, size, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        // Gone already; nothing to tell.
    }
    close(connection);
}

void refuse_for(listener_t *l, int connection, uid_t uid, verdict decision) {
    if (decision == verdict::busy) {
        refuse(l, connection, uid, end_kind::busy, busy_text);
    } else {
        refuse(l, connection, uid, end_kind::overloaded, overloaded_text);
    }
}

// A peer that hung up without sending anything is not started for (the connect-and-close of
// a flood); its request, had it sent one, would be in the queue (SIOCINQ counts, never reads).
bool peer_gone(int connection) {
    struct pollfd p {
        connection, POLLIN, 0
    };
    int queued = 0;
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0 &&
           ioctl(connection, SIOCINQ, &queued) == 0 && queued == 0;
}

void note_failure(listener_t *l, const char *what, int error) {
    if (log_due(&l->failures, &l->now)) {
        syslog(LOG_ERR, "%s: %s (%ld more failures since the last such line)", what,
               strerror(error), l->failures.left_out);
        l->failures.left_out = 0;
    }
}

// The front-end with the connection as 0, /dev/null as 1, our 2, the slot file as 3, every
// signal at its default and unblocked; every other descriptor of ours is close-on-exec.
int spawn_frontend(const listener_t *l, int connection, int slot_fd, pid_t *pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, connection, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, l->null_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, slot_fd, listen_fd);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char name[] = "vornex-frontend";
    char option[] = "--slot-fd";
    char number[] = "3";
    char *argv[] = {name, option, number, nullptr};
    int error = posix_spawn(pid, frontend_path, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}

// One start; false when starts must pause (the connection is back at the head of its queue).
bool start(listener_t *l, const turn_t *turn) {
    int slot_fd = -1;
    slot_status slot = take_slot(l, turn->uid, &slot_fd);
    int error = slot == slot_status::later ? errno : 0;
    pid_t pid = -1;
    if (slot == slot_status::taken) {
        error = spawn_frontend(l, turn->connection, slot_fd, &pid);
        close(slot_fd);
    }
    if (slot == slot_status::busy) {
        refuse(l, turn->connection, turn->uid, end_kind::busy, busy_text);
    } else if (slot == slot_status::failed ||
               (error != 0 && error != EAGAIN && error != ENOMEM && error != EMFILE)) {
        if (error != 0) {
            note_failure(l, "cannot execute the front-end", error);
        }
        refuse(l, turn->connection, turn->uid, end_kind::frontend_failed, failed_text);
    } else if (error != 0) {
        note_failure(l, "cannot start a front-end now", error);
        if (!schedule_retry(&l->schedule, turn->uid, turn->connection)) {
            refuse(l, turn->connection, turn->uid, end_kind::overloaded, overloaded_text);
        }
        return false;
    } else {
        schedule_started(&l->schedule, turn->uid, pid);
        close(turn->connection);
    }
    return true;
}

void start_in_turn(listener_t *l) {
    turn_t turn{};
    for (int i = 0; i < start_batch && !paused(l, &l->starts_paused_until) &&
                    schedule_next(&l->schedule, &turn);
         ++i) {
        if (turn.decision != verdict::start) {
            refuse_for(l, turn.connection, turn.uid, turn.decision);
        } else if (peer_gone(turn.connection)) {
            close(turn.connection);
        } else if (!start(l, &turn)) {
            pause_until(l, &l->starts_paused_until);
        }
    }
}

// Accepting is cheap, and bounded per uid at once; a failure (out of descriptors, say)
// pauses it.
void accept_some(listener_t *l) {
    for (int i = 0; i < accept_batch && !paused(l, &l->accept_paused_until); ++i) {
        int connection = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (connection < 0) {
            if (errno != EINTR && errno != ECONNABORTED) {
                note_failure(l, "cannot accept a connection now", errno);
                pause_until(l, &l->accept_paused_until);
            }
            continue;
        }
        struct ucred peer {};
        socklen_t length = sizeof peer;
        if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) < 0) {
            close(connection);
            continue;
        }
        verdict decision = schedule_admit(&l->schedule, peer.uid, connection);
        if (decision != verdict::queued) {
            refuse_for(l, connection, peer.uid, decision);
        }
    }
}

void reap_children(listener_t *l) {
    struct signalfd_siginfo info {};
    ssize_t got = 0;
    do {
        got = read(l->signals, &info, sizeof info);
    } while (got == sizeof info);
    int status = 0;
    for (pid_t pid = waitpid(-1, &status, WNOHANG); pid > 0; pid = waitpid(-1, &status, WNOHANG)) {
        schedule_ended(&l->schedule, pid);
    }
}

// The earlier of `wait` (-1: none yet) and the time until `at`, when `applies`.
long earlier(const listener_t *l, long wait, bool applies, const struct timespec *at) {
    long ms = ms_between(&l->now, at);
    ms = ms < 0 ? 0 : ms;
    return applies && (wait < 0 || ms < wait) ? ms : wait;
}

// How long to sleep: not at all while connections wait to start, else until the next pause
// ends, the next probe of inherited slots, or the idle time is up; -1 for no limit.
int poll_timeout(const listener_t *l) {
    bool waiting = l->schedule.waiting_total > 0;
    if (waiting && !paused(l, &l->starts_paused_until)) {
        return 0;
    }
    struct timespec idle_end = l->busy_at;
    idle_end.tv_sec += l->idle_exit;
    long wait = earlier(l, -1, waiting, &l->starts_paused_until);
    wait = earlier(l, wait, paused(l, &l->accept_paused_until), &l->accept_paused_until);
    wait = earlier(l, wait, l->inherited_count > 0, &l->probe_at);
    wait = earlier(l, wait, l->idle_exit > 0 && schedule_idle(&l->schedule), &idle_end);
    // A millisecond more, so that the time is up when poll returns.
    return static_cast<int>(wait > 0 ? wait + 1 : wait);
}

// Idle long enough, and no connection waiting to be accepted (it would start the listener
// again at once).
bool idle_over(const listener_t *l) {
    if (l->idle_exit == 0 || !schedule_idle(&l->schedule) ||
        ms_between(&l->busy_at, &l->now) < l->idle_exit * 1000L) {
        return false;
    }
    struct pollfd p {
        listen_fd, POLLIN, 0
    };
    return poll(&p, 1, 0) == 0;
}

}  // namespace

bool log_due(log_limit_t *limit, const struct timespec *now) {
    if (limit->logged && ms_between(&limit->last, now) < log_interval_ms) {
        ++limit->left_out;
        return false;
    }
    limit->logged = true;
    limit->last = *now;
    return true;
}

long ms_between(const struct timespec *from, const struct timespec *to) {
    return (to->tv_sec - from->tv_sec) * 1000L + (to->tv_nsec - from->tv_nsec) / 1000000L;
}

void serve(listener_t *l) {
    clock_gettime(CLOCK_MONOTONIC, &l->now);
    l->busy_at = l->now;
    for (;;) {
        struct pollfd p[2] = {{l->signals, POLLIN, 0}, {listen_fd, POLLIN, 0}};
        nfds_t count = paused(l, &l->accept_paused_until) ? 1 : 2;
        int ready = poll(p, count, poll_timeout(l));
        clock_gettime(CLOCK_MONOTONIC, &l->now);
        if (ready < 0 && errno != EINTR) {
            note_failure(l, "poll", errno);
        }
        bool pending = count == 2 && (p[1].revents & POLLIN) != 0;
        if ((p[0].revents & POLLIN) != 0) {
            reap_children(l);
        }
        if (pending) {
            accept_some(l);
        }
        probe_inherited(l);
        start_in_turn(l);
        if (pending || !schedule_idle(&l->schedule)) {
            l->busy_at = l->now;
        }
        if (idle_over(l)) {
            return;
        }
    }
}
