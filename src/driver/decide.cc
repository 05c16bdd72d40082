// The server's decisions as values, and the lines that tell them: nothing here writes or ends
// the process, and the lines go to the sink the caller gives.

#include "driver/decide.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/common.h"
#include "common/facts.h"
#include "driver/log_formats.h"
#include "driver/names.h"

request_fault judge_request_face(const char *user, const char *cwd, const char *alias,
                                 const char *pid) {
    if (user == nullptr || cwd == nullptr || alias == nullptr || pid == nullptr) {
        return request_fault::missing;
    }
    if (user[0] == '\0' || cwd[0] == '\0' || alias[0] == '\0' || pid[0] == '\0') {
        return request_fault::empty;
    }
    return is_valid_number(pid) == 0 ? request_fault::pid_not_number : request_fault::none;
}

const char *shown(const char *text) {
    return text != nullptr ? text : "(null)";
}

void log_request_fault(const log_sink_t *sink, const char *user, const char *cwd, const char *alias,
                       const char *pid, request_fault fault) {
    switch (fault) {
        case request_fault::missing:
            sink_line(sink, LOG_ERR, log_argument_missing, shown(user), shown(cwd), shown(alias),
                      shown(pid));
            return;
        case request_fault::empty:
            sink_line(sink, LOG_ERR, log_empty_arguments, user, cwd, alias, pid);
            return;
        case request_fault::pid_not_number:
            sink_line(sink, LOG_ERR, log_pid_not_number, pid);
            return;
        case request_fault::none:
            return;
    }
}

account_decision_t decide_account(const char *name, struct passwd *entry, char *buffer,
                                  size_t size) {
    struct passwd *found = nullptr;
    int error = getpwnam_r(name, entry, buffer, size, &found);
    if (error != 0) {
        return {end_kind::internal, account_fault::lookup_failed, error, nullptr};
    }
    if (found == nullptr) {
        return {end_kind::account, account_fault::no_account, 0, "no such account"};
    }
    if (found->pw_uid == 0 || found->pw_gid == 0) {
        return {end_kind::account, account_fault::root, 0, found->pw_uid == 0 ? "root" : "group 0"};
    }
    if (found->pw_dir == nullptr) {
        return {end_kind::account, account_fault::no_home, 0, "no home directory"};
    }
    return {end_kind::none, account_fault::none, 0, nullptr};
}

bool file_exists(const char *path) {
    struct stat status {};
    return stat(path, &status) == 0;
}

flags_t read_flags() {
    return {file_exists(debug_flag_file), file_exists(disable_duid_flag_file)};
}

bool is_absolute_command(const char *path) {
    return path[0] == '/';
}

const char *container_skip_marker() {
    static constexpr const char *markers[] = {edition_tavo_marker, edition_quellan_marker};
    for (const char *marker : markers) {
        if (access(marker, F_OK) == 0) {
            return marker;
        }
    }
    return nullptr;
}

identity_mode decide_identity_mode(int run_as_root, const char *command_user) {
    if (run_as_root != 0) {
        return identity_mode::root;
    }
    return command_user != nullptr ? identity_mode::command_user : identity_mode::requesting_user;
}

const char *identity_mode_name(identity_mode mode) {
    // In the order of the enumeration.
    static constexpr const char *names[] = {"root", "account", "requesting-user"};
    return names[static_cast<size_t>(mode)];
}

crontab_kind decide_crontab_kind(const char *alias) {
    if (alias == nullptr) {
        return crontab_kind::none;
    }
    if (strcmp(alias, crontab_check_alias) == 0) {
        return crontab_kind::check;
    }
    if (strcmp(alias, crontab_list_alias) == 0) {
        return crontab_kind::list;
    }
    return strcmp(alias, crontab_save_alias) == 0 ? crontab_kind::save : crontab_kind::none;
}

const char *crontab_kind_name(crontab_kind kind) {
    static constexpr const char *names[] = {nullptr, "check", "list", "save"};
    return names[static_cast<size_t>(kind)];
}

bool writes_pid_file(identity_mode mode, const char *alias) {
    return mode == identity_mode::requesting_user &&
           decide_crontab_kind(alias) == crontab_kind::none && strcmp(alias, enter_alias) != 0;
}

bool make_pid_file_path(char *buffer, size_t size, const char *home, const char *pid) {
    int length = snprintf(buffer, size, pid_file_format, home, pid);
    return length >= 0 && static_cast<size_t>(length) < size;
}

cwd_outcome decide_working_directory(int error) {
    if (error == 0) {
        return cwd_outcome::enter;
    }
    return error == EACCES ? cwd_outcome::stays_in_root : cwd_outcome::fails;
}

void log_account_fault(const log_sink_t *sink, const char *user,
                       const account_decision_t *decision) {
    switch (decision->fault) {
        case account_fault::lookup_failed:
            sink_line(sink, LOG_ERR, log_getpwnam_failed, strerror(decision->error));
            return;
        case account_fault::no_account:
            sink_line(sink, LOG_ERR, log_no_user_info, user);
            return;
        case account_fault::root:
            sink_line(sink, LOG_ERR, log_root_refused);
            return;
        case account_fault::no_home:
            sink_line(sink, LOG_ERR, log_no_home, user);
            return;
        case account_fault::none:
            return;
    }
}

void log_command_user_fault(const log_sink_t *sink, const char *user, int error) {
    if (error == 0) {
        sink_line(sink, LOG_ERR, log_no_passwd_info, user);
    } else {
        sink_line(sink, LOG_ERR, log_getpwnam_failed, strerror(error));
    }
}
