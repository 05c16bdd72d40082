// The child runner. The child keeps everything of the parent (credentials, environment,
// working directory, container); only with the quiet flag are its output streams discarded.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "common/common.h"
#include "driver/log_formats.h"
#include "proc/proc.h"

namespace {

constexpr int signal_status_base = 128;

[[noreturn]] void run_child(const char *program, char *const argv[], int quiet) {
    if (quiet != 0) {
        // Failure to silence the child is not worth stopping it for: the results only
        // tell whether a stream is still usable, and the child goes on either way.
        bool silenced = freopen("/dev/null", "w", stdout) != nullptr;
        silenced = freopen("/dev/null", "w", stderr) != nullptr && silenced;
        (void)silenced;
    }
    execv(program, argv);
    int error = errno;
    open_log(forked_log_ident);
    syslog(LOG_ERR, log_execv_failed, strerror(error));
    // No stdio buffer inherited from the parent is flushed, no exit handler runs.
    _exit(1);
}

}  // namespace

int fold_wait_status(const char *program, int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    syslog(LOG_ERR, log_child_failed, program, status);
    if (WIFSIGNALED(status)) {
        return signal_status_base + WTERMSIG(status);
    }
    return -1;
}

int fork_execv(const char *program, char *const argv[], int quiet) {
    pid_t child = fork();
    if (child < 0) {
        syslog(LOG_ERR, log_fork_failed, strerror(errno));
        return -1;
    }
    if (child == 0) {
        run_child(program, argv, quiet);
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0) {
        // The kernel reaped the child itself (an inherited ignored SIGCHLD): its verdict
        // cannot be read, and a verdict that cannot be read never approves.
        if (errno != ECHILD) {
            syslog(LOG_ERR, log_waitpid_failed, program, strerror(errno));
        }
        return -1;
    }
    return fold_wait_status(program, status);
}
