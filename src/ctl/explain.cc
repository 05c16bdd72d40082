// vornexctl explain: a dry run of one request through the server's stages, in the server's
// order, stopping where the server would stop, with the lines the server would log there.
//
// It changes nothing: the auth logs are read without their lock (the server replaces them
// whole by rename), no file is created (not even a missing lock file), the token file is
// looked at through an O_PATH descriptor and never read, and nothing is executed. What the
// final identity meets (the pid file, the working directory, the command) is tried by a
// child process that takes that identity, opens nothing for creation, and only reports. The
// child takes only the effective ids, so that its real and saved uid stay 0 and the user
// whose identity it takes can neither stop nor kill it; and it is killed when it has not
// answered in time, so that explain never waits without a bound.

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "ctl/ctl.h"
#include "driver/log_formats.h"

namespace {

constexpr const char default_pid[] = "1";
constexpr const char temp_suffix[] = ".<pid>";

constexpr size_t max_log_lines = 64;
constexpr size_t max_auth_names = 32;
constexpr size_t max_stages = 16;
constexpr size_t detail_size = 8192;
constexpr mode_t permission_bits = 07777;
constexpr size_t interpreter_size = 256;
constexpr const char elf_magic[] = "\177ELF";
// The server's pid file open without O_CREAT and O_TRUNC: nothing is created or changed.
constexpr int pid_file_probe_flags =
    O_WRONLY | O_SYNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
// How long the probe child may take to answer, and to be reaped once killed.
constexpr int probe_timeout_ms = 5000;
constexpr int reap_attempts = 100;
constexpr useconds_t reap_pause_us = 10000;

// A logged line can quote two per-user paths.
constexpr size_t log_text_size = 2 * passwd_buffer_size;

struct log_line_t {
    char text[log_text_size];
    bool debug_only;
    bool forked;  // logged by a forked child under its own ident
};

enum class token_state { usable, missing, wrong_owner, wrong_mode, not_regular, not_checked };

struct auth_name_t {
    char *name;
    char directory[passwd_buffer_size];
    bool directory_exists;
    bool has_record;
    auth_record_t record;
    bool blocked;
    token_state token;
    uid_t token_owner;
    mode_t token_mode;
    bool usable;
};

struct stage_t {
    const char *name;
    const char *result;  // "ok", "refused" or "skipped"
    char detail[detail_size];
};

struct identity_t {
    const char *mode;
    uid_t uid;
    gid_t gid;
    gid_t *groups;  // on the heap
    int group_count;
    bool root_closed;
};

// What the final identity met, as errno values (0: it worked), told by the probe child.
struct probe_t {
    int pid_file;
    int cwd;
    int exec;
};

struct explain_t {
    // The request.
    const char *user;
    const char *alias;
    const char *pid;
    const char *cwd;
    bool cwd_given;
    char **args;
    int arg_count;
    // What the stages found.
    alias_table_t table;
    const definition_t *definition;
    struct passwd account;
    char account_buffer[passwd_buffer_size];
    bool has_account;
    bool flags_known;
    bool debug;
    bool search_disabled;
    auth_name_t names[max_auth_names];
    size_t name_count;
    bool more_names;
    bool validator_known;
    validator_prediction_t validator_verdict;
    bool container_entered;
    const char *container_marker;
    bool has_identity;
    identity_t identity;
    const char *crontab;
    char pid_file[passwd_buffer_size];
    bool has_pid_file;  // the server tries to write one
    bool pid_file_fits;
    bool pid_file_created;
    probe_t probe;
    bool probe_failed;
    bool undetermined;  // the probe child did not answer in time
    const char *cwd_result;
    // The outcome.
    const char *refused_stage;
    const char *stderr_line;
    log_line_t lines[max_log_lines];
    size_t line_count;
    stage_t stages[max_stages];
    size_t stage_count;
    int64_t now;
};

// ---- recording ----------------------------------------------------------------------------

stage_t *add_stage(explain_t *ex, const char *name, const char *result) {
    if (ex->stage_count == max_stages) {
        return &ex->stages[max_stages - 1];
    }
    stage_t *stage = &ex->stages[ex->stage_count++];
    stage->name = name;
    stage->result = result;
    stage->detail[0] = '\0';
    return stage;
}

// Appends formatted text to a stage's detail; cut at the end of the buffer.
void append(stage_t *stage, const char *text) {
    size_t used = strlen(stage->detail);
    format_cut(stage->detail + used, sizeof stage->detail - used, "%s", text);
}

// Appends formatted text to a stage's detail, the text itself cut at message_size.
void append_format(stage_t *stage, const char *format, ...) __attribute__((format(printf, 2, 3)));
void append_format(stage_t *stage, const char *format, ...) {
    char text[message_size];
    va_list arguments;
    va_start(arguments, format);
    format_cut_list(text, sizeof text, format, arguments);
    va_end(arguments);
    append(stage, text);
}

// When the lines run out, the last one is used again: the lines of a stage stay complete
// up to the limit, which no request of a sane system reaches.
log_line_t *add_log_line(explain_t *ex, bool debug_only) {
    log_line_t *line = &ex->lines[max_log_lines - 1];
    if (ex->line_count < max_log_lines) {
        line = &ex->lines[ex->line_count++];
    }
    line->debug_only = debug_only;
    line->forked = false;
    line->text[0] = '\0';
    return line;
}

stage_t *add_stage_with(explain_t *ex, const char *name, const char *result, const char *format,
                        ...) __attribute__((format(printf, 4, 5)));
stage_t *add_stage_with(explain_t *ex, const char *name, const char *result, const char *format,
                        ...) {
    stage_t *stage = add_stage(ex, name, result);
    va_list arguments;
    va_start(arguments, format);
    format_cut_list(stage->detail, sizeof stage->detail, format, arguments);
    va_end(arguments);
    return stage;
}

// A line the server would log, formatted with the server's own format.
log_line_t *add_log(explain_t *ex, bool debug_only, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
log_line_t *add_log(explain_t *ex, bool debug_only, const char *format, ...) {
    log_line_t *line = add_log_line(ex, debug_only);
    va_list arguments;
    va_start(arguments, format);
    format_cut_list(line->text, sizeof line->text, format, arguments);
    va_end(arguments);
    return line;
}

// The temporary auth log's name as the lines show it, the process id left open.
void make_temp_path(const char *log_path, char *buffer, size_t size) {
    format_cut(buffer, size, "%s%s", log_path, temp_suffix);
}

bool refuse(explain_t *ex, const char *stage, const char *message) {
    ex->refused_stage = stage;
    ex->stderr_line = message;
    return false;
}

// ---- request ------------------------------------------------------------------------------

bool explain_request(explain_t *ex) {
    char user[shown_size];
    char alias[shown_size];
    char cwd[shown_size];
    char pid[shown_size];
    shown(ex->user, user, sizeof user);
    shown(ex->alias, alias, sizeof alias);
    shown(ex->cwd, cwd, sizeof cwd);
    shown(ex->pid, pid, sizeof pid);
    if (ex->user[0] == '\0' || ex->cwd[0] == '\0' || ex->alias[0] == '\0' || ex->pid[0] == '\0') {
        stage_t *stage = add_stage(ex, "request", "refused");
        append(stage, "an empty argument");

        add_log(ex, false, log_empty_arguments, ex->user, ex->cwd, ex->alias, ex->pid);
        return refuse(ex, "request", unauthorized_message);
    }
    if (is_valid_number(ex->pid) == 0) {
        add_stage_with(ex, "request", "refused", "pid \"%s\" is not all decimal digits", pid);
        add_log(ex, false, log_pid_not_number, ex->pid);
        return refuse(ex, "request", unauthorized_message);
    }
    add_stage_with(ex, "request", "ok", "user %s, alias %s, pid %s, cwd %s", user, alias, pid, cwd);
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
                          shown(definition->file->path, path, sizeof path), definition->line,
                          shown(definition->alias, alias, sizeof alias));
        }
    }
}

// The server refuses the request at a command file that someone other than root can change,
// before it reads a byte of it.
bool refuse_unsafe_file(explain_t *ex, const command_file_t *file) {
    char path[shown_size];
    add_stage_with(ex, "alias", "refused",
                   "%s can be changed by someone other than root (owner uid %u, mode %04o)",
                   shown(file->path, path, sizeof path), static_cast<unsigned>(file->info.st_uid),
                   static_cast<unsigned>(file->info.st_mode & permission_bits));
    add_log(ex, false, log_command_file_unsafe, file->path,
            static_cast<unsigned>(file->info.st_uid),
            static_cast<unsigned>(file->info.st_mode & permission_bits));
    return refuse(ex, "alias", error_message);
}

// The server judges the directory by a descriptor open on it, before the listing.
bool explain_command_dir(explain_t *ex) {
    int fd = open(command_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    struct stat info {};
    int status = fstat(fd, &info);
    close(fd);
    if (status == 0 && is_root_only(&info) == 1) {
        return true;
    }
    unsigned owner = status == 0 ? static_cast<unsigned>(info.st_uid) : 0U;
    unsigned mode = status == 0 ? static_cast<unsigned>(info.st_mode & permission_bits) : 0U;
    add_stage_with(ex, "alias", "refused",
                   "%s can be changed by someone other than root (owner uid %u, mode %04o)",
                   command_dir, owner, mode);
    add_log(ex, false, log_command_dir_unsafe, command_dir, owner, mode);
    return refuse(ex, "alias", error_message);
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
        switch (file->status) {
            case command_file_status::usable:
            case command_file_status::unsafe_link:  // refused above
                break;
            case command_file_status::stat_failed:
                add_log(ex, false, log_stat_failed, file->path, strerror(file->error));
                break;
            case command_file_status::not_regular:
                add_log(ex, false, log_not_regular, file->path);
                break;
            case command_file_status::open_failed:
                add_log(ex, false, log_open_failed, file->path, strerror(file->error));
                break;
        }
    }
    return true;
}

bool explain_alias(explain_t *ex) {
    char alias[shown_size];
    char path[shown_size];
    char command[shown_size];
    shown(ex->alias, alias, sizeof alias);
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
                   shown(found->user, user, sizeof user));
    } else {
        format_cut(how, sizeof how, "runs as the requesting user");
    }
    add_stage_with(ex, "alias", "ok", "%s: %s:%zu, %s, %s", alias,
                   shown(found->file->path, path, sizeof path), found->line,
                   shown(found->command, command, sizeof command), how);
    return true;
}

// ---- account and flags --------------------------------------------------------------------

bool explain_account(explain_t *ex) {
    struct passwd *found = nullptr;
    int error =
        getpwnam_r(ex->user, &ex->account, ex->account_buffer, sizeof ex->account_buffer, &found);
    char user[shown_size];
    shown(ex->user, user, sizeof user);
    const char *text = nullptr;
    if (error != 0) {
        add_log(ex, false, log_getpwnam_failed, strerror(error));
        text = "the password database cannot be read";
    } else if (found == nullptr) {
        add_log(ex, false, log_no_user_info, ex->user);
        text = "no such account";
    } else if (found->pw_uid == 0 || found->pw_gid == 0) {
        add_log(ex, false, log_root_refused);
        text = "uid 0 or group 0 is refused";
    } else if (found->pw_dir == nullptr) {
        add_log(ex, false, log_no_home, ex->user);
        text = "no home directory";
    }
    if (text != nullptr) {
        add_stage_with(ex, "account", "refused", "%s: %s", user, text);
        return refuse(ex, "account", error_message);
    }
    ex->has_account = true;
    char home[shown_size];
    add_stage_with(ex, "account", "ok", "%s: uid %u, gid %u, home %s", user, ex->account.pw_uid,
                   ex->account.pw_gid, shown(ex->account.pw_dir, home, sizeof home));
    return true;
}

bool explain_flags(explain_t *ex) {
    ex->flags_known = true;
    ex->debug = file_exists(debug_flag_file);
    ex->search_disabled = file_exists(disable_duid_flag_file);
    add_stage_with(ex, "flags", "ok", "debug %s, shared-uid search %s", ex->debug ? "on" : "off",
                   ex->search_disabled ? "off" : "on");
    return true;
}

// ---- authentication -----------------------------------------------------------------------

void add_auth_name(explain_t *ex, const char *name) {
    if (ex->name_count == max_auth_names) {
        ex->more_names = true;
        return;
    }
    auth_name_t *entry = &ex->names[ex->name_count];
    entry->name = strdup(name);
    if (entry->name != nullptr) {
        ++ex->name_count;
    }
}

// The names a token check would use, in the server's order: the requesting user's own name
// when the search is off, else every password entry with the requesting uid, as the
// database enumerates them.
void collect_auth_names(explain_t *ex) {
    if (ex->search_disabled) {
        add_auth_name(ex, ex->user);
        return;
    }
    struct passwd entry {};
    char buffer[passwd_buffer_size];
    struct passwd *found = nullptr;
    setpwent();
    while (getpwent_r(&entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        if (found->pw_uid == ex->account.pw_uid) {
            add_auth_name(ex, found->pw_name);
        }
    }
    endpwent();
}

token_state look_at_token_file(uint32_t uid, auth_name_t *entry) {
    char path[passwd_buffer_size];
    get_token_path(path, sizeof path, uid, entry->name);
    int fd = open_token_path(path);
    if (fd < 0) {
        return token_state::missing;
    }
    struct stat status {};
    token_state state = token_state::wrong_owner;  // a status that cannot be read fails alike
    if (fstat(fd, &status) == 0) {
        entry->token_owner = status.st_uid;
        entry->token_mode = status.st_mode & permission_bits;
        switch (classify_token_file(&status, uid)) {
            case token_file_state::usable:
                // Read as a token file, anything else gives an empty first line.
                state = S_ISREG(status.st_mode) ? token_state::usable : token_state::not_regular;
                break;
            case token_file_state::wrong_owner:
                state = token_state::wrong_owner;
                break;
            case token_file_state::wrong_mode:
                state = token_state::wrong_mode;
                break;
        }
    }
    close(fd);
    return state;
}

const char *token_state_name(token_state state) {
    switch (state) {
        case token_state::usable:
            return "usable";
        case token_state::missing:
            return "missing";
        case token_state::wrong_owner:
            return "wrong-owner";
        case token_state::wrong_mode:
            return "wrong-mode";
        case token_state::not_regular:
            return "not-regular";
        case token_state::not_checked:
            break;
    }
    return "not-checked";
}

// The blocked test of a check opens the auth log; a missing one is a debug line.
void log_missing_auth_log(explain_t *ex, const auth_name_t *entry) {
    char path[passwd_buffer_size];
    get_auth_log_path(path, sizeof path, ex->account.pw_uid, entry->name, auth_log_file_name);
    struct stat info {};
    if (stat(path, &info) < 0) {
        add_log(ex, true, log_no_auth_log, path, entry->name);
    }
}

// The lock file is opened for writing, created when missing, never through a link and
// without waiting: a link, a directory, a FIFO or a socket in its place cannot be opened, and
// the check goes on without the lock.
void log_lock_failure(explain_t *ex, const auth_name_t *entry) {
    char path[passwd_buffer_size];
    get_auth_log_path(path, sizeof path, ex->account.pw_uid, entry->name, auth_lock_file_name);
    struct stat info {};
    if (lstat(path, &info) < 0 || S_ISREG(info.st_mode) || S_ISCHR(info.st_mode) ||
        S_ISBLK(info.st_mode)) {
        return;
    }
    add_log(ex, false, log_no_lock_file, path, entry->name);
}

// A check whose outcome is recorded renames its temporary auth log over the auth log; a
// directory in the auth log's place refuses the rename, and the temporary file is removed.
void log_update(explain_t *ex, const auth_name_t *entry) {
    char path[passwd_buffer_size];
    get_auth_log_path(path, sizeof path, ex->account.pw_uid, entry->name, auth_log_file_name);
    struct stat info {};
    if (lstat(path, &info) < 0 || !S_ISDIR(info.st_mode)) {
        return;
    }
    char temp[passwd_buffer_size];
    make_temp_path(path, temp, sizeof temp);
    add_log(ex, false, log_rename_failed, temp, path, entry->name);
    add_log(ex, false, log_temp_removed, temp);
}

// The lines one refused check logs, in the server's order.
void log_refused_check(explain_t *ex, const auth_name_t *entry) {
    uint32_t uid = ex->account.pw_uid;
    char path[passwd_buffer_size];
    if (!entry->directory_exists) {
        get_auth_log_path(path, sizeof path, uid, entry->name, auth_lock_file_name);
        add_log(ex, false, log_no_lock_file, path, entry->name);
        get_auth_log_path(path, sizeof path, uid, entry->name, auth_log_file_name);
        add_log(ex, true, log_no_auth_log, path, entry->name);
        char temp[passwd_buffer_size];
        make_temp_path(path, temp, sizeof temp);
        add_log(ex, false, log_no_auth_log, temp, entry->name);
        return;
    }
    log_lock_failure(ex, entry);
    if (entry->blocked) {
        return;
    }
    log_missing_auth_log(ex, entry);
    get_token_path(path, sizeof path, uid, entry->name);
    if (entry->token == token_state::missing) {
        add_log(ex, true, log_token_missing, path, entry->name);
        return;
    }
    // A token file that breaks a rule, or that gives no token line, counts as a failed
    // attempt; its own line needs the debug flag, the alert does not. The owner line names
    // the requesting account as the name "from socket".
    if (entry->token != token_state::usable && entry->token != token_state::not_checked) {
        const char *socket_name = ex->search_disabled ? ex->user : ex->account.pw_name;
        if (entry->token == token_state::not_regular) {
            add_log(ex, true, log_token_incorrect, entry->name);
        } else if (entry->token == token_state::wrong_owner) {
            add_log(ex, true, log_token_owner, path, static_cast<int>(entry->token_owner),
                    socket_name, static_cast<int>(uid), entry->name);
        } else {
            add_log(ex, true, log_token_mode, path,
                    static_cast<unsigned>(entry->token_mode & 0777U), entry->name);
        }
        add_log(ex, false, log_invalid_token, entry->name, static_cast<int>(uid));
        log_update(ex, entry);
    }
}

void describe_name(explain_t *ex, stage_t *stage, const auth_name_t *entry) {
    char name[shown_size];
    char directory[shown_size];
    char text[message_size];
    char until[time_text_size];
    shown(entry->name, name, sizeof name);
    shown(entry->directory, directory, sizeof directory);
    if (!entry->directory_exists) {
        format_cut(text, sizeof text,
                   "\n  %s %s/: no per-user directory: refused, not counted (the temporary auth "
                   "log cannot be created)",
                   name, directory);
    } else if (entry->blocked) {
        format_cut(text, sizeof text,
                   "\n  %s %s/: token %s; blocked until %s (%lld s more), %d failures: refused "
                   "at once, not counted",
                   name, directory, token_state_name(entry->token),
                   format_time(entry->record.blocked_until, until, sizeof until),
                   static_cast<long long>(entry->record.blocked_until - ex->now),
                   entry->record.failure_count);
    } else {
        const char *effect = "a right token is accepted";
        if (entry->token == token_state::missing) {
            effect = "refused, not counted";
        } else if (entry->token != token_state::usable) {
            effect = "refused and counted as a failure whatever the token";
        }
        format_cut(text, sizeof text, "\n  %s %s/: token %s; %d failures, not blocked: %s", name,
                   directory, token_state_name(entry->token), entry->record.failure_count, effect);
    }
    append(stage, text);
}

bool explain_auth(explain_t *ex) {
    collect_auth_names(ex);
    uint32_t uid = ex->account.pw_uid;
    bool any_usable = false;
    for (size_t i = 0; i < ex->name_count; ++i) {
        auth_name_t *entry = &ex->names[i];
        get_auth_log_path(entry->directory, sizeof entry->directory, uid, entry->name, "");
        size_t length = strlen(entry->directory);
        if (length > 0) {
            entry->directory[length - 1] = '\0';  // no trailing slash
        }
        struct stat info {};
        entry->directory_exists = stat(entry->directory, &info) == 0 && S_ISDIR(info.st_mode);
        entry->has_record = auth_log_read(uid, entry->name, &entry->record) == 1;
        entry->blocked = entry->has_record && entry->record.blocked_until > ex->now;
        entry->token = token_state::not_checked;
        // A blocked name's token file is shown too, though the server does not look at it.
        if (entry->directory_exists) {
            entry->token = look_at_token_file(uid, entry);
        }
        entry->usable = !entry->blocked && entry->token == token_state::usable;
        any_usable = any_usable || entry->usable;
    }
    stage_t *stage = add_stage(ex, "auth", any_usable ? "ok" : "refused");
    if (ex->search_disabled) {
        format_cut(stage->detail, sizeof stage->detail,
                   "one check, for the requesting user's own name (shared-uid search off):");
    } else {
        format_cut(stage->detail, sizeof stage->detail,
                   "shared-uid search over uid %u, in this order:", uid);
    }
    for (size_t i = 0; i < ex->name_count; ++i) {
        describe_name(ex, stage, &ex->names[i]);
    }
    if (ex->more_names) {
        append(stage, "\n  (more names share the uid; not shown)");
    }
    if (ex->name_count == 0) {
        append(stage, "\n  no password entry with this uid is enumerated");
    }
    // The names before the first usable one are refused on the way, with their lines.
    for (size_t i = 0; i < ex->name_count; ++i) {
        if (ex->names[i].usable) {
            log_lock_failure(ex, &ex->names[i]);
            log_missing_auth_log(ex, &ex->names[i]);
            log_update(ex, &ex->names[i]);
            return true;
        }
        log_refused_check(ex, &ex->names[i]);
    }
    return refuse(ex, "auth", error_message);
}

// ---- launch -------------------------------------------------------------------------------

bool explain_command_path(explain_t *ex) {
    const char *command = ex->definition->command;
    char shown_command[shown_size];
    shown(command, shown_command, sizeof shown_command);
    if (command[0] != '/') {
        add_stage_with(ex, "command", "refused", "\"%s\" is not absolute", shown_command);
        add_log(ex, false, log_command_not_absolute, command, ex->user);
        return refuse(ex, "command", error_message);
    }
    add_stage_with(ex, "command", "ok", "%s is absolute", shown_command);
    return true;
}

// A script's interpreter: the text after "#!" and any blanks, up to a blank or the line's end.
int interpreter_error(char *head) {
    char *start = head + 2 + strspn(head + 2, " \t");
    start[strcspn(start, " \t\n")] = '\0';
    if (*start == '\0') {
        return ENOEXEC;
    }
    return faccessat(AT_FDCWD, start, X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

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

void append_value(stage_t *stage, const char *value) {
    char text[shown_size];
    append(stage, " ");
    append(stage, shown(value, text, sizeof text));
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
    static constexpr const char *markers[] = {edition_tavo_marker, edition_quellan_marker};
    for (const char *marker : markers) {
        if (access(marker, F_OK) == 0) {
            ex->container_marker = marker;

            add_stage_with(ex, "container", "skipped", "skipped: %s exists", marker);
            return true;
        }
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
    if (found->root != 0) {
        identity->mode = "root";
        identity->uid = 0;
        identity->gid = 0;
        fill_own_groups(identity);

        add_stage_with(ex, "identity", "ok", "stays root (uid 0, gid 0, the server's groups)");
        ex->has_identity = true;
        return true;
    }
    if (found->user != nullptr) {
        identity->mode = "account";
        struct passwd entry {};
        char buffer[passwd_buffer_size];
        struct passwd *account = nullptr;
        int error = getpwnam_r(found->user, &entry, buffer, sizeof buffer, &account);
        if (account == nullptr) {
            add_stage_with(ex, "identity", "refused", "account \"%s\" does not exist",
                           shown(found->user, user, sizeof user));
            if (error == 0) {
                add_log(ex, false, log_no_passwd_info, found->user);
            } else {
                add_log(ex, false, log_getpwnam_failed, strerror(error));
            }
            return refuse(ex, "identity", error_message);
        }
        identity->uid = account->pw_uid;
        identity->gid = account->pw_gid;
        fill_groups(identity, found->user);
        identity->root_closed = true;
        format_cut(text, sizeof text, "account %s: ", shown(found->user, user, sizeof user));
    } else {
        identity->mode = "requesting-user";
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
    stage_t *stage =
        add_stage_with(ex, "home", "ok", "HOME=%s", shown(ex->account.pw_dir, home, sizeof home));
    ex->crontab = crontab_kind(ex->definition->alias);
    stage = add_stage(ex, "crontab", ex->crontab != nullptr ? "ok" : "skipped");
    if (ex->crontab == nullptr) {
        format_cut(stage->detail, sizeof stage->detail, "not a crontab alias");
    } else if (strcmp(ex->crontab, "check") == 0) {
        format_cut(stage->detail, sizeof stage->detail,
                   "runs the command with -l quietly: status 0 ends the request with status 0; "
                   "otherwise the command runs with the single argument -");
    } else {
        format_cut(stage->detail, sizeof stage->detail,
                   "the command runs with the single argument %s; the extra arguments are "
                   "dropped",
                   strcmp(ex->crontab, "list") == 0 ? "-l" : "-");
    }
}

// ---- the final identity, tried in a child ---------------------------------------------------

bool writes_pid_file(const explain_t *ex) {
    const definition_t *found = ex->definition;
    return found->root == 0 && found->user == nullptr && ex->crontab == nullptr &&
           strcmp(found->alias, enter_alias) != 0;
}

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
    if (writes_pid_file(ex) && ex->has_pid_file) {
        probe.pid_file = try_pid_file(ex->pid_file);
    }
    probe.cwd = chdir(ex->cwd) == 0 ? 0 : errno;
    probe.exec = predict_exec_error(ex->definition->command);
    bool sent = write(out, &probe, sizeof probe) == static_cast<ssize_t>(sizeof probe);
    _exit(sent ? 0 : failed);
}

// Waits for the probe's answer until the time limit: 1 when it is readable, 0 at the limit.
int wait_for_answer(int fd) {
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long spent =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
        if (spent >= probe_timeout_ms) {
            return 0;
        }
        struct pollfd ready {
            fd, POLLIN, 0
        };
        int polled = poll(&ready, 1, static_cast<int>(probe_timeout_ms - spent));
        if (polled > 0) {
            return 1;
        }
        if (polled < 0 && errno != EINTR) {
            return 1;  // the read that follows tells
        }
    }
}

// A child that does not end even when killed (stuck in the kernel) is left to init.
bool reap_child(pid_t child, int *status) {
    for (int attempt = 0; attempt < reap_attempts; ++attempt) {
        pid_t ended = waitpid(child, status, WNOHANG);
        if (ended == child) {
            return true;
        }
        if (ended < 0 && errno != EINTR) {
            return false;
        }
        usleep(reap_pause_us);
    }
    return false;
}

enum class probe_result { answered, failed, no_answer };

probe_result run_probe(explain_t *ex) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) {
        return probe_result::failed;
    }
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        run_probe_child(ex, fds[1]);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        return probe_result::failed;
    }
    ssize_t got = -1;
    bool answered = wait_for_answer(fds[0]) == 1;
    if (answered) {
        do {
            got = read(fds[0], &ex->probe, sizeof ex->probe);
        } while (got < 0 && errno == EINTR);
    } else {
        kill(child, SIGKILL);
    }
    close(fds[0]);
    int status = 0;
    bool ended = reap_child(child, &status);
    if (!answered) {
        return probe_result::no_answer;
    }
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                   got == static_cast<ssize_t>(sizeof ex->probe)
               ? probe_result::answered
               : probe_result::failed;
}

// The path as the server makes it, cut where the server's buffer cuts it.
void make_pid_file_path(explain_t *ex) {
    if (!writes_pid_file(ex)) {
        return;
    }
    int length = snprintf(ex->pid_file, sizeof ex->pid_file, "%s/.vornex/tmp/.vornex.proxy.%s",
                          ex->account.pw_dir, ex->pid);
    ex->has_pid_file = true;
    ex->pid_file_fits = length >= 0 && static_cast<size_t>(length) < sizeof ex->pid_file;
}

void explain_pid_file(explain_t *ex) {
    stage_t *stage = nullptr;
    if (!ex->has_pid_file) {
        stage = add_stage_with(ex, "pidfile", "skipped", "no pid file is written");
        return;
    }
    char path[shown_size];
    stage = add_stage_with(ex, "pidfile", "ok", "%s, written as the requesting user",
                           shown(ex->pid_file, path, sizeof path));
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
    shown(ex->cwd, cwd, sizeof cwd);
    int error = ex->probe.cwd;
    if (error == 0) {
        ex->cwd_result = "enter";
        add_stage_with(ex, "cwd", "ok", "%s: may be entered", cwd);
        return true;
    }
    if (error == EACCES) {
        ex->cwd_result = "eacces-stays-in-root";

        add_stage_with(ex, "cwd", "ok",
                       "%s: the final identity may not enter it: the command starts in /", cwd);
        return true;
    }
    add_stage_with(ex, "cwd", "refused", "%s: %s", cwd, strerror(error));
    add_log(ex, false, log_chdir_failed, ex->cwd, strerror(error));
    return refuse(ex, "cwd", error_message);
}

bool explain_exec(explain_t *ex) {
    const char *command = ex->definition->command;
    char shown_command[shown_size];
    shown(command, shown_command, sizeof shown_command);
    if (ex->probe.exec == 0) {
        add_stage_with(ex, "exec", "ok", "%s", shown_command);
        return true;
    }
    add_stage_with(ex, "exec", "refused", "%s cannot be executed by the final identity (%s)",
                   shown_command, strerror(ex->probe.exec));
    // On the crontab path a failed exec ends the request without a line of the server's own;
    // the pre-check of "check" runs the command in a forked child first, which logs its
    // failure.
    if (ex->crontab != nullptr && strcmp(ex->crontab, "check") == 0) {
        add_log(ex, false, log_execv_failed, strerror(ex->probe.exec))->forked = true;
    }
    if (ex->crontab == nullptr) {
        add_log(ex, false, log_cant_start, command);
    }
    return refuse(ex, "exec", error_message);
}

// The stages in the server's order; the first that refuses ends the walk. False when the
// final identity could not be tried.
bool explain_stages(explain_t *ex) {
    if (!explain_request(ex) || !explain_alias(ex) || !explain_account(ex) || !explain_flags(ex) ||
        !explain_auth(ex) || !explain_command_path(ex) || !explain_validator(ex) ||
        !explain_container(ex) || !explain_identity(ex)) {
        return true;
    }
    explain_home_and_crontab(ex);
    make_pid_file_path(ex);
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

// ---- output -------------------------------------------------------------------------------

void print_explain(const explain_t *ex) {
    for (size_t i = 0; i < ex->stage_count; ++i) {
        const stage_t *stage = &ex->stages[i];
        printf("%-10s ", stage->name);
        for (const char *c = stage->detail; *c != '\0'; ++c) {
            fputc(*c, stdout);
            if (*c == '\n') {
                printf("%-10s ", "");
            }
        }
        fputc('\n', stdout);
    }
    if (ex->undetermined) {
        printf("%-10s undetermined at stage probe\n", "result");
        return;
    }
    if (ex->refused_stage == nullptr) {
        printf("%-10s reaches the command given a right token\n", "result");
        return;
    }
    printf("%-10s refused at stage %s; standard error: %s\n", "result", ex->refused_stage,
           ex->stderr_line);
    if (ex->line_count == 0) {
        printf("%-10s the server logs nothing\n", "");
    }
    for (size_t i = 0; i < ex->line_count; ++i) {
        printf("%-10s the server logs%s%s: ", "",
               ex->lines[i].forked ? " (from its forked child)" : "",
               ex->lines[i].debug_only ? " (debug flag only)" : "");
        print_shown(stdout, ex->lines[i].text);
        fputc('\n', stdout);
    }
}

void write_auth(json_writer_t *json, const explain_t *ex) {
    json_begin(json, "auth", '{');
    json_bool(json, "search", !ex->search_disabled);
    json_begin(json, "names", '[');
    for (size_t i = 0; i < ex->name_count; ++i) {
        const auth_name_t *entry = &ex->names[i];
        json_begin(json, nullptr, '{');
        json_string(json, "name", entry->name);
        json_string(json, "directory", entry->directory);
        json_bool(json, "directory_exists", entry->directory_exists);
        json_string(json, "token", token_state_name(entry->token));
        json_int(json, "failures", entry->record.failure_count);
        json_int(json, "blocked_until", entry->record.blocked_until);
        json_int(json, "blocked_seconds_left",
                 entry->blocked ? entry->record.blocked_until - ex->now : 0);
        json_int(json, "block_count", entry->record.block_count);
        json_bool(json, "usable", entry->usable);
        json_end(json, '{');
    }
    json_end(json, '[');
    json_end(json, '{');
}

void write_identity(json_writer_t *json, const explain_t *ex) {
    if (!ex->has_identity) {
        json_null(json, "identity");
        return;
    }
    const identity_t *identity = &ex->identity;
    json_begin(json, "identity", '{');
    json_string(json, "mode", identity->mode);
    json_int(json, "uid", identity->uid);
    json_int(json, "gid", identity->gid);
    json_begin(json, "groups", '[');
    for (int i = 0; i < identity->group_count; ++i) {
        json_int(json, nullptr, identity->groups[i]);
    }
    json_end(json, '[');
    json_bool(json, "root_closed", identity->root_closed);
    json_end(json, '{');
}

void write_entry(json_writer_t *json, const explain_t *ex) {
    const definition_t *found = ex->definition;
    if (found == nullptr) {
        json_null(json, "entry");
        return;
    }
    json_begin(json, "entry", '{');
    json_string(json, "file", found->file->path);
    json_int(json, "line", static_cast<long long>(found->line));
    json_string(json, "command", found->command);
    json_string(json, "mode", identity_mode_name(found));
    json_string(json, "account", found->root != 0 ? "root" : found->user);
    json_end(json, '{');
}

void write_validator(json_writer_t *json, const explain_t *ex) {
    if (!ex->validator_known) {
        json_null(json, "validator");
        return;
    }
    json_begin(json, "validator", '[');
    json_string(json, nullptr, validator_path);
    json_string(json, nullptr, ex->user);
    json_string(json, nullptr, ex->account.pw_dir);
    json_string(json, nullptr, ex->definition->command);
    for (int i = 0; i < ex->arg_count; ++i) {
        json_string(json, nullptr, ex->args[i]);
    }
    json_end(json, '[');
}

void write_launch(json_writer_t *json, const explain_t *ex) {
    write_validator(json, ex);
    if (ex->validator_known) {
        write_prediction(json, &ex->validator_verdict);
    } else {
        json_null(json, "validator_verdict");
    }
    bool container_known = ex->container_entered || ex->container_marker != nullptr;
    if (container_known) {
        json_begin(json, "container", '{');
        json_bool(json, "entered", ex->container_entered);
        json_string(json, "marker", ex->container_marker);
        json_end(json, '{');
    } else {
        json_null(json, "container");
    }
    write_identity(json, ex);
    json_string(json, "home", ex->has_identity ? ex->account.pw_dir : nullptr);
    json_string(json, "crontab", ex->crontab);
    json_string(json, "pid_file", ex->has_pid_file ? ex->pid_file : nullptr);
    if (ex->has_pid_file) {
        json_bool(json, "pid_file_created", ex->pid_file_created);
    } else {
        json_null(json, "pid_file_created");
    }
    json_string(json, "cwd_enter", ex->cwd_result);
}

void write_explain(const explain_t *ex) {
    json_writer_t writer{stdout, 0, {}};
    json_writer_t *json = &writer;
    json_begin(json, nullptr, '{');
    json_string(json, "user", ex->user);
    json_string(json, "alias", ex->alias);
    json_begin(json, "args", '[');
    for (int i = 0; i < ex->arg_count; ++i) {
        json_string(json, nullptr, ex->args[i]);
    }
    json_end(json, '[');
    json_string(json, "pid", ex->pid);
    json_string(json, "cwd", ex->cwd);
    const char *outcome = ex->refused_stage == nullptr ? "reaches-command" : "refused";
    json_string(json, "outcome", ex->undetermined ? "undetermined" : outcome);
    json_string(json, "stage", ex->undetermined ? "probe" : ex->refused_stage);
    json_begin(json, "log", '[');
    for (size_t i = 0; i < ex->line_count; ++i) {
        json_begin(json, nullptr, '{');
        json_string(json, "text", ex->lines[i].text);
        json_string(json, "ident", ex->lines[i].forked ? forked_log_ident : log_ident);
        json_bool(json, "debug_only", ex->lines[i].debug_only);
        json_end(json, '{');
    }
    json_end(json, '[');
    json_string(json, "stderr", ex->stderr_line);
    write_entry(json, ex);
    if (ex->has_account) {
        json_begin(json, "account", '{');
        json_string(json, "name", ex->account.pw_name);
        json_int(json, "uid", ex->account.pw_uid);
        json_int(json, "gid", ex->account.pw_gid);
        json_string(json, "home", ex->account.pw_dir);
        json_end(json, '{');
    } else {
        json_null(json, "account");
    }
    if (ex->flags_known) {
        json_begin(json, "flags", '{');
        json_bool(json, "debug", ex->debug);
        json_bool(json, "shared_uid_search", !ex->search_disabled);
        json_end(json, '{');
    } else {
        json_null(json, "flags");
    }
    if (ex->name_count > 0 || ex->refused_stage == nullptr ||
        strcmp(ex->refused_stage, "auth") == 0) {
        write_auth(json, ex);
    } else {
        json_null(json, "auth");
    }
    write_launch(json, ex);
    json_begin(json, "stages", '[');
    for (size_t i = 0; i < ex->stage_count; ++i) {
        json_begin(json, nullptr, '{');
        json_string(json, "stage", ex->stages[i].name);
        json_string(json, "result", ex->stages[i].result);
        json_string(json, "detail", ex->stages[i].detail);
        json_end(json, '{');
    }
    json_end(json, '[');
    json_end(json, '{');
    json_finish(json);
}

// ---- options ------------------------------------------------------------------------------

// A "--" after the first operand still ends the options of the command line: it is taken
// out, and every word after it is an argument of the request.
int drop_separator(int argc, char **argv) {
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            memmove(argv + i, argv + i + 1, sizeof *argv * static_cast<size_t>(argc - i - 1));
            return argc - 1;
        }
    }
    return argc;
}

bool take_options(explain_t *ex, int argc, char **argv) {
    int i = 0;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if ((strcmp(argv[i], "--pid") == 0 || strcmp(argv[i], "--cwd") == 0) && i + 1 < argc) {
            if (argv[i][2] == 'p') {
                ex->pid = argv[i + 1];
            } else {
                ex->cwd = argv[i + 1];
                ex->cwd_given = true;
            }
            ++i;
            continue;
        }
        if (argv[i][0] == '-' && argv[i][1] == '-') {
            print_error(argv[i], "unknown option");
            return false;
        }
        argc = i + drop_separator(argc - i, argv + i);
        break;
    }
    if (argc - i < 2) {
        print_error("explain", "needs USER and ALIAS");
        return false;
    }
    ex->user = argv[i];
    ex->alias = argv[i + 1];
    ex->args = argv + i + 2;
    ex->arg_count = argc - i - 2;
    return true;
}

// Without --cwd the request runs in the user's home directory ("/" for a name without an
// account: the request fails before the directory matters).
void default_cwd(explain_t *ex) {
    if (ex->cwd_given) {
        return;
    }
    struct passwd *found = nullptr;
    if (getpwnam_r(ex->user, &ex->account, ex->account_buffer, sizeof ex->account_buffer, &found) ==
            0 &&
        found != nullptr && found->pw_dir != nullptr) {
        ex->cwd = found->pw_dir;
        return;
    }
    ex->cwd = "/";
}

void release_explain(explain_t *ex) {
    for (size_t i = 0; i < ex->name_count; ++i) {
        free(ex->names[i].name);
    }
    release_alias_table(&ex->table);
    free(ex->identity.groups);
    free(ex);
}

}  // namespace

int run_explain(int argc, char **argv, bool json) {
    auto *ex = static_cast<explain_t *>(calloc(1, sizeof(explain_t)));
    if (ex == nullptr) {
        print_error("explain", strerror(errno));
        return status_usage;
    }
    ex->pid = default_pid;
    if (!take_options(ex, argc, argv)) {
        free(ex);
        return status_usage;
    }
    ex->now = static_cast<int64_t>(time(nullptr));
    default_cwd(ex);
    // The home directory found for the default is kept apart from the account stage's own.
    char cwd[passwd_buffer_size];
    if (!ex->cwd_given) {
        format_cut(cwd, sizeof cwd, "%s", ex->cwd);
        ex->cwd = cwd;
    }
    if (!explain_stages(ex)) {
        print_error("explain", "the final identity cannot be tried in a child process");
        release_explain(ex);
        return status_usage;
    }
    if (json) {
        write_explain(ex);
    } else {
        print_explain(ex);
    }
    int status = ex->refused_stage == nullptr && !ex->undetermined ? status_fine : status_problems;
    release_explain(ex);
    return status;
}
