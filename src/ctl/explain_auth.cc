// The authentication stage of explain: the names a token check would try, in the server's
// order, each with its auth log and token file as they are, and the lines the checks log.
// The auth logs are read without their lock and the token files are never read.

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ctl/explain.h"
#include "driver/log_formats.h"

namespace {

// The temporary auth log's name as the lines show it, the process id left open.
void make_temp_path(const char *log_path, char *buffer, size_t size) {
    make_temp_auth_log_path(buffer, size, log_path, "<pid>");
}

// ---- authentication -----------------------------------------------------------------------

bool add_auth_name(void *context, const char *name) {
    auto *ex = static_cast<explain_t *>(context);
    if (ex->name_count == max_auth_names) {
        ex->more_names = true;
        return true;
    }
    auth_name_t *entry = &ex->names[ex->name_count];
    entry->name = strdup(name);
    if (entry->name != nullptr) {
        ++ex->name_count;
    }
    return false;
}

// The names a token check would use, in the server's order: the requesting user's own name
// when the search is off, else every password entry with the requesting uid.
void collect_auth_names(explain_t *ex) {
    if (ex->search_disabled) {
        add_auth_name(ex, ex->user);
        return;
    }
    setpwent();
    walk_uid_names(ex->account.pw_uid, add_auth_name, ex);
    endpwent();
}

// A status that cannot be read is shown as failing the owner rule.
token_state look_at_token(uint32_t uid, auth_name_t *entry) {
    // In the order of the looks.
    static constexpr token_state states[] = {token_state::usable,      token_state::missing,
                                             token_state::wrong_owner, token_state::wrong_owner,
                                             token_state::wrong_mode,  token_state::not_regular};
    char path[passwd_buffer_size];
    get_token_path(path, sizeof path, uid, entry->name);
    int error = 0;
    entry->look = look_at_token_file(path, uid, &entry->token_status, &error);
    return states[static_cast<size_t>(entry->look)];
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
    // A token file that breaks a rule, or that gives no token line, counts as a failed
    // attempt; its own line needs the debug flag, the alert does not. The owner line names
    // the requesting account as the name "from socket". A missing one is not counted.
    get_token_path(path, sizeof path, uid, entry->name);
    if (entry->look == token_file_look::not_regular) {
        add_log(ex, true, log_token_incorrect, entry->name);
    } else {
        log_sink_t sink = debug_prediction_sink(ex);
        log_token_file_fault(&sink, entry->look, path, &entry->token_status, uid,
                             ex->search_disabled ? ex->user : ex->account.pw_name, entry->name);
    }
    if (entry->token != token_state::missing && entry->token != token_state::usable) {
        add_log(ex, false, log_invalid_token, entry->name, static_cast<int>(uid));
        log_update(ex, entry);
    }
}

void describe_name(explain_t *ex, stage_t *stage, const auth_name_t *entry) {
    char name[shown_size];
    char directory[shown_size];
    char text[message_size];
    char until[time_text_size];
    escape_text(entry->name, name, sizeof name);
    escape_text(entry->directory, directory, sizeof directory);
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

}  // namespace

const char *token_state_name(token_state state) {
    // In the order of the enumeration.
    static constexpr const char *names[] = {"usable",     "missing",     "wrong-owner",
                                            "wrong-mode", "not-regular", "not-checked"};
    return names[static_cast<size_t>(state)];
}

bool explain_auth(explain_t *ex) {
    collect_auth_names(ex);
    uint32_t uid = ex->account.pw_uid;
    bool any_usable = false;
    for (size_t i = 0; i < ex->name_count; ++i) {
        auth_name_t *entry = &ex->names[i];
        entry->directory_exists =
            find_user_dir(entry->directory, sizeof entry->directory, uid, entry->name);
        entry->has_record = auth_log_read(uid, entry->name, &entry->record) == 1;
        entry->blocked = entry->has_record && is_blocked_at(&entry->record, ex->now);
        entry->token = token_state::not_checked;
        // A blocked name's token file is shown too, though the server does not look at it.
        if (entry->directory_exists) {
            entry->token = look_at_token(uid, entry);
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
