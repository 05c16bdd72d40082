/* Recording double of libtholmet.so.0: logs "enable_quota_capability euid=<effective uid>";
 * fails with -1 and errno EPERM when VORNEX_DOUBLE_FAIL names it, else returns 0. */
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "double_log.h"
#include "tholmet.h"

#define DOUBLE_API __attribute__((visibility("default")))

enum { line_size = 128 };

DOUBLE_API int enable_quota_capability(void) {
    char line[line_size];
    (void)snprintf(line, sizeof line, "enable_quota_capability euid=%u", geteuid());
    double_log_line(line);
    if (double_should_fail("enable_quota_capability")) {
        errno = EPERM;
        return -1;
    }
    return 0;
}
