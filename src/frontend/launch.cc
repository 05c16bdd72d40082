// Starting the server and waiting for the request to end.
//
// Signals reach only the command, never the server: the server runs as root, holds a name's
// lock and counts failed attempts, and a user who could interrupt it could keep failures from
// being counted. A forwarded signal, or the client's hangup, that arrives while the child is
// still the server (or its validator) is held, and delivered to the child's process group once
// the child runs the command; it is dropped when the request ends first.
//
// The server reports on a socket of its own (its descriptor 3, close-on-exec in the server):
// first an announcement, then the command it is about to run, or how the request ended. The
// command runs once `runs` has come and the socket has closed at the exec. A server that has
// reported its end is killed when it is not gone soon after (all it has left to do is write
// its one line, and a full pipe as standard error would hold it); before that record it is
// never signalled. Of a server that does not announce a report, the command is told by its
// program file.
//
// Job control: a stop the client passes on (SIGTSTP, SIGTTIN or SIGTTOU) is held in the same
// way, then sent to the command's process group; a command that has not stopped within a short
// grace (it may ignore or handle the signal) gets SIGSTOP, and once the child reports the stop
// the client is told, and stops itself. A child that cannot stop even then (one waiting for a
// child that shares its memory until that child starts a program, when the stop has stopped
// that child first) is not waited for without end: the client is told a second later, and
// the stop, pending, takes effect as soon as the child can act on it. SIGCONT from the client
// continues the group. A client that goes away while the command is stopped leaves it a
// hangup and then SIGCONT, so that no stopped command is left behind. SIGWINCH reaches a
// running command and is dropped before.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "frontend/frontend.h"

namespace {

constexpr const char fixed_path[] =
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr const char frontend_marker[] = "vornexd";
constexpr size_t env_entry_size = 1100;
constexpr size_t env_count_max = 6 + env_entry_count_max;
constexpr const char zoneinfo_prefix[] = "/usr/share/zoneinfo/";
constexpr int report_fd_number = 3;
constexpr const char report_fd_setting[] = "VORNEX_REPORT_FD=3";
constexpr long ms_per_s = 1000L;
constexpr long ns_per_ms = 1000000L;
constexpr size_t fixed_arg_count = 6;
constexpr int held_poll_ms = 10;
// How long a command has to stop by the client's stop signal before it gets SIGSTOP.
constexpr int stop_grace_ms = 500;
// How long SIGSTOP has to be reported before the client is told all the same.
constexpr int stop_report_ms = 1000;

bool is_forwarded(int signal_number) {
    return signal_number == SIGHUP || signal_number == SIGINT || signal_number == SIGQUIT ||
           signal_number == SIGTERM;
}

bool is_stop(int signal_number) {
    return signal_number == SIGTSTP || signal_number == SIGTTIN || signal_number == SIGTTOU;
}

// A plain terminal name: letters, digits, "-", "_", "." and "+", 1 to 64 bytes.
bool is_plain_term(const char *term) {
    size_t length = strlen(term);
    if (length == 0 || length > term_length_max) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        char c = term[i];
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_' || c == '.' || c == '+';
        if (!plain) {
            return false;
        }
    }
    return true;
}

bool is_zone_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '+' || c == '-';
}

// An optional ":", then components of letters, digits, "_", "+" and "-" joined by single
// "/", none beginning with ".", optionally under the zone database's directory: a name that
// can only lead into that directory or be a rule such as "UTC+2".
bool is_safe_zone(const char *value) {
    if (*value == ':') {
        ++value;
    }
    if (strncmp(value, zoneinfo_prefix, sizeof zoneinfo_prefix - 1) == 0) {
        value += sizeof zoneinfo_prefix - 1;
    }
    bool component_start = true;
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p == '/') {
            if (component_start) {
                return false;
            }
            component_start = true;
            continue;
        }
        if (!is_zone_byte(*p)) {
            return false;
        }
        component_start = false;
    }
    return !component_start;
}

// The caller's language and time zone pass when they cannot make a root program read a file
// of the caller's choosing: no "/" or "%" in a locale name (a path to a locale, a format),
// a zone name as above. The variables that change how a program reads its input (LC_ALL,
// LC_CTYPE, LC_COLLATE, LC_NUMERIC) never pass.
bool is_passed_variable(const char *entry) {
    const char *equals = strchr(entry, '=');
    if (equals == nullptr || strlen(equals + 1) > env_value_length_max) {
        return false;
    }
    auto name_length = static_cast<size_t>(equals - entry);
    const char *value = equals + 1;
    if (name_length == 2 && strncmp(entry, "TZ", 2) == 0) {
        return is_safe_zone(value);
    }
    static constexpr const char *locale_names[] = {"LANG", "LANGUAGE", "LC_MESSAGES", "LC_TIME"};
    for (const char *name : locale_names) {
        if (strlen(name) == name_length && strncmp(entry, name, name_length) == 0) {
            return value[0] != '\0' && strpbrk(value, "/%") == nullptr;
        }
    }
    return false;
}

struct launch_t {
    const char *argv[fixed_arg_count + arg_count_max + 1];
    char env_storage[env_count_max][env_entry_size];
    const char *envp[env_count_max + 1];
};

void add_env(launch_t *l, size_t *count, const char *name, const char *value) {
    // Every value is bounded well below the entry size (token 1023, name 255, term 64).
    snprintf(l->env_storage[*count], env_entry_size, "%s=%s", name, value);
    l->envp[*count] = l->env_storage[*count];
    ++*count;
}

void build_launch(const frontend_t *fe, launch_t *l) {
    const request_t *r = &fe->request;
    const char *fixed[fixed_arg_count] = {server_path, frontend_marker, r->name,
                                          r->cwd,      r->alias,        fe->pid_text};
    for (size_t i = 0; i < fixed_arg_count; ++i) {
        l->argv[i] = fixed[i];
    }
    for (size_t i = 0; i < r->arg_count; ++i) {
        l->argv[fixed_arg_count + i] = r->args[i];
    }
    l->argv[fixed_arg_count + r->arg_count] = nullptr;
    size_t count = 0;
    l->envp[count++] = fixed_path;
    if (is_plain_term(r->term)) {
        add_env(l, &count, "TERM", r->term);
    }
    add_env(l, &count, "VORNEX_USER", r->name);
    add_env(l, &count, "VORNEX_TOKEN", r->token);
    // One entry per name: the first of a name counts.
    for (size_t i = 0; i < r->env_count; ++i) {
        const char *entry = r->env[i];
        size_t name_length = strcspn(entry, "=");
        bool seen = false;
        for (size_t j = 0; j < i; ++j) {
            seen = seen || strncmp(r->env[j], entry, name_length + 1) == 0;
        }
        if (!seen && is_passed_variable(entry)) {
            l->envp[count++] = entry;
        }
    }
    l->envp[count++] = report_fd_setting;
    l->envp[count] = nullptr;
}

// Whether the child has become the command: its program is no longer the server (the child
// runs the server from the moment posix_spawn returns).
bool runs_command(pid_t child, const struct stat *server_file) {
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(child));
    struct stat now {};
    if (stat(path, &now) < 0) {
        return false;
    }
    return now.st_dev != server_file->st_dev || now.st_ino != server_file->st_ino;
}

long now_ms() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * ms_per_s + now.tv_nsec / ns_per_ms;
}

struct watch_t {
    unsigned held;  // bit per forwarded signal number
    bool command_running;
    int stop_signal;       // the client's stop, until it is answered (0: none)
    bool stop_sent;        // stop_signal went to the command's group at stop_sent_ms
    bool stop_forced;      // SIGSTOP followed
    bool command_stopped;  // as the child last reported
    long stop_sent_ms;
    bool connection_open;
    bool report_open;
    bool old_server;    // the report closed unannounced: a server that does not report
    bool server_known;  // without the server's identity an old server's command is never told
    struct stat server_file;
    long started_ms;
    long end_ms;  // when the end record came
};

bool command_started(const frontend_t *fe, const watch_t *w) {
    if (fe->announced) {
        return fe->runs_seen && fe->reported_end == end_kind::none &&
               (!w->report_open || (w->server_known && runs_command(fe->child, &w->server_file)));
    }
    return w->old_server && w->server_known && runs_command(fe->child, &w->server_file);
}

bool command_runs(const frontend_t *fe, watch_t *w) {
    w->command_running = w->command_running || command_started(fe, w);
    return w->command_running;
}

void signal_command(pid_t child, int signal_number) {
    if (kill(-child, signal_number) < 0) {
        kill(child, signal_number);  // the command left its process group
    }
}

void clear_stop(watch_t *w) {
    w->stop_signal = 0;
    w->stop_sent = false;
    w->stop_forced = false;
}

// A stop in progress is given up; the command continues (it is no longer stopped once the
// signal is sent).
void continue_command(const frontend_t *fe, watch_t *w) {
    clear_stop(w);
    signal_command(fe->child, SIGCONT);
    w->command_stopped = false;
}

// The client's stop, once the command runs: the signal, SIGSTOP after the grace, and the
// answer once the child has stopped, or once SIGSTOP has had its time.
void advance_stop(const frontend_t *fe, watch_t *w, long now) {
    bool overdue = w->stop_forced && now - w->stop_sent_ms >= stop_grace_ms + stop_report_ms;
    if (w->command_stopped || overdue) {
        unsigned char message[stopped_message_size];
        encode_stopped(message);
        send(fe->connection, message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
        clear_stop(w);
    } else if (!w->stop_sent) {
        signal_command(fe->child, w->stop_signal);
        w->stop_sent = true;
        w->stop_sent_ms = now;
    } else if (!w->stop_forced && now - w->stop_sent_ms >= stop_grace_ms) {
        signal_command(fe->child, SIGSTOP);
        w->stop_forced = true;
    }
}

void deliver_held(const frontend_t *fe, watch_t *w, long now) {
    if (!command_runs(fe, w)) {
        return;
    }
    for (int s : forwarded_signals) {
        if ((w->held & (1U << static_cast<unsigned>(s))) != 0) {
            signal_command(fe->child, s);
        }
    }
    w->held = 0;
    // Nobody is left to continue a stopped command: it goes on, to take the hangup.
    if (!w->connection_open) {
        continue_command(fe, w);
    }
    if (w->stop_signal != 0) {
        advance_stop(fe, w, now);
    }
}

bool is_server_end(end_kind kind) {
    return kind >= end_kind::refused && kind <= end_kind::crontab_check;
}

// One record of the server's; what comes before the announcement, or does not decode, is
// not relied on. The first end counts. Whether anything was there to read.
bool read_report(frontend_t *fe, watch_t *w) {
    unsigned char bytes[report_record_max];
    ssize_t got = recv(fe->report, bytes, sizeof bytes, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return false;
    }
    if (got <= 0) {
        w->report_open = false;
        w->old_server = !fe->announced;
        close(fe->report);
        fe->report = -1;
        return true;
    }
    report_record_t record{};
    if (decode_report_record(bytes, static_cast<size_t>(got), &record) < 0) {
        syslog(LOG_WARNING, "server %d: a report record that does not decode",
               static_cast<int>(fe->child));
        return true;
    }
    if (record.kind == end_kind::announce || !fe->announced) {
        fe->announced = record.kind == end_kind::announce;
        return true;
    }
    if (record.kind == end_kind::runs && !fe->runs_seen) {
        fe->runs_seen = true;
        memcpy(fe->runs_path, record.text, sizeof fe->runs_path);
        memcpy(fe->runs_account, record.detail, sizeof fe->runs_account);
    } else if (is_server_end(record.kind) && fe->reported_end == end_kind::none) {
        fe->reported_end = record.kind;
        fe->reported_number = record.number;
        memcpy(fe->reported_text, record.text, sizeof fe->reported_text);
        memcpy(fe->reported_detail, record.detail, sizeof fe->reported_detail);
        w->end_ms = now_ms();
    }
    return true;
}

// The server killed once its end is past the grace time; the stall logged once.
void check_deadlines(frontend_t *fe, watch_t *w, long now) {
    if (fe->reported_end != end_kind::none && !fe->killed && now - w->end_ms >= report_grace_ms) {
        // The child is not reaped yet: its pid is still the server's.
        if (kill(fe->child, SIGKILL) < 0) {
            syslog(LOG_ERR, "cannot kill server %d: %m", static_cast<int>(fe->child));
        }
        fe->killed = true;
    }
    if (!fe->stalled && !w->old_server && !fe->runs_seen && fe->reported_end == end_kind::none &&
        now - w->started_ms >= stall_after_ms) {
        log_stalled(fe);
    }
}

// The earlier of a wait (-1: none) and `ms` from now, never below 0.
long sooner(long wait, long ms) {
    long at_least_now = ms < 0 ? 0 : ms;
    return wait < 0 || at_least_now < wait ? at_least_now : wait;
}

// How long poll may wait: until the next deadline, or a short while when signals are held.
int next_timeout(const frontend_t *fe, const watch_t *w, long now) {
    long wait = -1;
    if (w->held != 0 || (w->stop_signal != 0 && !w->command_running)) {
        wait = sooner(wait, held_poll_ms);
    }
    if (w->stop_signal != 0 && w->command_stopped) {
        wait = 0;  // the answer is due
    } else if (w->stop_sent) {
        long due = w->stop_sent_ms + stop_grace_ms + (w->stop_forced ? stop_report_ms : 0);
        wait = sooner(wait, due - now);
    }
    if (fe->reported_end != end_kind::none && !fe->killed) {
        wait = sooner(wait, w->end_ms + report_grace_ms - now);
    }
    if (!fe->stalled && !w->old_server && !fe->runs_seen && fe->reported_end == end_kind::none) {
        wait = sooner(wait, w->started_ms + stall_after_ms - now);
    }
    return static_cast<int>(wait);
}

void read_connection(frontend_t *fe, watch_t *w) {
    unsigned char message[signal_message_size + 1];
    ssize_t got = recv(fe->connection, message, sizeof message, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        w->connection_open = false;
        w->held |= 1U << static_cast<unsigned>(SIGHUP);
        return;
    }
    int signal_number = decode_signal(message, static_cast<size_t>(got));
    if (is_forwarded(signal_number) || (signal_number == SIGWINCH && command_runs(fe, w))) {
        w->held |= 1U << static_cast<unsigned>(signal_number);
    } else if (is_stop(signal_number) && w->stop_signal == 0) {
        w->stop_signal = signal_number;
    } else if (signal_number == SIGCONT && command_runs(fe, w)) {
        continue_command(fe, w);
    } else if (signal_number == SIGCONT) {
        w->stop_signal = 0;  // a held stop is overtaken
    }
}

// Whether the child has ended; its stops and continuations are noted on the way.
bool child_ended(frontend_t *fe, watch_t *w) {
    int status = 0;
    while (waitpid(fe->child, &status, WNOHANG | WUNTRACED | WCONTINUED) == fe->child) {
        if (!WIFSTOPPED(status) && !WIFCONTINUED(status)) {
            fe->wait_status = status;
            return true;
        }
        w->command_stopped = WIFSTOPPED(status);
    }
    return false;
}

}  // namespace

// The server starts in a process group of its own, with the three received descriptors on 0,
// 1 and 2, its end of the report socket on 3 and no other, default signal handling and an
// empty signal mask. The child shares the front-end's memory until it executes the server
// (nothing is copied, and the front-end goes on only once the server runs or could not be
// started, which is then reported here).
void start_server(frontend_t *fe) {
    launch_t launch{};
    build_launch(fe, &launch);
    sigset_t child_mask;
    sigemptyset(&child_mask);
    sigaddset(&child_mask, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &child_mask, nullptr) < 0) {
        fail(fe, "preparing the server's start");
    }
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0) {
        fail(fe, "the report socket");
    }
    fe->report = pair[0];
    // A descriptor below 4 would be overwritten before it is moved; none of the received ones
    // is while 0, 1 and 2 are open, but a super-server might start the front-end without them,
    // and the report socket's end could take a number that a received one goes to.
    int *moving[request_fd_count + 1] = {&fe->fds[0], &fe->fds[1], &fe->fds[2], &pair[1]};
    for (int *fd : moving) {
        if (*fd <= report_fd_number) {
            int moved = fcntl(*fd, F_DUPFD_CLOEXEC, report_fd_number + 1);
            if (moved < 0) {
                fail(fe, "preparing the server's descriptors");
            }
            close(*fd);
            *fd = moved;
        }
    }
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    // Every signal back to its default action. sigfillset leaves out the two real-time signals
    // that the C library keeps for itself, and posix_spawn would leave those ignored in the
    // server and so in the command: every bit of the set is set instead.
    sigset_t all;
    sigset_t none;
    memset(&all, 0xff, sizeof all);
    sigemptyset(&none);
    bool ready = posix_spawnattr_init(&attributes) == 0;
    if (ready && posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        ready = false;
    }
    // A service manager may start the front-end with SIGPIPE ignored; neither the server nor
    // the command inherits an ignored signal from here.
    int error = ready ? 0 : ENOMEM;
    if (ready) {
        auto flags = static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETSIGMASK);
        error = posix_spawnattr_setflags(&attributes, flags);
        error = error != 0 ? error : posix_spawnattr_setpgroup(&attributes, 0);
        error = error != 0 ? error : posix_spawnattr_setsigdefault(&attributes, &all);
        error = error != 0 ? error : posix_spawnattr_setsigmask(&attributes, &none);
        for (int i = 0; i < request_fd_count && error == 0; ++i) {
            error = posix_spawn_file_actions_adddup2(&actions, fe->fds[i], i);
        }
        error = error != 0 ? error
                           : posix_spawn_file_actions_adddup2(&actions, pair[1], report_fd_number);
        error = error != 0
                    ? error
                    : posix_spawn_file_actions_addclosefrom_np(&actions, report_fd_number + 1);
        error = error != 0 ? error
                           : posix_spawn(&fe->child, server_path, &actions, &attributes,
                                         const_cast<char *const *>(launch.argv),
                                         const_cast<char *const *>(launch.envp));
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    close_received_fds(fe);
    close(pair[1]);
    if (error != 0) {
        syslog(LOG_ERR, "cannot execute %s: %s", server_path, strerror(error));
        fe->child = 0;
        errno = error;
        fail(fe, "starting the server");
    }
}

void supervise(frontend_t *fe) {
    watch_t w{};
    w.connection_open = true;
    w.report_open = true;
    w.started_ms = now_ms();
    w.server_known = stat(server_path, &w.server_file) == 0;
    if (!w.server_known) {
        syslog(LOG_ERR, "cannot tell the server from the command: %s", strerror(errno));
    }
    sigset_t child_mask;
    sigemptyset(&child_mask);
    sigaddset(&child_mask, SIGCHLD);
    int child_events = signalfd(-1, &child_mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (child_events < 0) {
        fail(fe, "signalfd");
    }
    while (!child_ended(fe, &w)) {
        struct pollfd p[3] = {{child_events, POLLIN, 0},
                              {w.connection_open ? fe->connection : -1, POLLIN, 0},
                              {w.report_open ? fe->report : -1, POLLIN, 0}};
        if (poll(p, 3, next_timeout(fe, &w, now_ms())) < 0 && errno != EINTR) {
            fail(fe, "poll while the request runs");
        }
        if ((p[0].revents & POLLIN) != 0) {
            struct signalfd_siginfo info {};
            while (read(child_events, &info, sizeof info) > 0) {
            }
        }
        if (p[1].revents != 0) {
            read_connection(fe, &w);
        }
        if (p[2].revents != 0) {
            read_report(fe, &w);
        }
        long now = now_ms();
        check_deadlines(fe, &w, now);
        if (w.held != 0 || w.stop_signal != 0) {
            deliver_held(fe, &w, now);
        }
    }
    // What the server sent just before it ended.
    while (w.report_open && read_report(fe, &w)) {
    }
    close(child_events);
}
