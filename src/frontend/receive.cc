// Taking the request in: who is calling, whether that uid has a free slot, the one request
// message with its descriptors, and whether the name asked for is the caller's own.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "common/child.h"
#include "common/common.h"
#include "frontend/frontend.h"

namespace {

constexpr size_t proc_fd_path_size = 32;
constexpr unsigned null_major = 1;
constexpr unsigned null_minor = 3;
// The exit status of the reopening child that could not take the caller's identity; below
// it, one bit per descriptor that could not be reopened.
constexpr int identity_failed_status = 64;

// Every descriptor of every SCM_RIGHTS message part, in order; the count goes past the array
// only in what is counted, never in what is stored.
void collect_fds(frontend_t *fe, struct msghdr *message) {
    for (struct cmsghdr *c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char *data = CMSG_DATA(c);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            memcpy(&fd, data + i * sizeof(int), sizeof fd);
            if (fe->fd_count < received_fd_max) {
                fe->fds[fe->fd_count++] = fd;
            } else {
                close(fd);
            }
        }
    }
}

void wait_for_request(frontend_t *fe) {
    struct pollfd p {
        fe->connection, POLLIN, 0
    };
    int ready = -1;
    do {
        ready = poll(&p, 1, request_timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        refuse_as(fe, end_kind::no_request, 0, "no request received in time");
    }
    if (ready < 0) {
        fail(fe, "poll on the connection");
    }
}

const char *look_at_socket(int fd) {
    int domain = 0;
    int type = 0;
    socklen_t length = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) < 0 || domain != AF_UNIX) {
        return "a socket other than a Unix socket";
    }
    length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) < 0 ||
        (type != SOCK_STREAM && type != SOCK_SEQPACKET)) {
        return "a datagram socket";
    }
    struct sockaddr_un peer {};
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &length) < 0) {
        return "an unconnected socket";
    }
    return nullptr;
}

// /dev/null, or a terminal of the caller's own (the first one names the request's terminal).
// A device of anyone else is not even asked whether it is a terminal.
const char *look_at_device(frontend_t *fe, int fd, const struct statx *status) {
    if (status->stx_rdev_major == null_major && status->stx_rdev_minor == null_minor) {
        return nullptr;
    }
    if (status->stx_uid != fe->peer.uid || isatty(fd) == 0) {
        return "a device other than /dev/null or a terminal of yours";
    }
    if (fe->tty[0] == '\0' && ttyname_r(fd, fe->tty, sizeof fe->tty) != 0) {
        fe->tty[0] = '\0';
    }
    return nullptr;
}

// Why descriptor `index` is refused, or nullptr; a regular file is accepted here only as far
// as `*regular`, which the reopening child decides. The status is taken without asking a
// file system's server (a user's own FUSE mount could keep it waiting).
const char *look_at(frontend_t *fe, int index, bool *regular) {
    int fd = fe->fds[index];
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_PATH) != 0) {
        return "a path-only descriptor";
    }
    int mode = flags & O_ACCMODE;
    if (index == STDIN_FILENO && mode != O_RDONLY && mode != O_RDWR) {
        return "not open for reading";
    }
    if (index != STDIN_FILENO && mode != O_WRONLY && mode != O_RDWR) {
        return "not open for writing";
    }
    struct statx status {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_UID, &status) < 0) {
        return "a descriptor that cannot be examined";
    }
    switch (status.stx_mode & S_IFMT) {
        case S_IFIFO:
            return nullptr;
        case S_IFSOCK:
            return look_at_socket(fd);
        case S_IFCHR:
            return look_at_device(fe, fd, &status);
        case S_IFREG:
            *regular = true;
            return nullptr;
        case S_IFDIR:
            return "a directory";
        case S_IFBLK:
            return "a block device";
        default:
            return "an anonymous or special descriptor";
    }
}

// The caller's supplementary groups as the kernel saw them at connect time; those of the
// account asked for where the kernel cannot tell. -1 when neither is known.
int caller_groups(frontend_t *fe) {
    socklen_t length = sizeof fe->groups;
    if (getsockopt(fe->connection, SOL_SOCKET, SO_PEERGROUPS, fe->groups, &length) == 0) {
        return static_cast<int>(length / sizeof(gid_t));
    }
    int count = peer_groups_max;
    if (getgrouplist(fe->request.name, fe->peer.gid, fe->groups, &count) >= 0) {
        return count;
    }
    return -1;
}

// In the child: the caller's identity, then each marked descriptor opened anew through
// /proc/self/fd with its own access mode, never creating, truncating, waiting or taking a
// terminal. The exit status tells which could not be opened.
[[noreturn]] void reopen_as_caller(const frontend_t *fe, int group_count, const int *modes) {
    uid_t uid = fe->peer.uid;
    gid_t gid = fe->peer.gid;
    if (setgroups(static_cast<size_t>(group_count), fe->groups) < 0 ||
        setresgid(gid, gid, gid) < 0 || setresuid(uid, uid, uid) < 0) {
        _exit(identity_failed_status);
    }
    int failed = 0;
    for (int i = 0; i < request_fd_count; ++i) {
        if (modes[i] < 0) {
            continue;
        }
        char path[proc_fd_path_size];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fe->fds[i]);
        int fd = open(path, modes[i] | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            failed |= 1 << i;
        } else {
            close(fd);
        }
    }
    _exit(failed);
}

struct reopen_child_t {
    const frontend_t *fe;
    int group_count;
    const int *modes;
};

void reopen_child(const void *context) {
    const auto *c = static_cast<const reopen_child_t *>(context);
    reopen_as_caller(c->fe, c->group_count, c->modes);
}

// Opens the regular files marked in `modes` anew as the caller; the bits of those that could
// not be opened, or -1 when the check itself could not be made or took longer than its limit.
int reopen_check(frontend_t *fe, const int *modes) {
    int group_count = caller_groups(fe);
    if (group_count < 0) {
        fail(fe, "the caller's groups");
    }
    reopen_child_t context{fe, group_count, modes};
    int status = 0;
    child_end end = run_bounded_child(reopen_child, &context, descriptor_check_timeout_ms, &status);
    if (end == child_end::not_started) {
        fail(fe, "starting the descriptor check");
    }
    if (end == child_end::lost) {
        fail(fe, "waiting for the descriptor check");
    }
    if (end != child_end::ended || !WIFEXITED(status) ||
        WEXITSTATUS(status) >= identity_failed_status) {
        return -1;
    }
    return WEXITSTATUS(status);
}

const char *unopenable(int mode) {
    if (mode == O_RDONLY) {
        return "a file you cannot open for reading";
    }
    return mode == O_WRONLY ? "a file you cannot open for writing"
                            : "a file you cannot open for reading and writing";
}

}  // namespace

void identify_peer(frontend_t *fe) {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fe->connection, SOL_SOCKET, SO_TYPE, &type, &length) < 0 ||
        type != SOCK_SEQPACKET) {
        syslog(LOG_ERR, "standard input is not a sequential-packet connection");
        _exit(1);
    }
    length = sizeof fe->peer;
    if (getsockopt(fe->connection, SOL_SOCKET, SO_PEERCRED, &fe->peer, &length) < 0) {
        syslog(LOG_ERR, "cannot read the peer's credentials: %s", strerror(errno));
        _exit(1);
    }
    snprintf(fe->pid_text, sizeof fe->pid_text, "%d", static_cast<int>(fe->peer.pid));
    clock_gettime(CLOCK_MONOTONIC, &fe->start);
}

// One lock file per slot; the first that can be locked without waiting is this connection's
// until the front-end ends (the server and the command never inherit it). Started by the
// listener, the front-end holds its slot already (--slot-fd).
void take_slot(frontend_t *fe) {
    if (fe->slot_fd >= 0) {
        return;
    }
    for (int slot = 0; slot < fe->per_uid_max; ++slot) {
        char path[slot_path_size];
        format_slot_path(fe->peer.uid, slot, path, sizeof path);
        int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
        if (fd < 0) {
            syslog(LOG_ERR, "cannot open slot file %s: %s", path, strerror(errno));
            fail(fe, "slot file");
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fe->slot_fd = fd;
            return;
        }
        close(fd);
    }
    refuse(fe, "too many requests of this user at once");
}

void receive_request(frontend_t *fe) {
    wait_for_request(fe);
    alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int) * received_fd_max)];
    struct iovec vector {
        fe->raw, sizeof fe->raw
    };
    struct msghdr message {};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received = recvmsg(fe->connection, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (received < 0) {
        fail(fe, "receiving the request");
    }
    collect_fds(fe, &message);
    if (received == 0) {
        refuse_as(fe, end_kind::no_request, 0, "connection closed without a request");
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        refuse_as(fe, end_kind::malformed, 0, "request too large");
    }
    if (is_list_query(fe->raw, static_cast<size_t>(received))) {
        if (fe->fd_count != 0) {
            refuse_as(fe, end_kind::malformed, 0, "a list query carries no descriptors");
        }
        wire_status status = decode_list_query(fe->raw, static_cast<size_t>(received),
                                               &fe->request_storage, &fe->request, &fe->list_flags);
        if (status != wire_status::ok) {
            refuse_as(fe, end_kind::malformed, 0, wire_status_text(status));
        }
        fe->listing = true;
        fe->have_request = true;
        return;
    }
    if ((message.msg_flags & MSG_CTRUNC) != 0 || fe->fd_count != request_fd_count) {
        refuse_as(fe, end_kind::malformed, 0, "a request carries exactly three descriptors");
    }
    wire_status status =
        decode_request(fe->raw, static_cast<size_t>(received), &fe->request_storage, &fe->request);
    if (status != wire_status::ok) {
        refuse_as(fe, end_kind::malformed, 0, wire_status_text(status));
    }
    fe->have_request = true;
}

// The name must be an account of the caller's own uid; the alias and the working directory
// reach the server's log lines, so they hold no control byte.
void check_request(frontend_t *fe) {
    if (has_control_byte(fe->request.alias)) {
        refuse_as(fe, end_kind::control_byte, 0, "the alias holds a control byte");
    }
    if (has_control_byte(fe->request.cwd)) {
        refuse_as(fe, end_kind::control_byte, 0, "the working directory holds a control byte");
    }
    struct passwd entry {};
    struct passwd *found = nullptr;
    int error =
        getpwnam_r(fe->request.name, &entry, fe->passwd_buffer, sizeof fe->passwd_buffer, &found);
    if (error != 0 || found == nullptr || entry.pw_uid != fe->peer.uid) {
        char name[escaped_size(name_length_max)];
        escape_text(fe->request.name, name, sizeof name);
        syslog(LOG_WARNING, "uid %u (pid %d) asked for user \"%s\", which is not theirs",
               fe->peer.uid, static_cast<int>(fe->peer.pid), name);
        refuse_as(fe, end_kind::not_yours, 0, "the user name asked for is not yours");
    }
}

void close_received_fds(frontend_t *fe) {
    for (int i = 0; i < fe->fd_count; ++i) {
        close(fe->fds[i]);
    }
    fe->fd_count = 0;
}

void check_descriptors(frontend_t *fe) {
    int modes[request_fd_count] = {-1, -1, -1};
    bool any_regular = false;
    for (int i = 0; i < request_fd_count; ++i) {
        bool regular = false;
        const char *why = look_at(fe, i, &regular);
        if (why != nullptr) {
            refuse_as(fe, end_kind::descriptor, i, why);
        }
        if (regular) {
            int flags = fcntl(fe->fds[i], F_GETFL);
            // An append-only file opens for writing only in append mode.
            modes[i] = (flags & O_ACCMODE) | (flags & O_APPEND);
            any_regular = true;
        }
    }
    if (!any_regular) {
        return;
    }
    int failed = reopen_check(fe, modes);
    for (int i = 0; i < request_fd_count; ++i) {
        if (modes[i] >= 0 && (failed < 0 || (failed & (1 << i)) != 0)) {
            refuse_as(
                fe, end_kind::descriptor, i,
                failed < 0 ? "a file that could not be checked" : unopenable(modes[i] & O_ACCMODE));
        }
    }
}
