/* The least a privilege switch can cost: groups, gid, uid, exec. No lookup, no files.
 *
 *   bare_switch [-f PROGRAM] UID GID COMMAND [ARG...]
 *
 * With -f, PROGRAM is first run to completion as a child (fork, exec, wait) and must exit
 * with status 0, as a parameter validator would. Linked statically, so that no dynamic
 * loading is counted. Exit status 1 with one line on standard error for every failure.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void fail(const char *what) {
    fprintf(stderr, "bare_switch: %s: %s\n", what, strerror(errno));
    exit(1);
}

static unsigned parse_id(const char *text) {
    char *end = NULL;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > 0xfffffffeUL) {
        fprintf(stderr, "bare_switch: bad id '%s'\n", text);
        exit(1);
    }
    return (unsigned)value;
}

static void run_to_completion(char *program) {
    pid_t child = fork();
    if (child < 0) {
        fail("fork");
    }
    if (child == 0) {
        char *const argv[] = {program, NULL};
        execv(program, argv);
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0) {
        fail("waitpid");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bare_switch: %s failed (wait status %#x)\n", program, (unsigned)status);
        exit(1);
    }
}

int main(int argc, char **argv) {
    char *first = NULL;
    int index = 1;
    if (argc > 2 && strcmp(argv[1], "-f") == 0) {
        first = argv[2];
        index = 3;
    }
    if (argc - index < 3) {
        fprintf(stderr, "usage: bare_switch [-f PROGRAM] UID GID COMMAND [ARG...]\n");
        return 1;
    }
    uid_t uid = parse_id(argv[index]);
    gid_t gid = parse_id(argv[index + 1]);
    if (first != NULL) {
        run_to_completion(first);
    }
    /* Groups and gid while still root; setuid last, as it takes the right to change them. */
    if (setgroups(1, &gid) < 0) {
        fail("setgroups");
    }
    if (setgid(gid) < 0) {
        fail("setgid");
    }
    if (setuid(uid) < 0) {
        fail("setuid");
    }
    execv(argv[index + 2], &argv[index + 2]);
    fail(argv[index + 2]);
}
