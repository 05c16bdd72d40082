/* A command that cannot stop: it starts a child that shares its memory, and waits until that
 * child starts a program or ends, which the child never does. A stop stops the child; the
 * command goes on waiting, as any process in that wait does, and never reports a stop.
 * argv[1]: a file that gets the command's pid once the command waits. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static char child_stack[64 * 1024];

/* Runs on a stack of its own while the command waits: only system calls, no library state. */
static int write_pid_and_wait(void *path) {
    char text[32];
    int length = snprintf(text, sizeof text, "%d\n", (int)getppid());
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, text, (size_t)length) != length || close(fd) != 0) {
        return 1;
    }
    for (;;) {
        pause();
    }
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: holdfork PID-FILE\n", stderr);
        return 2;
    }
    if (clone(write_pid_and_wait, child_stack + sizeof child_stack,
              CLONE_VM | CLONE_VFORK | SIGCHLD, argv[1]) < 0) {
        perror("clone");
        return 1;
    }
    return 0;
}
