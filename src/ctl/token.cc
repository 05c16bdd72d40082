// vornexctl token: issues, rotates and revokes the tokens of names, and prepares every
// directory a name needs: the per-user directory with its ".vornex" (root's, 0755) and the
// pid-file directory in the home (the user's, 0700).
//
// The server's shared-uid search tries every name of a uid in the database's order and counts
// a mismatch against each name it tries before the right one, so all names of one uid get the
// same token: `issue` and `rotate` write one token to the token files of all of them. The
// token itself is never printed or logged.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include "ctl/users.h"

namespace {

constexpr int warnings_max = 4;
constexpr const char unreadable_entry[] =
    "its account cannot be looked up: an entry of the password database is larger than the "
    "server reads";
constexpr int decimal = 10;
constexpr int purge_depth = 16;
constexpr mode_t mark_mode = 0600;

enum class action_t { issue, rotate, revoke };

struct options_t {
    action_t action;
    bool rotate;
    bool all;
    bool purge;
    bool force;
    bool has_uid;
    uint32_t uid;
    char **names;
    int name_count;
};

// What happened to one name, as printed and as JSON.
struct outcome_t {
    const char *name;
    bool has_uid;
    uint32_t uid;
    const char *result;  // created, kept, rotated, revoked, purged, no-directory, error
    char error[message_size];
    bool failed;  // the name fails although its token was done: `error` tells why
    char token_file[passwd_buffer_size];
    char pid_directory[passwd_buffer_size];
    const char *pid_result;  // created, exists, failed, or null
    char warnings[warnings_max][message_size];
    int warning_count;
    const char *served_by;  // revoke: a name of the uid that still holds a token, or null
};

// One name of a uid that gets the uid's token.
struct member_t {
    const account_t *account;
};

struct run_t {
    options_t options;
    account_list_t accounts;
    bool *done;  // per listed account: handled in this run
    json_writer_t json;
    bool as_json;
    int status;
};

// ---- output ---------------------------------------------------------------------------------

void add_warning(outcome_t *outcome, const char *text) {
    if (outcome->warning_count < warnings_max) {
        char *slot = outcome->warnings[outcome->warning_count++];
        snprintf(slot, message_size, "%s", text);
    }
}

void fail(outcome_t *outcome, const char *text) {
    outcome->result = "error";
    snprintf(outcome->error, sizeof outcome->error, "%s", text);
}

bool has_failed(const outcome_t *outcome) {
    return outcome->failed || strcmp(outcome->result, "error") == 0;
}

void print_outcome(const outcome_t *outcome) {
    char name[shown_size];
    char path[shown_size];
    shown(outcome->name, name, sizeof name);
    char uid[time_text_size] = "no account";
    if (outcome->has_uid) {
        snprintf(uid, sizeof uid, "uid %u", outcome->uid);
    }
    char text[shown_size];
    if (strcmp(outcome->result, "error") != 0) {
        printf("%s (%s): %s", name, uid, outcome->result);
        if (outcome->token_file[0] != '\0') {
            printf(" %s", shown(outcome->token_file, path, sizeof path));
        }
        printf("\n");
    }
    if (has_failed(outcome)) {
        fflush(stdout);
        print_error(outcome->name, shown(outcome->error, text, sizeof text));
    }
    if (outcome->pid_result != nullptr && strcmp(outcome->pid_result, "created") == 0) {
        printf("%s (%s): created %s\n", name, uid,
               shown(outcome->pid_directory, path, sizeof path));
    }
    for (int i = 0; i < outcome->warning_count; ++i) {
        printf("%s (%s): warning: %s\n", name, uid, shown(outcome->warnings[i], text, sizeof text));
    }
}

void write_outcome(json_writer_t *json, const outcome_t *outcome) {
    json_begin(json, nullptr, '{');
    json_string(json, "name", outcome->name);
    json_int_or_null(json, "uid", outcome->has_uid, outcome->uid);
    json_string(json, "result", outcome->result);
    json_string(json, "token_file", outcome->token_file[0] != '\0' ? outcome->token_file : nullptr);
    json_string(json, "pid_directory",
                outcome->pid_directory[0] != '\0' ? outcome->pid_directory : nullptr);
    json_string(json, "pid_directory_result", outcome->pid_result);
    json_string(json, "still_served_by", outcome->served_by);
    json_string(json, "error", has_failed(outcome) ? outcome->error : nullptr);
    json_begin(json, "warnings", '[');
    for (int i = 0; i < outcome->warning_count; ++i) {
        json_string(json, nullptr, outcome->warnings[i]);
    }
    json_end(json, '[');
    json_end(json, '{');
}

void emit(run_t *run, const outcome_t *outcome) {
    if (has_failed(outcome)) {
        run->status = status_problems;
    }
    if (run->as_json) {
        write_outcome(&run->json, outcome);
    } else {
        print_outcome(outcome);
    }
}

// ---- accounts -------------------------------------------------------------------------------

// Fills `account` from the database for a name given on the command line; the strings point
// into `buffer`. Null when it may not have a token, with the reason.
const char *look_up(const char *name, struct passwd *entry, char *buffer, size_t size,
                    account_t *account) {
    struct passwd *found = nullptr;
    int error = getpwnam_r(name, entry, buffer, size, &found);
    if (error == ERANGE) {
        return unreadable_entry;
    }
    if (error != 0 || found == nullptr) {
        return "no such account";
    }
    *account = {found->pw_name, found->pw_uid, found->pw_gid,
                found->pw_dir != nullptr ? found->pw_dir : const_cast<char *>("")};
    if (found->pw_uid == 0) {
        return "is root: the server refuses root";
    }
    if (found->pw_gid == 0) {
        return "has group 0: the server refuses it";
    }
    if (found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
        return "has no home directory: the server refuses it";
    }
    return nullptr;
}

// Looked up with the server's buffer: an entry it cannot read (one too large for it, or a
// larger one met on the way) is neither an account nor proof that there is none.
enum class lookup_t { found, none, unreadable };
lookup_t look_up_uid(const char *name, uint32_t *uid) {
    struct passwd entry {};
    struct passwd *found = nullptr;
    char buffer[passwd_buffer_size];
    int error = getpwnam_r(name, &entry, buffer, sizeof buffer, &found);
    if (error == ERANGE) {
        return lookup_t::unreadable;
    }
    if (error != 0 || found == nullptr) {
        return lookup_t::none;
    }
    *uid = found->pw_uid;
    return lookup_t::found;
}

bool is_given(const options_t *options, const char *name) {
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

// The usable token of a name, read without creating anything; false when it has none.
bool read_usable_token(const account_t *account, char *text, size_t size) {
    state_dirs_t dirs{};
    bool missing = false;
    char error[message_size];
    if (open_state_dirs(account->uid, account->name, state_level::dot, false, &dirs, &missing,
                        error, sizeof error) < 0) {
        return false;
    }
    token_inspection_t inspection{};
    inspect_token(state_fd(&dirs, state_level::dot), account->uid, &inspection);
    close_state_dirs(&dirs);
    bool usable = inspection.state == token_check::usable;
    if (usable) {
        snprintf(text, size, "%s\n", inspection.first_line);
    }
    explicit_bzero(inspection.first_line, sizeof inspection.first_line);
    return usable;
}

// ---- issue and rotate -----------------------------------------------------------------------

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

void note_pid_directory(outcome_t *outcome, const account_t *account) {
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
    format_cut(text, sizeof text, "pid-file directory %s not made: %s", outcome->pid_directory,
               reason);
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
void issue_one(run_t *run, const account_t *account, const char *token, bool given,
               outcome_t *outcome) {
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
        format_cut(text, sizeof text, "%s: %s; left as it is%s", outcome->token_file,
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
size_t gather_group(run_t *run, const account_t *named, member_t *group, size_t size) {
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
bool choose_token(const run_t *run, const member_t *group, size_t count, char *token, size_t size) {
    for (size_t i = 0; !run->options.rotate && i < count; ++i) {
        if (read_usable_token(group[i].account, token, size)) {
            return true;
        }
    }
    return make_token_text(token, size) == 0;
}

void issue_group(run_t *run, const account_t *named) {
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
        outcome_t outcome{};
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

bool is_done(const run_t *run, const char *name) {
    for (size_t i = 0; i < run->accounts.count; ++i) {
        if (run->done[i] && strcmp(run->accounts.items[i].name, name) == 0) {
            return true;
        }
    }
    return false;
}

void issue_named(run_t *run, const char *name) {
    outcome_t outcome{};
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
void issue_all(run_t *run) {
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

// ---- revoke and purge -----------------------------------------------------------------------

// Another name of the uid whose token still opens requests for this one.
const char *find_serving_name(const run_t *run, uint32_t uid, const char *name) {
    if (file_exists(disable_duid_flag_file)) {
        return nullptr;
    }
    char token[line_size + 1];
    for (size_t i = 0; i < run->accounts.count; ++i) {
        const account_t *account = &run->accounts.items[i];
        if (account->uid == uid && strcmp(account->name, name) != 0 &&
            read_usable_token(account, token, sizeof token)) {
            explicit_bzero(token, sizeof token);
            return account->name;
        }
    }
    return nullptr;
}

int leave_mark(int user_fd) {
    int fd = openat(user_fd, revoked_mark_name,
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mark_mode);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    return errno == EEXIST && has_revoked_mark(user_fd) ? 0 : -1;
}

void revoke_one(run_t *run, const char *name, uint32_t uid, outcome_t *outcome) {
    state_dirs_t dirs{};
    bool missing = false;
    if (open_state_dirs(uid, name, state_level::user, true, &dirs, &missing, outcome->error,
                        sizeof outcome->error) < 0) {
        outcome->result = "error";
        return;
    }
    int user_fd = state_fd(&dirs, state_level::user);
    if (leave_mark(user_fd) < 0) {
        fail(outcome, "the revocation mark cannot be left in the per-user directory");
    }
    bool removed = false;
    state_dirs_t dot{};
    if (outcome->result == nullptr &&
        open_state_dirs(uid, name, state_level::dot, false, &dot, &missing, outcome->error,
                        sizeof outcome->error) == 0) {
        int dot_fd = state_fd(&dot, state_level::dot);
        format_cut(outcome->token_file, sizeof outcome->token_file, "%s/%s", dot.path,
                   token_leaf_name());
        removed = unlinkat(dot_fd, token_leaf_name(), 0) == 0;
        if ((!removed && errno != ENOENT) || fsync(dot_fd) < 0) {
            fail(outcome, "the token file cannot be removed");
        }
        close_state_dirs(&dot);
    } else if (outcome->result == nullptr && !missing) {
        outcome->result = "error";
    }
    fsync(user_fd);
    close_state_dirs(&dirs);
    if (outcome->result != nullptr) {
        return;
    }
    outcome->result = "revoked";
    syslog(LOG_NOTICE, "Token revoked for %s (UID %u)%s", name, uid,
           removed ? "" : ", no token file was there");
    outcome->served_by = find_serving_name(run, uid, name);
    if (outcome->served_by != nullptr) {
        char text[message_size];
        format_cut(text, sizeof text,
                   "requests for it still succeed through the shared-uid search with the "
                   "token of %s (uid %u), since %s is absent",
                   outcome->served_by, uid, disable_duid_flag_file);
        add_warning(outcome, text);
    }
}

void purge_one(const char *name, uint32_t uid, outcome_t *outcome) {
    state_dirs_t dirs{};
    bool missing = false;
    if (open_state_dirs(uid, name, state_level::user, false, &dirs, &missing, outcome->error,
                        sizeof outcome->error) < 0) {
        outcome->result = missing ? "no-directory" : "error";
        return;
    }
    snprintf(outcome->token_file, sizeof outcome->token_file, "%s", dirs.path);
    int prefix_fd = state_fd(&dirs, state_level::prefix);
    if (remove_tree(state_fd(&dirs, state_level::user), purge_depth) < 0 ||
        unlinkat(prefix_fd, name, AT_REMOVEDIR) < 0) {
        fail(outcome, "the per-user directory cannot be removed whole");
    } else {
        fsync(prefix_fd);
        outcome->result = "purged";
        syslog(LOG_NOTICE, "Per-user directory of %s (UID %u) purged", name, uid);
    }
    close_state_dirs(&dirs);
}

void revoke_named(run_t *run, const char *name) {
    outcome_t outcome{};
    outcome.name = name;
    const options_t *options = &run->options;
    uint32_t account_uid = 0;
    lookup_t lookup = is_usable_name(name) ? look_up_uid(name, &account_uid) : lookup_t::none;
    bool has_account = lookup == lookup_t::found;
    outcome.has_uid = has_account || options->has_uid;
    outcome.uid = has_account ? account_uid : options->uid;
    if (!is_usable_name(name)) {
        fail(&outcome, "not a usable name: empty, \".\", \"..\" or holding \"/\"");
    } else if (lookup == lookup_t::unreadable &&
               !(options->purge && options->force && options->has_uid)) {
        char text[message_size];
        snprintf(text, sizeof text, "%s; --purge --force --uid UID removes its files all the same",
                 unreadable_entry);
        fail(&outcome, text);
    } else if (!has_account && !options->has_uid) {
        fail(&outcome,
             options->purge ? "no such account: give its uid with --uid UID" : "no such account");
    } else if (has_account && options->has_uid && account_uid != options->uid) {
        fail(&outcome, "the account has another uid than --uid");
    } else if (has_account && options->purge && !options->force) {
        fail(&outcome, "still has an account: --purge removes its files only with --force");
    } else if (options->purge) {
        purge_one(name, outcome.uid, &outcome);
    } else {
        revoke_one(run, name, outcome.uid, &outcome);
    }
    emit(run, &outcome);
}

// ---- options --------------------------------------------------------------------------------

bool parse_uid(const char *text, uint32_t *uid) {
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, decimal);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0 && value <= UINT32_MAX &&
           (*uid = static_cast<uint32_t>(value), true);
}

bool take_flag(options_t *options, int argc, char **argv, int *i) {
    const char *word = argv[*i];
    if (strcmp(word, "--rotate") == 0) {
        options->rotate = true;
    } else if (strcmp(word, "--all") == 0) {
        options->all = true;
    } else if (strcmp(word, "--purge") == 0) {
        options->purge = true;
    } else if (strcmp(word, "--force") == 0) {
        options->force = true;
    } else if (strcmp(word, "--uid") == 0 && *i + 1 < argc &&
               parse_uid(argv[*i + 1], &options->uid)) {
        options->has_uid = true;
        ++*i;
    } else {
        print_error(word, "unknown option or missing value");
        return false;
    }
    return true;
}

// The names move to the front of argv, in their order; options may come anywhere before "--".
bool take_options(options_t *options, int argc, char **argv) {
    options->names = argv;
    bool operands_only = false;
    for (int i = 0; i < argc; ++i) {
        if (!operands_only && strcmp(argv[i], "--") == 0) {
            operands_only = true;
        } else if (!operands_only && argv[i][0] == '-' && argv[i][1] == '-') {
            if (!take_flag(options, argc, argv, &i)) {
                return false;
            }
        } else {
            argv[options->name_count++] = argv[i];
        }
    }
    return true;
}

bool parse_action(options_t *options, const char *word) {
    if (strcmp(word, "issue") == 0) {
        options->action = action_t::issue;
    } else if (strcmp(word, "rotate") == 0) {
        options->action = action_t::rotate;
        options->rotate = true;
    } else if (strcmp(word, "revoke") == 0) {
        options->action = action_t::revoke;
    } else {
        print_error(word, "no such token subcommand (issue, rotate, revoke)");
        return false;
    }
    return true;
}

// Every combination that makes no sense is a usage error, before anything is touched.
const char *check_options(const options_t *options) {
    bool revoke = options->action == action_t::revoke;
    if (options->all && options->action != action_t::issue) {
        return "--all is for issue only";
    }
    if (options->all == (options->name_count > 0)) {
        return options->all ? "--all takes no names" : "needs at least one name";
    }
    if (options->rotate && revoke) {
        return "--rotate is for issue only";
    }
    if (!revoke && (options->purge || options->force || options->has_uid)) {
        return "--purge, --force and --uid are for revoke only";
    }
    if (!options->purge && (options->force || options->has_uid)) {
        return "--force and --uid go with --purge";
    }
    return nullptr;
}

void run_names(run_t *run) {
    const options_t *options = &run->options;
    if (options->all) {
        issue_all(run);
        return;
    }
    for (int i = 0; i < options->name_count; ++i) {
        if (options->action == action_t::revoke) {
            revoke_named(run, options->names[i]);
        } else {
            issue_named(run, options->names[i]);
        }
    }
}

}  // namespace

int run_token(int argc, char **argv, bool json) {
    run_t run{};
    if (argc == 0 || !parse_action(&run.options, argv[0]) ||
        !take_options(&run.options, argc - 1, argv + 1)) {
        if (argc == 0) {
            print_error("token", "needs issue, rotate or revoke");
        }
        return status_usage;
    }
    const char *misuse = check_options(&run.options);
    if (misuse != nullptr) {
        print_error("token", misuse);
        return status_usage;
    }
    if (load_accounts(&run.accounts) < 0 ||
        (run.done = static_cast<bool *>(calloc(run.accounts.count + 1, sizeof(bool)))) == nullptr) {
        release_accounts(&run.accounts);
        print_error("token", "the password database cannot be read");
        return status_usage;
    }
    run.as_json = json;
    run.json = {stdout, 0, {}};
    if (json) {
        json_begin(&run.json, nullptr, '{');
        json_string(&run.json, "action", argv[0]);
        json_begin(&run.json, "names", '[');
    }
    run_names(&run);
    if (json) {
        json_end(&run.json, '[');
        json_end(&run.json, '{');
        json_finish(&run.json);
    }
    free(run.done);
    release_accounts(&run.accounts);
    return run.status;
}
