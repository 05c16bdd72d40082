// vornexd: the listener of the socket. See listener.h for what it guarantees.

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/option.h"
#include "listener/listener.h"

namespace {

// As the front-end's record, mapped on its own: fresh pages read as zero.
listener_t *new_listener() {
    void *record = mmap(nullptr, sizeof(listener_t), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (record == MAP_FAILED) {
        stop("mapping the record");
    }
    auto *l = static_cast<listener_t *>(record);
    l->signals = -1;
    l->null_fd = -1;
    return l;
}

// "--per-uid N" bounds the live requests of one uid; "--idle-exit SECONDS" (0: never).
void parse_options(int argc, char **argv, listener_t *l) {
    l->per_uid_max = per_uid_default;
    l->idle_exit = idle_exit_default;
    for (int i = 1; i < argc; ++i) {
        long value = -1;
        if (take_option(argc, argv, &i, "--per-uid", 1, per_uid_limit, &value)) {
            l->per_uid_max = static_cast<int>(value);
        } else if (take_option(argc, argv, &i, "--idle-exit", 0, idle_exit_limit, &value)) {
            l->idle_exit = static_cast<int>(value);
        }
        if (value < 0) {
            syslog(LOG_ERR,
                   "usage: vornexd [--per-uid N] [--idle-exit SECONDS] (N from 1 to %d, "
                   "SECONDS from 0 to %d)",
                   per_uid_limit, idle_exit_limit);
            _exit(1);
        }
    }
}

// Descriptors 0 to 2 are open (on /dev/null when they were not), so that no connection or
// slot file is ever given one of their numbers; descriptor 1 of every front-end is /dev/null.
void open_standard_fds(listener_t *l) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR | O_NOCTTY) != fd) {
            stop("opening the standard descriptors");
        }
    }
    l->null_fd = open("/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (l->null_fd < 0) {
        stop("opening /dev/null");
    }
}

// Descriptor 3 is the listening socket when LISTEN_PID names this process and LISTEN_FDS is
// 1; the variables go, so that no front-end sees them.
void take_socket() {
    const char *pid = getenv("LISTEN_PID");
    const char *fds = getenv("LISTEN_FDS");
    if (pid == nullptr || fds == nullptr || option_value(pid, 1, INT32_MAX) != getpid() ||
        strcmp(fds, "1") != 0) {
        syslog(LOG_ERR, "no listening socket handed over (LISTEN_PID, LISTEN_FDS=1)");
        _exit(1);
    }
    if (unsetenv("LISTEN_PID") != 0 || unsetenv("LISTEN_FDS") != 0 ||
        unsetenv("LISTEN_FDNAMES") != 0) {
        stop("removing LISTEN_PID and LISTEN_FDS");
    }
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    bool usable =
        getsockopt(listen_fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_SEQPACKET;
    length = sizeof listening;
    usable = usable && getsockopt(listen_fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 &&
             listening != 0;
    if (!usable || fcntl(listen_fd, F_SETFD, FD_CLOEXEC) < 0 ||
        fcntl(listen_fd, F_SETFL, fcntl(listen_fd, F_GETFL) | O_NONBLOCK) < 0) {
        syslog(LOG_ERR, "descriptor 3 is not a listening sequential-packet socket");
        _exit(1);
    }
}

// The ends of the front-ends arrive as SIGCHLD on a descriptor; the front-ends start with
// every signal unblocked and at its default.
void watch_children(listener_t *l) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) < 0) {
        stop("blocking SIGCHLD");
    }
    l->signals = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (l->signals < 0) {
        stop("signalfd");
    }
}

}  // namespace

void stop(const char *what) {
    syslog(LOG_ERR, "cannot start: %s: %s", what, strerror(errno));
    _exit(1);
}

int main(int argc, char **argv) {
    openlog(listener_ident, LOG_PID, LOG_AUTHPRIV);
    listener_t *l = new_listener();
    parse_options(argc, argv, l);
    take_socket();
    open_standard_fds(l);
    watch_children(l);
    schedule_init(&l->schedule, l->per_uid_max);
    count_inherited(l);
    serve(l);
    closelog();
    return 0;
}
