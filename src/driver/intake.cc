// The request as it arrives: the command line, VORNEX_TOKEN, the alias resolution, the
// requesting account and the flag files. A request that fails here never reaches a stage
// that reads a per-user file or runs anything.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/log_sink.h"
#include "driver/decide.h"
#include "driver/driver.h"
#include "driver/intake.h"
#include "driver/log_formats.h"
#include "driver/names.h"

namespace {

// The program name and five arguments; also the position of the first extra argument.
constexpr int min_argument_count = 6;
constexpr int user_position = 2;
constexpr int cwd_position = 3;
constexpr int alias_position = 4;
constexpr int pid_position = 5;

constexpr const char token_variable[] = "VORNEX_TOKEN";

constexpr int first_inherited_descriptor = 3;
constexpr long decimal_base = 10;

// Closes the descriptors from `first` to `last`; an empty range closes nothing.
void close_descriptors(unsigned first, unsigned last) {
    if (first > last || close_range(first, last, 0) == 0) {
        return;
    }
    auto end = static_cast<unsigned long>(sysconf(_SC_OPEN_MAX));
    for (unsigned long fd = first; fd <= last && fd < end; ++fd) {
        close(static_cast<int>(fd));
    }
}

}  // namespace

int take_report_descriptor() {
    // Only a descriptor beyond the standard three that is a Unix socket is taken: a number
    // that names a file, a pipe or nothing at all is ignored, and so is every other value.
    const char *value = getenv(report_fd_variable);
    if (value == nullptr || value[0] == '\0' || is_valid_number(value) == 0) {
        return -1;
    }
    long number = 0;
    for (const char *c = value; *c != '\0' && number <= INT_MAX; ++c) {
        number = number * decimal_base + (*c - '0');
    }
    if (number < first_inherited_descriptor || number > INT_MAX) {
        return -1;
    }
    int fd = static_cast<int>(number);
    struct stat status {};
    int domain = 0;
    socklen_t length = sizeof domain;
    if (fstat(fd, &status) < 0 || !S_ISSOCK(status.st_mode) ||
        getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) < 0 || domain != AF_UNIX) {
        return -1;
    }
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
        return -1;
    }
    return fd;
}

void secure_descriptors(int report_fd) {
    // Nothing the front-end left open beyond the standard three may reach the validator or
    // the command; the report descriptor stays with the server alone (it is close-on-exec).
    if (report_fd < first_inherited_descriptor) {
        close_descriptors(first_inherited_descriptor, ~0U);
    } else {
        close_descriptors(first_inherited_descriptor, static_cast<unsigned>(report_fd) - 1);
        close_descriptors(static_cast<unsigned>(report_fd) + 1, ~0U);
    }
    // A closed standard descriptor would be taken by the next file opened, and the refusal
    // line or the command's output would land in it.
    for (int fd = 0; fd < first_inherited_descriptor; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
            exit_prog(1);
        }
    }
}

void check_argument_count(int argc, char **argv) {
    if (argc >= min_argument_count) {
        return;
    }
    syslog(LOG_ERR, log_too_few_arguments);
    if (argc > user_position) {
        syslog(LOG_ERR, log_user_argument, shown(argv[user_position]));
    }
    exit_unauthorized();
}

void take_request(int argc, char **argv, command_request_t *request) {
    request->argc = argc;
    request->argv = argv;
    request->user_name = argv[user_position];
    // The value stays where the environment block holds it; unsetenv only drops the pointer.
    request->token = getenv(token_variable);
    if (unsetenv(token_variable) < 0) {
        syslog(LOG_ERR, log_unsetenv_failed, strerror(errno));
        exit_prog(1);
    }
    // The report descriptor was taken before the descriptors were closed; the variable goes
    // with the token, so that no child learns of the report.
    if (unsetenv(report_fd_variable) < 0) {
        syslog(LOG_ERR, log_report_unsetenv_failed, strerror(errno));
        exit_prog(1);
    }
    request->cwd = argv[cwd_position];
    request->alias = argv[alias_position];
    request->pid = argv[pid_position];
}

void check_request(const command_request_t *request) {
    if (request->token == nullptr || request->token[0] == '\0') {
        syslog(LOG_ERR, log_token_variable_missing, shown(request->token));
        set_end(end_kind::token_missing);
        exit_unauthorized();
    }
    request_fault fault =
        judge_request_face(request->user_name, request->cwd, request->alias, request->pid);
    if (fault != request_fault::none) {
        log_sink_t sink = syslog_sink();
        log_request_fault(&sink, request->user_name, request->cwd, request->alias, request->pid,
                          fault);
        exit_unauthorized();
    }
}

void resolve_alias(command_request_t *request) {
    int found = find_alias(request->alias, &request->entry);
    if (found < 0) {
        exit_prog(1);
    }
    if (found == 0) {
        syslog(LOG_ERR, log_alias_not_found, request->user_name, request->alias);
        set_end(end_kind::alias_unknown);
        exit_prog(1);
    }
}

void look_up_account(command_request_t *request) {
    account_decision_t decision =
        decide_account(request->user_name, &request->account, request->account_buffer,
                       sizeof request->account_buffer);
    if (decision.end == end_kind::none) {
        return;
    }
    log_sink_t sink = syslog_sink();
    log_account_fault(&sink, request->user_name, &decision);
    if (decision.end == end_kind::account) {
        set_end_with(end_kind::account, 0, nullptr, decision.detail);
    }
    exit_prog(1);
}

void read_flag_files(command_request_t *request) {
    flags_t flags = read_flags();
    if (flags.debug) {
        debug_flag = true;
    }
    request->shared_uid_search_disabled = flags.search_disabled ? 1 : 0;
}

void check_command_path(const command_request_t *request) {
    // A relative path would be resolved in the working directory that the requester chose,
    // and so run the requester's own program with the command's identity.
    const char *path = request->entry.command_token;
    if (!is_absolute_command(path)) {
        syslog(LOG_ERR, log_command_not_absolute, path, request->user_name);
        exit_prog(1);
    }
}
