/* Whole-process timer of the benchmark: fork, exec, wait, and the wall time of each run.
 *
 *   runner [-n ROUNDS] [-w WARMUP] [-o FILE] CMD [ARG...] [:: CMD [ARG...]]...
 *       Runs the commands one after the other, ROUNDS times (after WARMUP untimed rounds),
 *       and writes one line per round: the nanoseconds of each command, tab-separated, in
 *       the order given. Listing the floor before each candidate gives pairs run back to
 *       back, whose ratio cancels most of the noise of a shared machine.
 *   runner -c COUNT [-n ROUNDS] [-w WARMUP] [-o FILE] CMD [ARG...]
 *       Starts COUNT copies of one command at once per round: all are forked first and held
 *       on a pipe, then released together; one line per round gives each copy's time from
 *       the release to its reaping, in the order of reaping.
 *
 * A command whose path starts with '@' is a step between the timed runs (switching a flag
 * file, say): it runs, without the '@', and must succeed, but it is neither timed nor written.
 *
 * Commands are run by path (no PATH search) with the runner's environment; their standard
 * output goes to /dev/null, their standard error is the runner's. Any run that does not exit
 * with status 0 stops the runner with status 1 and a line naming the command: a candidate
 * that fails must never be timed as a fast one.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum {
    max_commands = 64,
    max_concurrency = 1024,
    default_rounds = 100,
};

static const char separator[] = "::";

struct options {
    long rounds;
    long warmup;
    long concurrency; /* 0: sequential mode */
    const char *output;
    char **commands[max_commands];
    int command_count;
};

static void usage(void) {
    fprintf(stderr,
            "usage: runner [-n ROUNDS] [-w WARMUP] [-o FILE] [-c COUNT] CMD [ARG...] "
            "[:: CMD [ARG...]]...\n");
    exit(2);
}

static long parse_count(const char *text, long low, long high) {
    char *end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        fprintf(stderr, "runner: bad number '%s'\n", text);
        exit(2);
    }
    return value;
}

/* Cuts argv at each "::" into the commands; each one stays null-terminated in place. */
static void split_commands(char **argv, int argc, struct options *options) {
    int start = 0;
    for (int i = 0; i <= argc; i++) {
        if (i < argc && strcmp(argv[i], separator) != 0) {
            continue;
        }
        if (i == start || options->command_count == max_commands) {
            usage();
        }
        options->commands[options->command_count++] = &argv[start];
        if (i < argc) {
            argv[i] = NULL;
        }
        start = i + 1;
    }
}

static void parse_options(int argc, char **argv, struct options *options) {
    int opt;
    while ((opt = getopt(argc, argv, "+n:w:o:c:")) != -1) {
        switch (opt) {
            case 'n':
                options->rounds = parse_count(optarg, 1, 10000000);
                break;
            case 'w':
                options->warmup = parse_count(optarg, 0, 10000000);
                break;
            case 'o':
                options->output = optarg;
                break;
            case 'c':
                options->concurrency = parse_count(optarg, 1, max_concurrency);
                break;
            default:
                usage();
        }
    }
    if (optind >= argc) {
        usage();
    }
    split_commands(argv + optind, argc - optind, options);
    if (options->concurrency > 0 && options->command_count != 1) {
        fprintf(stderr, "runner: -c takes exactly one command\n");
        exit(2);
    }
}

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

/* In the child: standard output to /dev/null, then the command. */
static void exec_command(char **command, int null_fd) {
    if (dup2(null_fd, STDOUT_FILENO) < 0) {
        _exit(126);
    }
    execv(command[0], command);
    fprintf(stderr, "runner: cannot execute %s: %s\n", command[0], strerror(errno));
    _exit(127);
}

static void check_status(char **command, int status, long round) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return;
    }
    if (WIFEXITED(status)) {
        fprintf(stderr, "runner: %s exited with status %d in round %ld\n", command[0],
                WEXITSTATUS(status), round);
    } else {
        fprintf(stderr, "runner: %s ended with wait status %#x in round %ld\n", command[0],
                (unsigned)status, round);
    }
    exit(1);
}

static pid_t start_child(char **command, int null_fd) {
    pid_t child = fork();
    if (child < 0) {
        perror("runner: fork");
        exit(1);
    }
    if (child == 0) {
        exec_command(command, null_fd);
    }
    return child;
}

static int wait_child(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            perror("runner: waitpid");
            exit(1);
        }
    }
    return status;
}

static int64_t time_one_run(char **command, int null_fd, long round) {
    int64_t start = now_ns();
    pid_t child = start_child(command, null_fd);
    int status = wait_child(child);
    int64_t elapsed = now_ns() - start;
    check_status(command, status, round);
    return elapsed;
}

/* Cuts the '@' of the untimed steps off their paths; returns whether any command is timed. */
static int mark_untimed_steps(struct options *options, int untimed[]) {
    int timed = 0;
    for (int k = 0; k < options->command_count; k++) {
        char **command = options->commands[k];
        untimed[k] = command[0][0] == '@';
        if (untimed[k]) {
            command[0]++;
        } else {
            timed++;
        }
    }
    return timed;
}

static void run_sequential(struct options *options, int null_fd, FILE *out) {
    int untimed[max_commands];
    if (mark_untimed_steps(options, untimed) == 0) {
        usage();
    }
    for (long round = 0; round < options->warmup + options->rounds; round++) {
        int timed = round >= options->warmup;
        int written = 0;
        for (int k = 0; k < options->command_count; k++) {
            int64_t elapsed = time_one_run(options->commands[k], null_fd, round);
            if (timed && !untimed[k]) {
                fprintf(out, written++ == 0 ? "%lld" : "\t%lld", (long long)elapsed);
            }
        }
        if (timed) {
            fputc('\n', out);
        }
    }
}

/* A copy that waits for the release: the pipe's end of file. */
static pid_t start_held_child(char **command, int null_fd, const int gate[2]) {
    pid_t child = fork();
    if (child < 0) {
        perror("runner: fork");
        exit(1);
    }
    if (child == 0) {
        char byte;
        close(gate[1]);
        while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
        }
        close(gate[0]);
        exec_command(command, null_fd);
    }
    return child;
}

static void run_concurrent_round(const struct options *options, int null_fd, long round,
                                 FILE *out) {
    char **command = options->commands[0];
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) < 0) {
        perror("runner: pipe2");
        exit(1);
    }
    for (long i = 0; i < options->concurrency; i++) {
        start_held_child(command, null_fd, gate);
    }
    close(gate[0]);
    int64_t start = now_ns();
    close(gate[1]);
    int failed_status = 0;
    for (long i = 0; i < options->concurrency; i++) {
        int status = 0;
        while (wait(&status) < 0) {
            if (errno != EINTR) {
                perror("runner: wait");
                exit(1);
            }
        }
        int64_t elapsed = now_ns() - start;
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0) && failed_status == 0) {
            failed_status = status == 0 ? -1 : status;
        }
        if (out != NULL) {
            fprintf(out, i == 0 ? "%lld" : "\t%lld", (long long)elapsed);
        }
    }
    if (out != NULL) {
        fputc('\n', out);
    }
    /* Every copy is reaped before a failure is reported. */
    if (failed_status != 0) {
        check_status(command, failed_status, round);
    }
}

static void run_concurrent(const struct options *options, int null_fd, FILE *out) {
    for (long round = 0; round < options->warmup + options->rounds; round++) {
        run_concurrent_round(options, null_fd, round, round >= options->warmup ? out : NULL);
    }
}

int main(int argc, char **argv) {
    struct options options = {.rounds = default_rounds};
    parse_options(argc, argv, &options);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        perror("runner: /dev/null");
        return 1;
    }
    FILE *out = stdout;
    if (options.output != NULL) {
        out = fopen(options.output, "we");
        if (out == NULL) {
            fprintf(stderr, "runner: cannot write %s: %s\n", options.output, strerror(errno));
            return 1;
        }
    }
    if (options.concurrency > 0) {
        run_concurrent(&options, null_fd, out);
    } else {
        run_sequential(&options, null_fd, out);
    }
    if (fclose(out) != 0) {
        perror("runner: output");
        return 1;
    }
    return 0;
}
