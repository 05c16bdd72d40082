#include <cstdio>
#include <cstring>

#include <syslog.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/log_formats.h"
#include "driver/names.h"

namespace {}  // namespace

void exit_with_error(int status, const char *message) {
    closelog();
    // Standard error is unbuffered; the message and its newline go out in one write.
    fprintf(stderr, "%s\n", message);
    fflush(stderr);
    _exit(status);
}

void exit_prog(int status) {
    if (status != 0) {
        exit_with_error(status, error_message);
    }
    closelog();
    _exit(0);
}

void exit_unauthorized() {
    exit_with_error(1, unauthorized_message);
}

void exit_err(const char *program) {
    // The connection may have been closed just before a failed exec.
    open_log(log_ident);
    syslog(LOG_ERR, log_cant_start, program);
    exit_prog(1);
}
