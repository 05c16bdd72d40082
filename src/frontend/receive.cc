// Taking the request in: who is calling, whether that uid has a free slot, the one request
// message with its descriptors, and whether the name asked for is the caller's own.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/common.h"
#include "frontend/frontend.h"

namespace {

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
        refuse(fe, "no request received in time");
    }
    if (ready < 0) {
        fail(fe, "poll on the connection");
    }
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
        refuse(fe, "connection closed without a request");
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        refuse(fe, "request too large");
    }
    if (is_list_query(fe->raw, static_cast<size_t>(received))) {
        if (fe->fd_count != 0) {
            refuse(fe, "a list query carries no descriptors");
        }
        wire_status status = decode_list_query(fe->raw, static_cast<size_t>(received), &fe->request,
                                               &fe->list_flags);
        if (status != wire_status::ok) {
            refuse(fe, wire_status_text(status));
        }
        fe->listing = true;
        fe->have_request = true;
        return;
    }
    if ((message.msg_flags & MSG_CTRUNC) != 0 || fe->fd_count != request_fd_count) {
        refuse(fe, "a request carries exactly three descriptors");
    }
    wire_status status = decode_request(fe->raw, static_cast<size_t>(received), &fe->request);
    if (status != wire_status::ok) {
        refuse(fe, wire_status_text(status));
    }
    fe->have_request = true;
}

// The name must be an account of the caller's own uid.
void check_request(frontend_t *fe) {
    struct passwd entry {};
    struct passwd *found = nullptr;
    int error =
        getpwnam_r(fe->request.name, &entry, fe->passwd_buffer, sizeof fe->passwd_buffer, &found);
    if (error != 0 || found == nullptr || entry.pw_uid != fe->peer.uid) {
        char name[4 * name_length_max + 4];
        escape_text(fe->request.name, name, sizeof name);
        syslog(LOG_WARNING, "uid %u (pid %d) asked for user \"%s\", which is not theirs",
               fe->peer.uid, static_cast<int>(fe->peer.pid), name);
        refuse(fe, "the user name asked for is not yours");
    }
}

void close_received_fds(frontend_t *fe) {
    for (int i = 0; i < fe->fd_count; ++i) {
        close(fe->fds[i]);
    }
    fe->fd_count = 0;
}
