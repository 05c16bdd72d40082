// vornex-frontend: the front-end of one connection. See frontend.h for what it guarantees.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

#include "common/option.h"
#include "frontend/frontend.h"

namespace {

// The record is mapped on its own: fresh pages read as zero and are touched only as far as a
// request uses its buffers (on the stack they would be probed page by page at start, and
// zeroed, for a request that uses a few hundred bytes of them).
frontend_t *new_frontend() {
    void *record = mmap(nullptr, sizeof(frontend_t), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (record == MAP_FAILED) {
        syslog(LOG_ERR, "cannot start: %s", strerror(errno));
        _exit(1);
    }
    auto *fe = static_cast<frontend_t *>(record);
    fe->connection = STDIN_FILENO;
    fe->slot_fd = -1;
    return fe;
}

// "--per-uid N" bounds the connections one uid holds at once. "--slot-fd N": the listener
// took the slot and handed its locked file over as descriptor N, kept (close-on-exec) until
// the front-end ends.
void parse_options(int argc, char **argv, frontend_t *fe) {
    fe->per_uid_max = per_uid_default;
    for (int i = 1; i < argc; ++i) {
        long value = -1;
        if (take_option(argc, argv, &i, "--per-uid", 1, per_uid_limit, &value)) {
            fe->per_uid_max = static_cast<int>(value);
        } else if (take_option(argc, argv, &i, "--slot-fd", STDERR_FILENO + 1, INT_MAX, &value)) {
            if (value > 0 && fcntl(static_cast<int>(value), F_SETFD, FD_CLOEXEC) < 0) {
                value = -1;
            }
            fe->slot_fd = static_cast<int>(value);
        }
        if (value < 0) {
            syslog(LOG_ERR, "usage: vornex-frontend [--per-uid N] [--slot-fd FD] (N from 1 to %d)",
                   per_uid_limit);
            _exit(1);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    // The log is connected with its first line, which on the way of a request that is served
    // is the audit line, after the reply.
    openlog(frontend_ident, LOG_PID, LOG_AUTHPRIV);
    frontend_t *fe = new_frontend();
    parse_options(argc, argv, fe);
    identify_peer(fe);
    take_slot(fe);
    receive_request(fe);
    check_request(fe);
    if (fe->listing) {
        answer_list(fe, fe->list_flags);
    }
    check_descriptors(fe);
    start_server(fe);
    supervise(fe);
    finish(fe);
}
