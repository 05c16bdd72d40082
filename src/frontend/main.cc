// vornexd: the front-end of one connection. See frontend.h for what it guarantees.

#include <cstdlib>
#include <cstring>

#include <syslog.h>
#include <unistd.h>

#include "frontend/frontend.h"

namespace {

// "--per-uid N" bounds the connections one uid holds at once.
void parse_options(int argc, char **argv, frontend_t *fe) {
    fe->per_uid_max = per_uid_default;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--per-uid") == 0 && i + 1 < argc) {
            char *end = nullptr;
            long value = strtol(argv[++i], &end, 10);
            if (*end == '\0' && value >= 1 && value <= per_uid_limit) {
                fe->per_uid_max = static_cast<int>(value);
                continue;
            }
        }
        syslog(LOG_ERR, "usage: vornexd [--per-uid N] (N from 1 to %d)", per_uid_limit);
        _exit(1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    frontend_t fe{};
    fe.connection = STDIN_FILENO;
    fe.slot_fd = -1;
    openlog(frontend_ident, LOG_PID | LOG_NDELAY, LOG_AUTHPRIV);
    parse_options(argc, argv, &fe);
    identify_peer(&fe);
    take_slot(&fe);
    receive_request(&fe);
    check_request(&fe);
    start_server(&fe);
    supervise(&fe);
    finish(&fe);
}
