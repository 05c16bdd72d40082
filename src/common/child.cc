// The child is waited for through a pidfd where the kernel has them, else by polling in
// steps that start short, since most children are done within a millisecond.

#include "common/child.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int killed_wait_ms = 1000;
constexpr int quick_polls = 20;
constexpr long quick_poll_nanoseconds = 100L * 1000;
constexpr long poll_nanoseconds = 10L * 1000 * 1000;
constexpr int64_t ms_per_second = 1000;
constexpr int64_t ns_per_ms = int64_t{1000} * 1000;
constexpr int body_returned_status = 127;

int64_t now_ms() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * ms_per_second + now.tv_nsec / ns_per_ms;
}

// 1 when the child ended within `ms` (reaped into `*status`), 0 when it is still running,
// -1 when it cannot be waited for.
int reap_within(pid_t child, int handle, int ms, int *status) {
    int64_t deadline = now_ms() + ms;
    for (int step = 0;; ++step) {
        pid_t ended = waitpid(child, status, WNOHANG);
        if (ended == child) {
            return 1;
        }
        if (ended < 0 && errno != EINTR) {
            return -1;
        }
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            return 0;
        }
        if (handle >= 0) {
            struct pollfd ready {
                handle, POLLIN, 0
            };
            (void)poll(&ready, 1, static_cast<int>(left));  // an interruption waits again
        } else {
            struct timespec pause {
                0, step < quick_polls ? quick_poll_nanoseconds : poll_nanoseconds
            };
            nanosleep(&pause, nullptr);
        }
    }
}

}  // namespace

child_end run_bounded_child(void (*body)(const void *context), const void *context, int timeout_ms,
                            int *status) {
    *status = 0;
    pid_t child = fork();
    if (child == 0) {
        body(context);
        _exit(body_returned_status);
    }
    if (child < 0) {
        return child_end::not_started;
    }
    auto handle = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    int reaped = reap_within(child, handle, timeout_ms, status);
    if (reaped == 0) {
        kill(child, SIGKILL);
        (void)reap_within(child, handle, killed_wait_ms, status);
    }
    if (handle >= 0) {
        close(handle);
    }
    if (reaped < 0) {
        return child_end::lost;
    }
    return reaped == 1 ? child_end::ended : child_end::killed;
}
