// The child of explain that takes the final identity and tries what the command meets: the
// pid file, the working directory and the command's start. It opens nothing for creation,
// takes only the effective ids (its real and saved uid stay 0, so that the user whose identity
// it takes can neither stop nor kill it) and is killed when it has not ended in time.

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/child.h"
#include "ctl/explain.h"

namespace {

constexpr size_t interpreter_size = 256;
constexpr const char elf_magic[] = "\177ELF";
// The server's pid file open without O_CREAT and O_TRUNC: nothing is created or changed.
constexpr int pid_file_probe_flags =
    O_WRONLY | O_SYNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
// A script's interpreter: the text after "#!" and any blanks, up to a blank or the line's end.
int interpreter_error(char *head) {
    char *start = head + 2 + strspn(head + 2, " \t");
    start[strcspn(start, " \t\n")] = '\0';
    if (*start == '\0') {
        return ENOEXEC;
    }
    return faccessat(AT_FDCWD, start, X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// ---- the final identity, tried in a child ---------------------------------------------------

// The directory part of `path` (which holds a slash), written over the path.
void cut_to_directory(char *path) {
    char *slash = strrchr(path, '/');
    slash[slash == path ? 1 : 0] = '\0';
}

// Whether a missing pid file could be created: its directory must let the user write and
// search it (a link at the path, dangling or not, is never followed and fails before this).
int creation_error(const char *path) {
    char directory[passwd_buffer_size];
    snprintf(directory, sizeof directory, "%s", path);
    cut_to_directory(directory);
    return faccessat(AT_FDCWD, directory, W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// Opened as the server opens it but for creation and truncation: a file that is there can be
// written, a missing one is created if its directory allows, any other error is the server's.
int try_pid_file(const char *path) {
    int fd = open(path, pid_file_probe_flags);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    return errno == ENOENT ? creation_error(path) : errno;
}

// The child: takes the final identity's groups and effective ids (files are opened, entered
// and searched with the effective ids alone), tries what the command meets, and reports. Its
// real and saved uid stay 0, so that the user cannot signal it. It never returns.
[[noreturn]] void run_probe_child(const explain_t *ex, int out) {
    constexpr int failed = 1;
    const identity_t *identity = &ex->identity;
    probe_t probe{};
    bool changes = strcmp(identity->mode, "root") != 0;
    bool ready = chdir("/") == 0 &&
                 (!changes ||
                  (setgroups(static_cast<size_t>(identity->group_count), identity->groups) == 0 &&
                   setegid(identity->gid) == 0 && seteuid(identity->uid) == 0));
    if (!ready) {
        _exit(failed);
    }
    if (ex->has_pid_file) {
        probe.pid_file = try_pid_file(ex->pid_file);
    }
    probe.cwd = chdir(ex->cwd) == 0 ? 0 : errno;
    probe.exec = predict_exec_error(ex->definition->command);
    bool sent = write(out, &probe, sizeof probe) == static_cast<ssize_t>(sizeof probe);
    _exit(sent ? 0 : failed);
}

struct probe_child_t {
    const explain_t *ex;
    int out;
};

void probe_child(const void *context) {
    const auto *c = static_cast<const probe_child_t *>(context);
    run_probe_child(c->ex, c->out);
}

}  // namespace

// What execv of `path` fails with for the effective ids (0: it starts), told from its status
// and, when it can be read, its first bytes: a script's interpreter must be there, anything
// else must be a program the system runs. A file that cannot be read is taken to start,
// since the system reads it whatever its read permission.
int predict_exec_error(const char *path) {
    struct stat info {};
    if (stat(path, &info) < 0) {
        return errno;
    }
    if (!S_ISREG(info.st_mode)) {
        return EACCES;
    }
    if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) < 0) {
        return errno;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return 0;
    }
    char head[interpreter_size] = {};
    struct stat opened {};
    ssize_t got =
        fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) ? read(fd, head, sizeof head - 1) : -1;
    close(fd);
    if (got < 0) {
        return 0;
    }
    if (got >= 4 && memcmp(head, elf_magic, 4) == 0) {
        return 0;
    }
    if (got >= 2 && head[0] == '#' && head[1] == '!') {
        return interpreter_error(head);
    }
    return ENOEXEC;
}

probe_result run_probe(explain_t *ex) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) {
        return probe_result::failed;
    }
    // The child's answer fits the pipe: it is read once the child has ended.
    probe_child_t context{ex, fds[1]};
    int status = 0;
    child_end end = run_bounded_child(probe_child, &context, probe_timeout_ms, &status);
    close(fds[1]);
    ssize_t got = -1;
    if (end == child_end::ended) {
        do {
            got = read(fds[0], &ex->probe, sizeof ex->probe);
        } while (got < 0 && errno == EINTR);
    }
    close(fds[0]);
    if (end == child_end::killed) {
        return probe_result::no_answer;
    }
    return end == child_end::ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                   got == static_cast<ssize_t>(sizeof ex->probe)
               ? probe_result::answered
               : probe_result::failed;
}
