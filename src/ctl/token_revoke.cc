// vornexctl token revoke: the token file removed and a mark left that `issue --all` passes
// over; with --purge the whole per-user directory of a name that has no account any more.

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include "common/facts.h"
#include "ctl/token.h"

namespace {

constexpr int purge_depth = 16;
constexpr mode_t mark_mode = 0600;

// Another name of the uid whose token still opens requests for this one.
const char *find_serving_name(const token_run_t *run, uint32_t uid, const char *name) {
    if (read_flags().search_disabled) {
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

void revoke_one(token_run_t *run, const char *name, uint32_t uid, token_outcome_t *outcome) {
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
        char serving[shown_size];
        format_cut(text, sizeof text,
                   "requests for it still succeed through the shared-uid search with the "
                   "token of %s (uid %u), since %s is absent",
                   escape_text(outcome->served_by, serving, sizeof serving), uid,
                   disable_duid_flag_file);
        add_warning(outcome, text);
    }
}

void purge_one(const char *name, uint32_t uid, token_outcome_t *outcome) {
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

}  // namespace

void revoke_named(token_run_t *run, const char *name) {
    token_outcome_t outcome{};
    outcome.name = name;
    const token_options_t *options = &run->options;
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
