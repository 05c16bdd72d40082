// The launch: the validator approves the request, the process enters the requesting uid's
// container, takes on the identity that the command file asks for, and becomes the command.
//
// The process is root (real, effective and saved uid 0) on entry. The validator and the
// container entry run as root. In requesting-user mode only the effective uid becomes the
// user's at first; the way back to root stays open for the capability call and the pid file,
// and is closed for good before the working directory is entered and the command executed.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include "common/facts.h"
#include "driver/decide.h"
#include "driver/driver.h"
#include "driver/log_formats.h"
#include "proc/proc.h"
#include "tholmet.h"

namespace {

constexpr size_t pid_text_size = 20;
constexpr mode_t pid_file_mode = 0600;
// A link planted at the path is never followed (a directory that others can write would
// otherwise let them truncate any file of the user's), and a FIFO there never holds us.
constexpr int pid_file_flags =
    O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
// The command's own vector starts at this slot of the launch vector.
constexpr int command_slot = 3;
// The launch vector has the validator's path, the user name and the home directory before
// the command's own vector.
constexpr int argument_count_offset = 5;

void change_to_root_directory() {
    if (chdir("/") < 0) {
        syslog(LOG_ERR, log_chdir_failed, "/", strerror(errno));
        exit_prog(1);
    }
}

// One vector serves twice: whole for the validator, from the command slot on for the command.
char **build_launch_vector(const command_request_t *request) {
    int count = request->argc - argument_count_offset;
    size_t bytes = static_cast<size_t>(count + 4) * sizeof(char *);
    auto **vector = static_cast<char **>(malloc(bytes));
    if (vector == nullptr) {
        syslog(LOG_ERR, log_allocation_failed, static_cast<unsigned>(bytes), request->user_name);
        exit_prog(1);
    }
    vector[0] = const_cast<char *>(validator_path);
    vector[1] = const_cast<char *>(request->user_name);
    vector[2] = request->account.pw_dir;
    vector[command_slot] = request->entry.command_token;
    for (int i = 1; i < count; ++i) {
        vector[command_slot + i] = request->argv[argument_count_offset + i];
    }
    vector[count + command_slot] = nullptr;
    return vector;
}

void run_validator(const command_request_t *request, char **vector) {
    if (fork_execv(validator_path, vector, 0) != 0) {
        set_end(end_kind::validator);
        exit_err(request->entry.command_token);
    }
}

void enter_container(const command_request_t *request) {
    if (container_skip_marker() != nullptr) {
        return;
    }
    enter_qor(request->account.pw_uid);
}

[[noreturn]] void fail_identity() {
    set_end(end_kind::identity);
    exit_prog(1);
}

[[noreturn]] void fail_initgroups(const char *user, gid_t gid) {
    syslog(LOG_ERR, log_initgroups_failed, user, gid, getuid(), geteuid(), getgid(), getegid());
    fail_identity();
}

// The command user's gid, groups and uid, in that order: with effective uid 0, setuid sets
// real, effective and saved uid at once, after which the group calls would be refused.
void switch_to_command_user(const command_request_t *request) {
    const char *user = request->entry.command_user;
    struct passwd entry {};
    char buffer[passwd_buffer_size];
    struct passwd *found = nullptr;
    int error = getpwnam_r(user, &entry, buffer, sizeof buffer, &found);
    if (found == nullptr) {
        log_sink_t sink = syslog_sink();
        log_command_user_fault(&sink, user, error);
        fail_identity();
    }
    if (initgroups(user, found->pw_gid) < 0) {
        fail_initgroups(user, found->pw_gid);
    }
    if (setgid(found->pw_gid) < 0) {
        syslog(LOG_ERR, log_setgid_user_failed, user, getgid(), getegid());
        fail_identity();
    }
    if (setuid(found->pw_uid) < 0 || getuid() != found->pw_uid || geteuid() != found->pw_uid) {
        syslog(LOG_ERR, log_setuid_user_failed, user, getuid(), geteuid());
        fail_identity();
    }
}

// Groups and gid for good, the uid only as the effective one: real and saved uid stay 0 until
// the final drop.
void switch_to_requesting_user(const command_request_t *request) {
    const char *user = request->user_name;
    uid_t uid = request->account.pw_uid;
    gid_t gid = request->account.pw_gid;
    if (initgroups(user, gid) < 0) {
        fail_initgroups(user, gid);
    }
    if (setgid(gid) < 0) {
        syslog(LOG_ERR, log_setgid_failed, gid, getgid(), getegid(), user);
        fail_identity();
    }
    if (seteuid(uid) < 0) {
        syslog(LOG_ERR, log_setuid_failed, uid, getuid(), geteuid(), user);
        fail_identity();
    }
    if (enable_quota_capability() == -1) {
        syslog(LOG_ERR, log_capability_failed, strerror(errno));
    }
}

void switch_identity(const command_request_t *request, identity_mode mode) {
    switch (mode) {
        case identity_mode::root:
            return;
        case identity_mode::command_user:
            switch_to_command_user(request);
            return;
        case identity_mode::requesting_user:
            switch_to_requesting_user(request);
            return;
    }
}

// Back to effective uid 0 first: setuid made with a non-zero effective uid would change only
// the effective uid and leave real and saved uid 0, a way back to root for the command.
void drop_root_for_good(const command_request_t *request) {
    const char *user = request->user_name;
    uid_t uid = request->account.pw_uid;
    if (seteuid(0) < 0) {
        syslog(LOG_ERR, log_seteuid_root_failed, getuid(), geteuid(), user);
        fail_identity();
    }
    // The kernel's answer is checked as well as the call's: all three uids must be the user's.
    uid_t real = 0;
    uid_t effective = 0;
    uid_t saved = 0;
    if (setuid(uid) < 0 || getresuid(&real, &effective, &saved) < 0 || real != uid ||
        effective != uid || saved != uid) {
        syslog(LOG_ERR, log_setuid_failed, uid, getuid(), geteuid(), user);
        fail_identity();
    }
}

// EACCES leaves the process in "/": the final identity may not be allowed into the directory.
void change_to_working_directory(const command_request_t *request) {
    int error = chdir(request->cwd) < 0 ? errno : 0;
    if (decide_working_directory(error) == cwd_outcome::fails) {
        syslog(LOG_ERR, log_chdir_failed, request->cwd, strerror(error));
        set_end(end_kind::cwd);
        exit_prog(1);
    }
}

// The account the command runs as, for the report.
const char *get_run_as(const command_request_t *request, identity_mode mode) {
    switch (mode) {
        case identity_mode::root:
            return "root";
        case identity_mode::command_user:
            return request->entry.command_user;
        case identity_mode::requesting_user:
            break;
    }
    return request->user_name;
}

// The front-end learns what runs just before the process becomes it; a failed exec is the end.
void report_runs(const command_request_t *request, identity_mode mode) {
    send_report(end_kind::runs, 0, request->entry.command_token, get_run_as(request, mode));
    set_end_with(end_kind::exec, 0, request->entry.command_token, nullptr);
}

[[noreturn]] void run_crontab_command(const command_request_t *request, identity_mode mode,
                                      crontab_kind kind) {
    if (mode == identity_mode::requesting_user) {
        drop_root_for_good(request);
    }
    change_to_working_directory(request);
    char *command = request->entry.command_token;
    char *vector[] = {command, nullptr, nullptr};
    if (kind == crontab_kind::check) {
        vector[1] = const_cast<char *>("-l");
        if (fork_execv(command, vector, 1) == 0) {
            exit_prog(0);
        }
        vector[1] = const_cast<char *>("-");
    } else if (kind == crontab_kind::list) {
        vector[1] = const_cast<char *>("-l");
    } else {
        vector[1] = const_cast<char *>("-");
    }
    report_runs(request, mode);
    closelog();
    execv(command, vector);
    exit_prog(1);
}

// Written with the user's effective uid, so the file is the user's and every permission check
// on the way is made for the user. Never fatal. Tells whether the file was written whole.
bool write_pid_file(const char *path) {
    int fd = open(path, pid_file_flags, pid_file_mode);
    if (fd < 0) {
        syslog(LOG_ERR, log_pid_file_failed, path, strerror(errno));
        return false;
    }
    char text[pid_text_size];
    // A pid always fits the buffer.
    snprintf(text, sizeof text, "%u", static_cast<unsigned>(getpid()));
    size_t length = strnlen(text, sizeof text);
    ssize_t written = write(fd, text, length);
    if (written < 0) {
        syslog(LOG_ERR, log_pid_file_write_error, path, strerror(errno));
        close(fd);
        unlink(path);
        return false;
    }
    if (static_cast<size_t>(written) != length) {
        syslog(LOG_ERR, log_pid_file_short_write, static_cast<unsigned>(length), path);
        close(fd);
        unlink(path);
        return false;
    }
    if (close(fd) < 0) {
        syslog(LOG_ERR, log_pid_file_close_failed, path, strerror(errno));
        unlink(path);
        return false;
    }
    return true;
}

[[noreturn]] void run_command(const command_request_t *request, identity_mode mode, char **vector) {
    char pid_path[passwd_buffer_size];
    bool path_fits =
        make_pid_file_path(pid_path, sizeof pid_path, request->account.pw_dir, request->pid);
    bool pid_file_written = false;
    if (writes_pid_file(mode, request->entry.alias)) {
        if (path_fits) {
            pid_file_written = write_pid_file(pid_path);
        } else {
            // A path cut short would name another file: it is not written at all.
            syslog(LOG_ERR, log_pid_file_failed, pid_path, strerror(ENAMETOOLONG));
        }
    }
    if (mode == identity_mode::requesting_user) {
        drop_root_for_good(request);
    }
    change_to_working_directory(request);
    report_runs(request, mode);
    closelog();
    execv(request->entry.command_token, vector + command_slot);
    if (pid_file_written) {
        unlink(pid_path);
    }
    exit_err(request->entry.command_token);
}

}  // namespace

void launch_command(const command_request_t *request) {
    change_to_root_directory();
    char **vector = build_launch_vector(request);
    run_validator(request, vector);
    enter_container(request);
    identity_mode mode =
        decide_identity_mode(request->entry.run_as_root, request->entry.command_user);
    switch_identity(request, mode);
    // Every mode gets the requesting user's home; the result does not matter.
    (void)setenv("HOME", request->account.pw_dir, 1);
    crontab_kind kind = decide_crontab_kind(request->entry.alias);
    if (kind != crontab_kind::none) {
        run_crontab_command(request, mode, kind);
    }
    run_command(request, mode, vector);
}
