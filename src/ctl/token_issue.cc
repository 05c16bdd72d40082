// vornexctl token issue and rotate: one token for all names of a uid, chosen and written
// under the uid's lock, and the pid-file directory of each name.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include "ctl/token.h"

namespace {

// One name of a uid that gets the uid's token.
struct member_t {
    const account_t *account;
};

// Fills `account` from the database for a name given on the command line; the strings point
// into `buffer`. Null when it may not have a token, with the reason.
const char *look_up(const char *name, struct passwd *entry, char *buffer, size_t size,
                    account_t *account) {
    // The server's own judgement of the account, and an empty home besides: no pid-file
    // directory can be made in it.
    account_decision_t decision = decide_account(name, entry, buffer, size);
    if (decision.fault == account_fault::lookup_failed) {
        return decision.error == ERANGE ? unreadable_entry : "no such account";
    }
    if (decision.fault == account_fault::no_account) {
        return "no such account";
    }
    *account = {entry->pw_name, entry->pw_uid, entry->pw_gid,
                entry->pw_dir != nullptr ? entry->pw_dir : const_cast<char *>("")};
    if (decision.fault == account_fault::root) {
        return entry->pw_uid == 0 ? "is root: the server refuses root"
                                  : "has group 0: the server refuses it";
    }
    if (decision.fault == account_fault::no_home || account->home[0] == '\0') {
        return "has no home directory: the server refuses it";
    }
    return nullptr;
}

bool is_given(const token_options_t *options, const char *name) {
    for (int i = 0; i < options->name_count; ++i) {
        if (strcmp(options->names[i], name) == 0) {
            return true;
        }
    }
    return false;
}

bool is_revoked(uint32_t uid, const char *name) {
    state_dirs_t dirs{};
    bool missing = false;
    char error[message_size];
    if (open_state_dirs(uid, name, state_level::user, false, &dirs, &missing, error, sizeof error) <
        0) {
        return false;
    }
    bool revoked = has_revoked_mark(state_fd(&dirs, state_level::user));
    close_state_dirs(&dirs);
    return revoked;
}

const char *describe_token_state(token_check state) {
    switch (state) {
        case token_check::empty:
            return "its first line is empty: no token matches it";
        case token_check::wrong_owner:
            return "it is not owned by the account's uid: the server refuses the right token and "
                   "counts it as a failed attempt";
        case token_check::wrong_mode:
            return "its mode is not 0400: the server refuses the right token and counts it as a "
                   "failed attempt";
        case token_check::not_regular:
            return "it is not a regular file";
        case token_check::unreadable:
            return "it cannot be read";
        case token_check::missing:
        case token_check::usable:
            break;
    }
    return "";
}

void note_pid_directory(token_outcome_t *outcome, const account_t *account) {
    if (!make_pid_dir_path(account->home, outcome->pid_directory, sizeof outcome->pid_directory)) {
        outcome->pid_directory[0] = '\0';
        add_warning(outcome, "the pid-file directory's path is too long");
        return;
    }
    const char *reason = nullptr;
    pid_dir_state state = prepare_pid_directory(account, true, &reason);
    if (state == pid_dir_state::created || state == pid_dir_state::existed) {
        outcome->pid_result = state == pid_dir_state::created ? "created" : "exists";
        if (state == pid_dir_state::created) {
            syslog(LOG_NOTICE, "Created pid-file directory %s for %s (UID %u)",
                   outcome->pid_directory, account->name, account->uid);
        }
        return;
    }
    outcome->pid_result = "failed";
    char text[message_size];
    char path[shown_size];
    format_cut(text, sizeof text, "pid-file directory %s not made: %s",
               escape_text(outcome->pid_directory, path, sizeof path), reason);
    // Something the user planted where the directory belongs fails the name; any other reason
    // (a home that is not the user's, say) leaves the server only without its pid file.
    if (state == pid_dir_state::planted) {
        outcome->failed = true;
        snprintf(outcome->error, sizeof outcome->error, "%s", text);
    } else {
        add_warning(outcome, text);
    }
}

// Writes or keeps the token of one name; the directories are made as needed.
void issue_one(token_run_t *run, const account_t *account, const char *token, bool given,
               token_outcome_t *outcome) {
    state_dirs_t dirs{};
    bool missing = false;
    if (open_state_dirs(account->uid, account->name, state_level::dot, true, &dirs, &missing,
                        outcome->error, sizeof outcome->error) < 0) {
        outcome->result = "error";
        return;
    }
    int user_fd = state_fd(&dirs, state_level::user);
    int dot_fd = state_fd(&dirs, state_level::dot);
    format_cut(outcome->token_file, sizeof outcome->token_file, "%s/%s", dirs.path,
               token_leaf_name());
    token_inspection_t inspection{};
    inspect_token(dot_fd, account->uid, &inspection);
    bool same = inspection.state == token_check::usable &&
                strncmp(inspection.first_line, token, strlen(token) - 1) == 0 &&
                strlen(inspection.first_line) == strlen(token) - 1;
    explicit_bzero(inspection.first_line, sizeof inspection.first_line);
    bool planted_link =
        inspection.state == token_check::not_regular && S_ISLNK(inspection.info.st_mode);
    if (inspection.state == token_check::usable && !run->options.rotate) {
        outcome->result = "kept";
        if (!same) {
            add_warning(outcome,
                        "holds another token than the other names of its uid: the "
                        "shared-uid search counts a failure against it; rotate to give "
                        "them one token");
        }
    } else if (planted_link || (inspection.state != token_check::missing && !run->options.rotate)) {
        // A link at the token path is someone's doing: rotate leaves it for a person to look
        // at, as issue does.
        char text[message_size];
        char path[shown_size];
        format_cut(text, sizeof text, "%s: %s; left as it is%s",
                   escape_text(outcome->token_file, path, sizeof path),
                   planted_link ? "it is a link" : describe_token_state(inspection.state),
                   planted_link ? " (remove it, then issue)" : " (rotate replaces it)");
        fail(outcome, text);
    } else if (write_token_file(dot_fd, account->uid, account->gid, token, outcome->error,
                                sizeof outcome->error) < 0) {
        outcome->result = "error";
    } else {
        outcome->result = inspection.state == token_check::missing ? "created" : "rotated";
        syslog(LOG_NOTICE, "Token %s for %s (UID %u)", outcome->result, account->name,
               account->uid);
    }
    if (given && strcmp(outcome->result, "error") != 0 &&
        unlinkat(user_fd, revoked_mark_name, 0) == 0) {
        syslog(LOG_NOTICE, "Revocation lifted for %s (UID %u)", account->name, account->uid);
    }
    close_state_dirs(&dirs);
    if (strcmp(outcome->result, "error") != 0 && account->home[0] != '\0') {
        note_pid_directory(outcome, account);
    }
}

// The names of a uid that get the token: every listed name of the uid in the database's order
// (one given on the command line but not listed goes first), less revoked ones not given.
size_t gather_group(token_run_t *run, const account_t *named, member_t *group, size_t size) {
    size_t count = 0;
    if (find_listed_account(&run->accounts, named->name) == nullptr) {
        group[count++].account = named;
    }
    for (size_t i = 0; i < run->accounts.count && count < size; ++i) {
        const account_t *account = &run->accounts.items[i];
        if (account->uid != named->uid || run->done[i]) {
            continue;
        }
        run->done[i] = true;
        bool given = account == named || strcmp(account->name, named->name) == 0 ||
                     is_given(&run->options, account->name);
        if (given || !is_revoked(account->uid, account->name)) {
            group[count++].account = account;
        }
    }
    return count;
}

// The token the group gets: a new one for rotate, else the first usable one of the group, else
// a new one.
bool choose_token(const token_run_t *run, const member_t *group, size_t count, char *token,
                  size_t size) {
    for (size_t i = 0; !run->options.rotate && i < count; ++i) {
        if (read_usable_token(group[i].account, token, size)) {
            return true;
        }
    }
    return make_token_text(token, size) == 0;
}

void issue_group(token_run_t *run, const account_t *named) {
    auto *group = static_cast<member_t *>(calloc(run->accounts.count + 1, sizeof(member_t)));
    if (group == nullptr) {
        print_error("token", "out of memory");
        run->status = status_problems;
        return;
    }
    size_t count = gather_group(run, named, group, run->accounts.count + 1);
    // The token is chosen and written under the lock, so two runs never leave two tokens.
    bool timed_out = false;
    int lock = count > 0 ? lock_uid_tokens(named->uid, named->name, &timed_out) : -1;
    char token[line_size + 1];
    bool chosen = !timed_out && count > 0 && choose_token(run, group, count, token, sizeof token);
    for (size_t i = 0; i < count; ++i) {
        token_outcome_t outcome{};
        const account_t *member = group[i].account;
        outcome.name = member->name;
        outcome.has_uid = true;
        outcome.uid = member->uid;
        if (timed_out) {
            fail(&outcome,
                 "another run of vornexctl token held the names of this uid for half a "
                 "minute; nothing was done");
        } else if (!chosen) {
            fail(&outcome, "no random bytes for a token");
        } else {
            issue_one(run, member, token, is_given(&run->options, member->name), &outcome);
        }
        emit(run, &outcome);
    }
    if (lock >= 0) {
        close(lock);
    }
    explicit_bzero(token, sizeof token);
    free(group);
}

bool is_done(const token_run_t *run, const char *name) {
    for (size_t i = 0; i < run->accounts.count; ++i) {
        if (run->done[i] && strcmp(run->accounts.items[i].name, name) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

void issue_named(token_run_t *run, const char *name) {
    token_outcome_t outcome{};
    outcome.name = name;
    if (!is_usable_name(name)) {
        fail(&outcome, "not a usable name: empty, \".\", \"..\" or holding \"/\"");
        emit(run, &outcome);
        return;
    }
    if (is_done(run, name)) {
        return;
    }
    struct passwd entry {};
    char buffer[passwd_buffer_size];
    account_t account{};
    const char *refusal = look_up(name, &entry, buffer, sizeof buffer, &account);
    if (refusal != nullptr) {
        outcome.has_uid = account.name != nullptr;
        outcome.uid = account.uid;
        fail(&outcome, refusal);
        emit(run, &outcome);
        return;
    }
    issue_group(run, &account);
}

// Every account of the uid range with a home directory, except revoked names.
void issue_all(token_run_t *run) {
    uid_range_t range{};
    read_uid_range(&range);
    if (range.min > range.max) {
        print_error(login_defs_path, uid_range_empty);
        run->status = status_problems;
    }
    for (size_t i = 0; i < run->accounts.count; ++i) {
        const account_t *account = &run->accounts.items[i];
        if (run->done[i] || !in_uid_range(&range, account->uid) ||
            is_revoked(account->uid, account->name) || !has_home(account)) {
            continue;
        }
        issue_named(run, account->name);
    }
}
