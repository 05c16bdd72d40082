// The stages of explain that the server's intake and launch run, each told from what it finds
// on the system, in the server's order.

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "ctl/explain.h"
#include "driver/decide.h"
#include "driver/log_formats.h"

namespace {

// The user, the alias, the pid and the working directory.
constexpr size_t request_values = 4;

// ---- request ------------------------------------------------------------------------------

bool explain_request(explain_t *ex) {
    // Every argument is there: the command line of explain names them all.
    request_fault fault = judge_request_face(ex->user, ex->cwd, ex->alias, ex->pid);
    log_sink_t sink = prediction_sink(ex);
    log_request_fault(&sink, ex->user, ex->cwd, ex->alias, ex->pid, fault);
    if (fault == request_fault::missing || fault == request_fault::empty) {
        add_stage_with(ex, "request", "refused", "an empty argument");
        return refuse(ex, "request", unauthorized_message);
    }
    const char *values[request_values] = {ex->user, ex->alias, ex->pid, ex->cwd};
    char shown[request_values][shown_size];
    for (size_t i = 0; i < request_values; ++i) {
        escape_text(values[i], shown[i], sizeof shown[i]);
    }
    if (fault == request_fault::pid_not_number) {
        add_stage_with(ex, "request", "refused", "pid \"%s\" is not all decimal digits", shown[2]);
        return refuse(ex, "request", unauthorized_message);
    }
    add_stage_with(ex, "request", "ok", "user %s, alias %s, pid %s, cwd %s", shown[0], shown[1],
                   shown[2], shown[3]);
    return true;
}

// ---- alias --------------------------------------------------------------------------------

// Whether a defined alias differs from the requested one only in blanks or letter case.
bool is_near_miss(const char *defined, const char *wanted) {
    const char *a = defined;
    const char *b = wanted;
    for (;;) {
        while (*a != '\0' && isspace(static_cast<unsigned char>(*a)) != 0) {
            ++a;
        }
        while (*b != '\0' && isspace(static_cast<unsigned char>(*b)) != 0) {
            ++b;
        }
        if (*a == '\0' || *b == '\0') {
            return *a == *b;
        }
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
        ++a;
        ++b;
    }
}

void append_near_misses(explain_t *ex, stage_t *stage) {
    char alias[shown_size];
    char path[shown_size];
    for (size_t i = 0; i < ex->table.definition_count; ++i) {
        const definition_t *definition = &ex->table.definitions[i];
        if (definition->winner == nullptr && definition->alias_length > 0 &&
            is_near_miss(definition->alias, ex->alias)) {
            append_format(stage, "\n  %s:%zu defines \"%s\", which does not match",
                          escape_text(definition->file->path, path, sizeof path), definition->line,
                          escape_text(definition->alias, alias, sizeof alias));
        }
    }
}

// The alias stage's refusal of a command file or of the command directory that someone other
// than root can change; the server's lines for it are already recorded.
bool refuse_unsafe(explain_t *ex, const char *path, const struct stat *info) {
    char shown[shown_size];
    add_stage_with(ex, "alias", "refused",
                   "%s can be changed by someone other than root (owner uid %u, mode %04o)",
                   escape_text(path, shown, sizeof shown), static_cast<unsigned>(info->st_uid),
                   static_cast<unsigned>(info->st_mode & mode_bits));
    return refuse(ex, "alias", error_message);
}

// The server refuses the request at a command file that someone other than root can change,
// before it reads a byte of it.
bool refuse_unsafe_file(explain_t *ex, const command_file_t *file) {
    log_sink_t sink = prediction_sink(ex);
    log_command_file_fault(&sink, file->path, file->status, file->error, &file->info);
    return refuse_unsafe(ex, file->path, &file->info);
}

// The server judges the directory by a descriptor open on it, before the listing.
bool explain_command_dir(explain_t *ex) {
    bool opened = false;
    struct stat info {};
    int fd = judge_command_dir(&opened, &info);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    if (!opened) {
        return true;  // the listing fails below
    }
    log_sink_t sink = prediction_sink(ex);
    log_command_dir_fault(&sink, true, &info);
    return refuse_unsafe(ex, command_dir, &info);
}

// The server logs every command file it consults and cannot use, up to the one that holds
// the alias (all of them when none does), and stops at one that is not safe.
bool log_passed_files(explain_t *ex) {
    for (size_t i = 0; i < ex->table.file_count; ++i) {
        const command_file_t *file = &ex->table.files[i];
        if ((file->status == command_file_status::usable && file->has_info &&
             is_root_only(&file->info) == 0) ||
            file->status == command_file_status::unsafe_link) {
            return refuse_unsafe_file(ex, file);
        }
        if (ex->definition != nullptr && ex->definition->file == file) {
            return true;
        }
        if (file->status != command_file_status::usable) {
            log_sink_t sink = prediction_sink(ex);
            log_command_file_fault(&sink, file->path, file->status, file->error, &file->info);
        }
    }
    return true;
}

bool explain_alias(explain_t *ex) {
    char alias[shown_size];
    char path[shown_size];
    char command[shown_size];
    escape_text(ex->alias, alias, sizeof alias);
    if (!explain_command_dir(ex)) {
        return false;
    }
    if (load_alias_table(&ex->table) < 0) {
        add_stage_with(ex, "alias", "refused", "%s cannot be listed", command_dir);
        add_log(ex, false, log_opendir_failed, command_dir);
        return refuse(ex, "alias", error_message);
    }
    ex->definition = find_definition(&ex->table, ex->alias);
    if (!log_passed_files(ex)) {
        return false;
    }
    if (ex->definition == nullptr) {
        stage_t *stage =
            add_stage_with(ex, "alias", "refused", "no command file defines \"%s\"", alias);
        append_near_misses(ex, stage);
        add_log(ex, false, log_alias_not_found, ex->user, ex->alias);
        return refuse(ex, "alias", error_message);
    }
    const definition_t *found = ex->definition;
    char how[shown_size + message_size];
    char user[shown_size];
    if (found->root != 0) {
        format_cut(how, sizeof how, "runs as root");
    } else if (found->user != nullptr) {
        format_cut(how, sizeof how, "runs as account \"%s\"",
                   escape_text(found->user, user, sizeof user));
    } else {
        format_cut(how, sizeof how, "runs as the requesting user");
    }
    add_stage_with(ex, "alias", "ok", "%s: %s:%zu, %s, %s", alias,
                   escape_text(found->file->path, path, sizeof path), found->line,
                   escape_text(found->command, command, sizeof command), how);
    return true;
}

// ---- account and flags --------------------------------------------------------------------

bool explain_account(explain_t *ex) {
    account_decision_t decision =
        decide_account(ex->user, &ex->account, ex->account_buffer, sizeof ex->account_buffer);
    char user[shown_size];
    escape_text(ex->user, user, sizeof user);
    // In the order of the faults.
    static constexpr const char *texts[] = {nullptr, "the password database cannot be read",
                                            "no such account", "uid 0 or group 0 is refused",
                                            "no home directory"};
    log_sink_t sink = prediction_sink(ex);
    log_account_fault(&sink, ex->user, &decision);
    if (decision.fault != account_fault::none) {
        add_stage_with(ex, "account", "refused", "%s: %s", user,
                       texts[static_cast<size_t>(decision.fault)]);
        return refuse(ex, "account", error_message);
    }
    ex->has_account = true;
    char home[shown_size];
    add_stage_with(ex, "account", "ok", "%s: uid %u, gid %u, home %s", user, ex->account.pw_uid,
                   ex->account.pw_gid, escape_text(ex->account.pw_dir, home, sizeof home));
    return true;
}

bool explain_flags(explain_t *ex) {
    flags_t flags = read_flags();
    ex->flags_known = true;
    ex->debug = flags.debug;
    ex->search_disabled = flags.search_disabled;
    add_stage_with(ex, "flags", "ok", "debug %s, shared-uid search %s", ex->debug ? "on" : "off",
                   ex->search_disabled ? "off" : "on");
    return true;
}

// ---- launch -------------------------------------------------------------------------------

bool explain_command_path(explain_t *ex) {
    const char *command = ex->definition->command;
    char shown_command[shown_size];
    escape_text(command, shown_command, sizeof shown_command);
    if (!is_absolute_command(command)) {
        add_stage_with(ex, "command", "refused", "\"%s\" is not absolute", shown_command);
        add_log(ex, false, log_command_not_absolute, command, ex->user);
        return refuse(ex, "command", error_message);
    }
    add_stage_with(ex, "command", "ok", "%s is absolute", shown_command);
    return true;
}
void append_value(stage_t *stage, const char *value) {
    char text[shown_size];
    append(stage, " ");
    append(stage, escape_text(value, text, sizeof text));
}

// The server ends with the command path when the validator fails or refuses.
bool refuse_at_validator(explain_t *ex) {
    add_log(ex, false, log_cant_start, ex->definition->command);
    return refuse(ex, "validator", error_message);
}

bool explain_validator(explain_t *ex) {
    int error = predict_exec_error(validator_path);
    bool runnable = error == 0;
    stage_t *stage = add_stage(ex, "validator", runnable ? "ok" : "refused");
    append(stage, validator_path);
    append_value(stage, ex->user);
    append_value(stage, ex->account.pw_dir);
    append_value(stage, ex->definition->command);
    for (int i = 0; i < ex->arg_count; ++i) {
        append_value(stage, ex->args[i]);
    }
    ex->validator_known = true;
    if (!runnable) {
        append(stage, "\n  the validator cannot be executed: the request fails");
        add_log(ex, false, log_execv_failed, strerror(error))->forked = true;
        return refuse_at_validator(ex);
    }
    char verdict[detail_size];
    bool approves = predict_validator(ex->user, ex->account.pw_dir, ex->definition->command,
                                      ex->args, ex->arg_count, &ex->validator_verdict);
    describe_prediction(&ex->validator_verdict, verdict, sizeof verdict);
    append(stage, verdict);
    if (!approves) {
        stage->result = "refused";
        return refuse_at_validator(ex);
    }
    return true;
}

bool explain_container(explain_t *ex) {
    ex->container_marker = container_skip_marker();
    if (ex->container_marker != nullptr) {
        add_stage_with(ex, "container", "skipped", "skipped: %s exists", ex->container_marker);
        return true;
    }
    ex->container_entered = true;
    add_stage_with(ex, "container", "ok", "enters the resource container of uid %u",
                   ex->account.pw_uid);
    return true;
}

void fill_groups(identity_t *identity, const char *name) {
    identity->group_count = find_groups(name, identity->gid, &identity->groups);
    if (identity->group_count < 0) {
        identity->group_count = 0;
    }
}

// Root mode keeps the groups the server was started with, which are this process's.
void fill_own_groups(identity_t *identity) {
    int count = getgroups(0, nullptr);
    if (count <= 0) {
        return;
    }
    identity->groups = static_cast<gid_t *>(calloc(static_cast<size_t>(count), sizeof(gid_t)));
    if (identity->groups != nullptr) {
        identity->group_count = getgroups(count, identity->groups);
        identity->group_count = identity->group_count < 0 ? 0 : identity->group_count;
    }
}

bool explain_identity(explain_t *ex) {
    const definition_t *found = ex->definition;
    identity_t *identity = &ex->identity;
    char text[message_size];
    char user[shown_size];
    identity_mode mode = decide_identity_mode(found->root, found->user);
    identity->mode = identity_mode_name(mode);
    if (mode == identity_mode::root) {
        identity->uid = 0;
        identity->gid = 0;
        fill_own_groups(identity);
        add_stage_with(ex, "identity", "ok", "stays root (uid 0, gid 0, the server's groups)");
        ex->has_identity = true;
        return true;
    }
    if (mode == identity_mode::command_user) {
        struct passwd entry {};
        char buffer[passwd_buffer_size];
        struct passwd *account = nullptr;
        int error = getpwnam_r(found->user, &entry, buffer, sizeof buffer, &account);
        if (account == nullptr) {
            add_stage_with(ex, "identity", "refused", "account \"%s\" does not exist",
                           escape_text(found->user, user, sizeof user));
            log_sink_t sink = prediction_sink(ex);
            log_command_user_fault(&sink, found->user, error);
            return refuse(ex, "identity", error_message);
        }
        identity->uid = account->pw_uid;
        identity->gid = account->pw_gid;
        fill_groups(identity, found->user);
        identity->root_closed = true;
        format_cut(text, sizeof text, "account %s: ", escape_text(found->user, user, sizeof user));
    } else {
        identity->uid = ex->account.pw_uid;
        identity->gid = ex->account.pw_gid;
        fill_groups(identity, ex->user);
        identity->root_closed = true;
        format_cut(text, sizeof text, "requesting user: ");
    }
    ex->has_identity = true;
    stage_t *stage = add_stage_with(ex, "identity", "ok", "%suid %u, gid %u, groups", text,
                                    identity->uid, identity->gid);
    for (int i = 0; i < identity->group_count; ++i) {
        append_format(stage, " %u", identity->groups[i]);
    }
    append(stage, "; real, effective and saved uid all set: no way back to root");
    return true;
}

void explain_home_and_crontab(explain_t *ex) {
    char home[shown_size];
    add_stage_with(ex, "home", "ok", "HOME=%s", escape_text(ex->account.pw_dir, home, sizeof home));
    crontab_kind kind = decide_crontab_kind(ex->definition->alias);
    ex->crontab = crontab_kind_name(kind);
    stage_t *stage = add_stage(ex, "crontab", ex->crontab != nullptr ? "ok" : "skipped");
    if (kind == crontab_kind::none) {
        format_cut(stage->detail, sizeof stage->detail, "not a crontab alias");
    } else if (kind == crontab_kind::check) {
        format_cut(stage->detail, sizeof stage->detail,
                   "runs the command with -l quietly: status 0 ends the request with status 0; "
                   "otherwise the command runs with the single argument -");
    } else {
        format_cut(stage->detail, sizeof stage->detail,
                   "the command runs with the single argument %s; the extra arguments are "
                   "dropped",
                   kind == crontab_kind::list ? "-l" : "-");
    }
}

// The path as the server makes it, cut where the server's buffer cuts it.
void find_pid_file(explain_t *ex) {
    const definition_t *found = ex->definition;
    if (!writes_pid_file(decide_identity_mode(found->root, found->user), found->alias)) {
        return;
    }
    ex->has_pid_file = true;
    ex->pid_file_fits =
        make_pid_file_path(ex->pid_file, sizeof ex->pid_file, ex->account.pw_dir, ex->pid);
}

void explain_pid_file(explain_t *ex) {
    if (!ex->has_pid_file) {
        add_stage_with(ex, "pidfile", "skipped", "no pid file is written");
        return;
    }
    char path[shown_size];
    stage_t *stage = add_stage_with(ex, "pidfile", "ok", "%s, written as the requesting user",
                                    escape_text(ex->pid_file, path, sizeof path));
    // A path that does not fit is not tried at all. When the file cannot be written, the
    // server logs it and goes on without a pid file.
    int error = ex->pid_file_fits ? ex->probe.pid_file : ENAMETOOLONG;
    ex->pid_file_created = error == 0;
    if (error == 0) {
        return;
    }
    append_format(stage, "\n  it cannot be written (%s): the command runs without it",
                  strerror(error));
    add_log(ex, false, log_pid_file_failed, ex->pid_file, strerror(error));
}

// EACCES leaves the command in "/"; any other error ends the request.
bool explain_cwd(explain_t *ex) {
    char cwd[shown_size];
    escape_text(ex->cwd, cwd, sizeof cwd);
    int error = ex->probe.cwd;
    switch (decide_working_directory(error)) {
        case cwd_outcome::enter:
            ex->cwd_result = "enter";
            add_stage_with(ex, "cwd", "ok", "%s: may be entered", cwd);
            return true;
        case cwd_outcome::stays_in_root:
            ex->cwd_result = "eacces-stays-in-root";
            add_stage_with(ex, "cwd", "ok",
                           "%s: the final identity may not enter it: the command starts in /", cwd);
            return true;
        case cwd_outcome::fails:
            break;
    }
    add_stage_with(ex, "cwd", "refused", "%s: %s", cwd, strerror(error));
    add_log(ex, false, log_chdir_failed, ex->cwd, strerror(error));
    return refuse(ex, "cwd", error_message);
}

bool explain_exec(explain_t *ex) {
    const char *command = ex->definition->command;
    char shown_command[shown_size];
    escape_text(command, shown_command, sizeof shown_command);
    if (ex->probe.exec == 0) {
        add_stage_with(ex, "exec", "ok", "%s", shown_command);
        return true;
    }
    add_stage_with(ex, "exec", "refused", "%s cannot be executed by the final identity (%s)",
                   shown_command, strerror(ex->probe.exec));
    // On the crontab path a failed exec ends the request without a line of the server's own;
    // the pre-check of "check" runs the command in a forked child first, which logs its
    // failure.
    crontab_kind kind = decide_crontab_kind(ex->definition->alias);
    if (kind == crontab_kind::check) {
        add_log(ex, false, log_execv_failed, strerror(ex->probe.exec))->forked = true;
    }
    if (kind == crontab_kind::none) {
        add_log(ex, false, log_cant_start, command);
    }
    return refuse(ex, "exec", error_message);
}

}  // namespace

bool explain_stages(explain_t *ex) {
    if (!explain_request(ex) || !explain_alias(ex) || !explain_account(ex) || !explain_flags(ex) ||
        !explain_auth(ex) || !explain_command_path(ex) || !explain_validator(ex) ||
        !explain_container(ex) || !explain_identity(ex)) {
        return true;
    }
    explain_home_and_crontab(ex);
    find_pid_file(ex);
    probe_result probed = run_probe(ex);
    if (probed == probe_result::failed) {
        return false;
    }
    if (probed == probe_result::no_answer) {
        ex->undetermined = true;
        add_stage_with(ex, "probe", "undetermined",
                       "the child that tries the final identity did not answer within %d "
                       "seconds and was killed: the pid file, the working directory and the "
                       "command were not tried",
                       probe_timeout_ms / 1000);
        return true;
    }
    explain_pid_file(ex);
    if (explain_cwd(ex)) {
        explain_exec(ex);
    }
    return true;
}
