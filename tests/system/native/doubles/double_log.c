/* The log is written with raw system calls, so the fault preload, which interposes open
 * and write, neither counts nor fails the doubles' own bookkeeping. */
#define _GNU_SOURCE
#include "double_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { log_line_size = 512 };

static int open_log(const char *path) {
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, flags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
        /* Calls made after the switch to the user's effective uid append to it too. */
        syscall(SYS_fchmod, fd, 0666);
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags);
}

void double_log_line(const char *line) {
    const char *path = getenv("VORNEX_DOUBLE_LOG");
    if (path == NULL)
        return;
    char text[log_line_size];
    size_t length = strnlen(line, sizeof text - 1);
    memcpy(text, line, length);
    text[length++] = '\n';
    int saved = errno;
    int fd = open_log(path);
    if (fd >= 0) {
        syscall(SYS_write, fd, text, length);
        syscall(SYS_close, fd);
    }
    errno = saved;
}

int double_should_fail(const char *function) {
    const char *list = getenv("VORNEX_DOUBLE_FAIL");
    size_t length = strlen(function);
    while (list != NULL && *list != '\0') {
        const char *end = strchr(list, ',');
        size_t item = end ? (size_t)(end - list) : strlen(list);
        if (item == length && strncmp(list, function, length) == 0)
            return 1;
        list = end ? end + 1 : NULL;
    }
    return 0;
}
