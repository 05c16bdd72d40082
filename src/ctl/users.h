// Per-user set-up, shared by `token` and `check --users`: the accounts, the uid range of
// ordinary accounts, the per-user directories opened without following links, and what the
// tool itself adds to them.
#pragma once

#include <cstddef>
#include <cstdint>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "common/facts.h"
#include "ctl/ctl.h"

// Left in a per-user directory by `token revoke`: `token issue --all` passes the name over.
constexpr const char revoked_mark_name[] = ".vornex.revoked";
// 32 random bytes as 64 lowercase hex digits, a newline and the NUL.
constexpr size_t token_random_bytes = 32;
constexpr size_t token_text_size = 2 * token_random_bytes + 2;
constexpr const char login_defs_path[] = "/etc/login.defs";
// The largest buffer an entry of the password database is read into while listing them all.
constexpr size_t passwd_buffer_max = size_t{1024} * 1024;
constexpr uint32_t default_uid_min = 1000;
constexpr uint32_t default_uid_max = 60000;

// One password entry, in the database's enumeration order.
struct account_t {
    char *name;
    uint32_t uid;
    uint32_t gid;
    char *home;
};

struct account_list_t {
    account_t *items;
    size_t count;
};

// Every entry of the password database; -1 when memory runs out.
int load_accounts(account_list_t *list);
void release_accounts(account_list_t *list);
// The same with a mark per entry, all false, in a heap array the caller frees; -1, with the
// error shown for `subcommand`, when the database cannot be read.
int load_marked_accounts(const char *subcommand, account_list_t *list, bool **marks);
const account_t *find_listed_account(const account_list_t *list, const char *name);

struct uid_range_t {
    uint32_t min;
    uint32_t max;
};
// UID_MIN and UID_MAX of /etc/login.defs, their defaults when unset or not a plain decimal
// number. The minimum may lie above the maximum: no account then.
void read_uid_range(uid_range_t *range);
void parse_uid_range(FILE *defs, uid_range_t *range);
// Root is never in the range, whatever the file says.
bool in_uid_range(const uid_range_t *range, uint32_t uid);
constexpr const char uid_range_empty[] = "UID_MIN lies above UID_MAX: no account is in the range";

// A name the tool puts into a path: not empty, ".", ".." and without "/".
bool is_usable_name(const char *name);

// How a directory below /var/vornex (or the home of a name) is opened: relative to its parent,
// never through a link and without waiting.
constexpr int state_dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// One directory level opened relative to its parent, never through a link and without
// waiting, and judged: `unsafe` when it is not root's or group or others may write it. The
// descriptor is open for usable and unsafe, -1 otherwise; `*info` is the level's status (the
// link's for `link`) and `*error` the system error of `failed`.
enum class level_look { usable, missing, link, not_directory, failed, unsafe };
int open_state_level(int parent, const char *component, struct stat *info, int *error,
                     level_look *look);

// The directories of a name below /var/vornex, each opened relative to its parent without
// following a link. Levels: the prefix directory, the per-user directory, its ".vornex".
enum class state_level { prefix = 0, user = 1, dot = 2 };
constexpr int state_levels = 3;
struct state_dirs_t {
    int fds[state_levels];          // -1 when not open
    int depth;                      // levels open
    char path[passwd_buffer_size];  // of the deepest level tried, for messages
};

// Opens the levels down to `level`, creating missing ones root's 0755 when `create`. A level
// that is a link, not a directory, not root's or writable by group or others is left alone:
// -1 with the reason in `error`. A missing level without `create` is -1 with `missing` set.
int open_state_dirs(uint32_t uid, const char *name, state_level level, bool create,
                    state_dirs_t *dirs, bool *missing, char *error, size_t size);
void close_state_dirs(state_dirs_t *dirs);
// A listing of the directory that `dir_fd` holds, on a descriptor of its own; null when it
// cannot be listed. The caller closes it with closedir.
DIR *open_listing(int dir_fd);
int state_fd(const state_dirs_t *dirs, state_level level);

// The token file in an open ".vornex", without following a link and without opening
// anything but a regular file.
enum class token_check { missing, usable, empty, wrong_owner, wrong_mode, not_regular, unreadable };
struct token_inspection_t {
    token_check state;
    struct stat info;
    bool cut;  // the first line is longer than the server reads
    char first_line[line_size];
};
void inspect_token(int dot_fd, uint32_t uid, token_inspection_t *inspection);
// The same for the token file of an account, found without creating anything (a missing
// directory is a missing token file); true when it is usable.
bool read_token_of(const account_t *account, token_inspection_t *inspection);
// The leaf of the token file's path, inside ".vornex".
const char *token_leaf_name();
// Tells whether a root-owned regular revocation mark lies in the per-user directory.
bool has_revoked_mark(int user_fd);
// The pid-file directory path "<home>/.vornex/tmp"; false when it does not fit.
bool make_pid_dir_path(const char *home, char *buffer, size_t size);

// token_write.cc
// Runs of the tool take turns on the names of one uid, which all lie under one prefix
// directory: it is created when missing and locked. The descriptor holds the lock; -1 when
// the directory cannot be used (the names' own walks report why) or, with `timed_out`, when
// another run held the lock for longer than half a minute.
int lock_uid_tokens(uint32_t uid, const char *name, bool *timed_out);
// 64 lowercase hex digits from getrandom and a newline; -1 when no random bytes came.
int make_token_text(char *text, size_t size);
// Writes the token file in `dot_fd` through an exclusive temporary file, owner and mode set
// on its descriptor, forced to disk, renamed into place and the directory synced.
int write_token_file(int dot_fd, uint32_t uid, uint32_t gid, const char *text, char *error,
                     size_t size);
// The pid-file directory as a child with the user's identity found it, or made it with
// `create`. A link or something not a directory at "~/.vornex" or "~/.vornex/tmp" is
// `planted`: nothing is created through it. A level that is not the user's or is writable by
// group or others is `unsafe`. `reason` tells why for planted, unsafe and problem.
enum class pid_dir_state { created, existed, missing, no_home, planted, unsafe, problem };
// Creates "<home>/.vornex/tmp" (with `create`) or only looks at it, as the user in a child
// that is killed after a few seconds; never as root and never through a link.
pid_dir_state prepare_pid_directory(const account_t *account, bool create, const char **reason);
// Whether the home directory exists, as the user's child finds it: root does not stat a path
// that the user can mount something over. A home that cannot be told counts as there.
bool has_home(const account_t *account);
// Removes everything in the directory without following links; -1 when something stays.
int remove_tree(int dir_fd, int depth);
