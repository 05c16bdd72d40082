// vornexctl check --users: the per-user state of every name under /var/vornex (and, with
// --all, of every account of the uid range), as the server will meet it. Nothing is changed
// and nothing below /var/vornex is reached through a link.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "common/facts.h"
#include "ctl/check.h"
#include "ctl/users.h"

namespace {

constexpr size_t initial_names = 16;

struct users_report_t {
    check_report_t findings;
    account_list_t accounts;
    bool *seen;     // per listed account: its per-user directory was checked
    bool *audited;  // per listed account: seen, or with --all of the uid range with a home
};

// One name's per-user directory as found.
struct name_dir_t {
    const char *name;
    const account_t *account;  // null when the name has no account
    char path[passwd_buffer_size];
};

// A path shown in a finding; one too long to fit is shown cut.
void join_path(char *out, size_t size, const char *directory, const char *leaf) {
    format_cut(out, size, "%s/%s", directory, leaf);
}

// A finding about a name's file, "name" in place of check's alias.
void report(users_report_t *out, const char *path, const char *severity, const char *code,
            const char *name, const char *message) {
    finding_t finding{path, 0, severity, code, message, name, nullptr, nullptr, nullptr, "name"};
    report(&out->findings, &finding);
}

bool in_groups(const account_t *account, gid_t gid) {
    gid_t *groups = nullptr;
    int count = find_groups(account->name, account->gid, &groups);
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
        found = groups[i] == gid;
    }
    free(groups);
    return found;
}

bool is_user_writable(const struct stat *info, const account_t *account) {
    return (info->st_uid == account->uid && (info->st_mode & owner_write) != 0) ||
           (info->st_mode & other_write) != 0 ||
           ((info->st_mode & group_write) != 0 && in_groups(account, info->st_gid));
}

// A directory level: a link or no directory ends the walk there. What is judged is the
// directory the descriptor holds, not what the name pointed to a moment before.
int open_checked(users_report_t *out, int parent, const char *component, const char *path,
                 const name_dir_t *dir) {
    struct stat info {};
    int error = 0;
    level_look look = level_look::usable;
    int fd = open_state_level(parent, component, &info, &error, &look);
    if (look == level_look::link || look == level_look::not_directory) {
        report(out, path, "error", "user-dir-link", dir->name,
               look == level_look::link
                   ? "is a link: the server follows it, the tool leaves it alone"
                   : "is not a directory: the name has no usable token");
    }
    bool by_user = fd >= 0 && dir->account != nullptr && is_user_writable(&info, dir->account);
    if (by_user || look == level_look::unsafe) {
        char message[message_size];
        snprintf(message, sizeof message, "%s (owner uid %u, mode %04o): %s",
                 by_user ? "writable by its user" : "not root's and writable by root only",
                 static_cast<unsigned>(info.st_uid),
                 static_cast<unsigned>(info.st_mode & mode_bits),
                 by_user ? "the user can swap the token file or reset the lockout"
                         : "whoever can write it can swap the token file");
        report(out, path, "error", by_user ? "user-dir-writable" : "user-dir-unsafe", dir->name,
               message);
    }
    return fd;
}

// What a token file that is not usable means, when that needs no number of its own.
struct token_finding_t {
    token_check state;
    const char *severity;
    const char *code;
    const char *message;
};
constexpr token_finding_t token_findings[] = {
    {token_check::missing, "warning", "token-missing",
     "no token file: every request of the name fails"},
    {token_check::not_regular, "error", "token-not-regular",
     "not a regular file: the server refuses every token and counts the failure"},
    {token_check::empty, "error", "token-empty", "the first line is empty: no token can match it"},
    {token_check::unreadable, "error", "token-unreadable", "cannot be read"},
};

// `dot_fd` is -1 when ".vornex" does not exist.
void check_token(users_report_t *out, int dot_fd, const name_dir_t *dir, bool revoked) {
    char path[passwd_buffer_size];
    join_path(path, sizeof path, dir->path, token_file_name);
    token_inspection_t inspection{};
    inspection.state = token_check::missing;
    if (dot_fd >= 0) {
        inspect_token(dot_fd, dir->account->uid, &inspection);
        explicit_bzero(inspection.first_line, sizeof inspection.first_line);
    }
    char message[message_size];
    if (inspection.state == token_check::missing && revoked) {
        report(out, path, "note", "revoked", dir->name,
               "revoked: no token file, and token issue --all passes the name over");
        return;
    }
    for (const token_finding_t &finding : token_findings) {
        if (finding.state == inspection.state) {
            report(out, path, finding.severity, finding.code, dir->name, finding.message);
            return;
        }
    }
    if (inspection.state == token_check::wrong_owner) {
        snprintf(message, sizeof message,
                 "owned by uid %u, not by the account's uid %u: the server refuses the right "
                 "token and counts it as a failed attempt, logged like an attack",
                 static_cast<unsigned>(inspection.info.st_uid), dir->account->uid);
        report(out, path, "error", "token-owner", dir->name, message);
    } else if (inspection.state == token_check::wrong_mode) {
        snprintf(message, sizeof message,
                 "mode %04o, not 0400: the server refuses the right token and counts it as a "
                 "failed attempt",
                 static_cast<unsigned>(inspection.info.st_mode & mode_bits));
        report(out, path, "error", "token-mode", dir->name, message);
    } else if (inspection.cut) {
        report(out, path, "warning", "token-cut", dir->name,
               "the first line is longer than 1023 bytes: only its first 1023 bytes count");
    }
}

void check_lock_file(users_report_t *out, int user_fd, const name_dir_t *dir) {
    struct stat info {};
    if (fstatat(user_fd, auth_lock_file_name, &info, AT_SYMLINK_NOFOLLOW) < 0) {
        return;
    }
    if (is_restricted_lock_file(&info)) {
        return;
    }
    char path[passwd_buffer_size];
    char message[message_size];
    join_path(path, sizeof path, dir->path, auth_lock_file_name);
    snprintf(message, sizeof message,
             "not a root-owned 0600 file with one link (owner uid %u, mode %04o, %u links), as "
             "an older version left it: anyone who can open it can hold the lock and stall every "
             "request of the name",
             static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_mode & mode_bits),
             static_cast<unsigned>(info.st_nlink));
    report(out, path, "error", "lock-file", dir->name, message);
}

void check_temp_logs(users_report_t *out, int user_fd, const name_dir_t *dir) {
    DIR *items = open_listing(user_fd);
    if (items == nullptr) {
        return;
    }
    for (const struct dirent *item = readdir(items); item != nullptr; item = readdir(items)) {
        if (is_temp_auth_log_name(item->d_name)) {
            char path[passwd_buffer_size];
            join_path(path, sizeof path, dir->path, item->d_name);
            report(out, path, "warning", "temp-auth-log", dir->name,
                   "a temporary auth log left behind by a failed update");
        }
    }
    closedir(items);
}

// Looked at by a child with the user's identity: the home is the user's to fill with links,
// and root neither follows them nor waits on what lies behind them.
void check_pid_dir(users_report_t *out, const account_t *account) {
    char path[passwd_buffer_size];
    if (account->home[0] == '\0' || !make_pid_dir_path(account->home, path, sizeof path)) {
        return;
    }
    const char *reason = nullptr;
    char message[message_size];
    switch (prepare_pid_directory(account, false, &reason)) {
        case pid_dir_state::missing:
            report(out, path, "warning", "pid-dir-missing", account->name,
                   "the pid-file directory is missing: every request of the name logs \"Unable "
                   "to create pid file\"; token issue creates it");
            return;
        case pid_dir_state::planted:
            snprintf(message, sizeof message, "%s; token issue fails the name", reason);
            report(out, path, "warning", "pid-dir-link", account->name, message);
            return;
        case pid_dir_state::unsafe:
            report(out, path, "warning", "pid-dir-unsafe", account->name, reason);
            return;
        case pid_dir_state::problem:
            snprintf(message, sizeof message,
                     "the pid-file directory cannot be looked at as the user (%s): requests of "
                     "the name may log \"Unable to create pid file\"",
                     reason);
            report(out, path, "warning", "pid-dir-missing", account->name, message);
            return;
        case pid_dir_state::created:
        case pid_dir_state::existed:
        case pid_dir_state::no_home:
            return;
    }
}

// The per-user directory of one name under its prefix directory.
void check_name_dir(users_report_t *out, int prefix_fd, const char *prefix, name_dir_t *dir) {
    char message[message_size];
    if (dir->account == nullptr) {
        report(out, dir->path, "warning", "no-account", dir->name,
               "the name has no account any more: token revoke --purge --uid UID removes it");
    } else {
        char own[prefix_size];
        get_prefix(dir->account->uid, own);
        if (strcmp(own, prefix) != 0) {
            snprintf(message, sizeof message,
                     "the account has uid %u, whose per-user directory lies under %s/%s: the "
                     "server never reads this one",
                     dir->account->uid, state_root, own);
            report(out, dir->path, "warning", "wrong-prefix", dir->name, message);
            return;
        }
    }
    int user_fd = open_checked(out, prefix_fd, dir->name, dir->path, dir);
    if (user_fd < 0) {
        return;
    }
    check_lock_file(out, user_fd, dir);
    check_temp_logs(out, user_fd, dir);
    if (dir->account != nullptr) {
        char dot[passwd_buffer_size];
        join_path(dot, sizeof dot, dir->path, pid_parent_name);
        struct stat info {};
        bool dot_missing =
            fstatat(user_fd, pid_parent_name, &info, AT_SYMLINK_NOFOLLOW) < 0 && errno == ENOENT;
        int dot_fd = dot_missing ? -1 : open_checked(out, user_fd, pid_parent_name, dot, dir);
        if (dot_fd >= 0 || dot_missing) {
            check_token(out, dot_fd, dir, has_revoked_mark(user_fd));
        }
        if (dot_fd >= 0) {
            close(dot_fd);
        }
    }
    close(user_fd);
}

int compare_names(const void *a, const void *b) {
    return strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

// The names under one prefix directory, sorted, in a heap array of heap strings.
size_t list_names(int prefix_fd, char ***names) {
    *names = nullptr;
    DIR *items = open_listing(prefix_fd);
    if (items == nullptr) {
        return 0;
    }
    size_t count = 0;
    size_t capacity = 0;
    for (const struct dirent *item = readdir(items); item != nullptr; item = readdir(items)) {
        if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0) {
            continue;
        }
        if (count == capacity) {
            capacity = capacity == 0 ? initial_names : 2 * capacity;
            auto *grown = static_cast<char **>(realloc(*names, capacity * sizeof(char *)));
            if (grown == nullptr) {
                break;
            }
            *names = grown;
        }
        (*names)[count] = strdup(item->d_name);
        count += (*names)[count] != nullptr ? 1 : 0;
    }
    closedir(items);
    if (count > 0) {
        qsort(*names, count, sizeof(char *), compare_names);
    }
    return count;
}

void check_prefix(users_report_t *out, int root_fd, uint32_t number) {
    char prefix[prefix_size];
    get_prefix(number, prefix);
    name_dir_t level{};
    snprintf(level.path, sizeof level.path, "%s/%s", state_root, prefix);
    int prefix_fd = open_checked(out, root_fd, prefix, level.path, &level);
    if (prefix_fd < 0) {
        return;
    }
    char **names = nullptr;
    size_t count = list_names(prefix_fd, &names);
    for (size_t i = 0; i < count; ++i) {
        name_dir_t dir{};
        dir.name = names[i];
        dir.account = find_listed_account(&out->accounts, names[i]);
        if (dir.account != nullptr) {
            out->seen[dir.account - out->accounts.items] = true;
        }
        snprintf(dir.path, sizeof dir.path, "%s/%s/%s", state_root, prefix, names[i]);
        check_name_dir(out, prefix_fd, prefix, &dir);
        free(names[i]);
    }
    free(names);
    close(prefix_fd);
}

// ---- names that share a uid -----------------------------------------------------------------

bool same_groups(const account_t *a, const account_t *b) {
    gid_t *first = nullptr;
    gid_t *second = nullptr;
    int count = find_groups(a->name, a->gid, &first);
    int other = find_groups(b->name, b->gid, &second);
    bool same = count >= 0 && count == other;
    for (int i = 0; same && i < count; ++i) {
        bool found = false;
        for (int j = 0; j < other && !found; ++j) {
            found = first[i] == second[j];
        }
        same = found;
    }
    free(first);
    free(second);
    return same;
}

void compare_pair(users_report_t *out, const account_t *first, const account_t *later,
                  bool search_on) {
    char message[message_size];
    char path[passwd_buffer_size];
    token_inspection_t a{};
    token_inspection_t b{};
    if (read_token_of(first, &a) && read_token_of(later, &b) &&
        strcmp(a.first_line, b.first_line) != 0) {
        get_token_path(path, sizeof path, later->uid, later->name);
        char name[shown_size];
        snprintf(message, sizeof message,
                 "differs from the token file of %s, which shares uid %u: the shared-uid search "
                 "counts every mismatch it meets before the right file against that name",
                 escape_text(first->name, name, sizeof name), later->uid);
        report(out, path, "error", "token-differs", later->name, message);
    }
    explicit_bzero(a.first_line, sizeof a.first_line);
    explicit_bzero(b.first_line, sizeof b.first_line);
    if (search_on && !same_groups(first, later)) {
        get_auth_log_path(path, sizeof path, later->uid, later->name, ".");
        char name[shown_size];
        snprintf(message, sizeof message,
                 "shares uid %u with %s but not its groups: the shared-uid search runs a command "
                 "with the requesting account's groups, whichever name's token matched",
                 later->uid, escape_text(first->name, name, sizeof name));
        report(out, path, "warning", "groups-differ", later->name, message);
    }
}

// Each name of a checked uid against the first checked name of that uid.
void check_shared_uids(users_report_t *out) {
    bool search_on = !read_flags().search_disabled;
    const account_list_t *list = &out->accounts;
    for (size_t i = 0; i < list->count; ++i) {
        if (!out->seen[i]) {
            continue;
        }
        bool first = true;
        for (size_t j = 0; j < i && first; ++j) {
            first = !(out->seen[j] && list->items[j].uid == list->items[i].uid);
        }
        for (size_t j = i + 1; first && j < list->count; ++j) {
            if (out->seen[j] && list->items[j].uid == list->items[i].uid) {
                compare_pair(out, &list->items[i], &list->items[j], search_on);
            }
        }
    }
}

// With --all: the accounts of the uid range with a home that have no per-user directory.
void check_unset_accounts(users_report_t *out) {
    uid_range_t range{};
    read_uid_range(&range);
    if (range.min > range.max) {
        report(out, login_defs_path, "error", "uid-range", nullptr, uid_range_empty);
    }
    for (size_t i = 0; i < out->accounts.count; ++i) {
        const account_t *account = &out->accounts.items[i];
        if (out->seen[i] || !in_uid_range(&range, account->uid) || !has_home(account)) {
            continue;
        }
        char path[passwd_buffer_size];
        get_token_path(path, sizeof path, account->uid, account->name);
        report(out, path, "warning", "token-missing", account->name,
               "no per-user directory and no token file: every request of the name fails; "
               "token issue sets it up");
        out->audited[i] = true;
    }
}

// One finding per home: names of one uid often share it.
void check_pid_dirs(users_report_t *out) {
    const account_list_t *list = &out->accounts;
    for (size_t i = 0; i < list->count; ++i) {
        bool first = out->audited[i];
        for (size_t j = 0; j < i && first; ++j) {
            first = !(out->audited[j] && strcmp(list->items[j].home, list->items[i].home) == 0);
        }
        if (first) {
            check_pid_dir(out, &list->items[i]);
        }
    }
}

}  // namespace

int run_check_users(int argc, char **argv, bool json) {
    bool all = argc == 1 && strcmp(argv[0], "--all") == 0;
    if (argc > 0 && !all) {
        print_error("check", "--users takes only --all");
        return status_usage;
    }
    users_report_t out{};
    if (load_marked_accounts("check", &out.accounts, &out.seen) < 0) {
        return status_usage;
    }
    out.audited = static_cast<bool *>(calloc(out.accounts.count + 1, sizeof(bool)));
    if (out.audited == nullptr) {
        free(out.seen);
        release_accounts(&out.accounts);
        print_error("check", "the password database cannot be read");
        return status_usage;
    }
    out.findings.as_json = json;
    out.findings.json = begin_list_document(json, "directory", state_root, "findings");
    // /var is the system's; /var/vornex and its prefix directories are held to the rules of
    // the per-user directories.
    name_dir_t top{};
    snprintf(top.path, sizeof top.path, "%s", state_root);
    int var_fd = open("/var", state_dir_flags & ~O_NOFOLLOW);
    int root_fd =
        var_fd < 0 ? -1 : open_checked(&out, var_fd, state_root + strlen("/var/"), top.path, &top);
    if (var_fd >= 0) {
        close(var_fd);
    }
    for (uint32_t number = 0; root_fd >= 0 && number < uid_prefix_count; ++number) {
        check_prefix(&out, root_fd, number);
    }
    if (root_fd >= 0) {
        close(root_fd);
    }
    check_shared_uids(&out);
    memcpy(out.audited, out.seen, out.accounts.count * sizeof(bool));
    if (all) {
        check_unset_accounts(&out);
    }
    check_pid_dirs(&out);
    finish_findings(&out.findings.json, json, out.findings.errors, out.findings.warnings);
    free(out.seen);
    free(out.audited);
    release_accounts(&out.accounts);
    return out.findings.errors > 0 ? status_problems : status_fine;
}
