// The pieces of token authentication, shared between its files and with its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <sys/stat.h>

#include "auth/token_path.h"
#include "common/log_sink.h"

constexpr size_t auth_record_size = 24;
constexpr int64_t block_seconds = 30;
constexpr int32_t failures_per_block = 3;

// The files of a name, inside its per-user directory "/var/vornex/<prefix>/<name>/".
constexpr const char auth_log_file_name[] = ".ferrymate.log";
constexpr const char auth_lock_file_name[] = ".ferrymate.log.lock";
// The lock file is root's, 0600, with one link: nobody else can open it to hold the lock.
constexpr mode_t lock_file_mode = 0600;
// Whether a lock file with this status is as a check leaves it: a regular file with a single
// link, root's and 0600.
bool is_restricted_lock_file(const struct stat *status);

struct auth_record_t {
    int64_t last_failure_time;
    int64_t blocked_until;
    int32_t failure_count;
    int32_t block_count;
};

// Per-user state layout and the token file check.
void get_auth_log_path(char *buffer, int size, uint32_t uid, const char *name,
                       const char *file_name);
// The per-user directory "/var/vornex/<prefix>/<name>" itself; empty when it does not fit.
void get_user_dir_path(char *buffer, int size, uint32_t uid, const char *name);
// The same, and whether a directory is there.
bool find_user_dir(char *buffer, int size, uint32_t uid, const char *name);
// The token file's path opened without opening the file itself (O_PATH); -1 when it cannot be.
int open_token_path(const char *path);
enum class token_file_state { usable, wrong_owner, wrong_mode };
// The owner rule first, then the mode rule, on the status of the token file.
token_file_state classify_token_file(const struct stat *status, uint32_t uid);
// The token file at `path` as a check meets it before it reads a byte: the path opened without
// opening the file, the owner rule, the mode rule, then whether it is a regular file (anything
// else gives no token line). `*status` is what the path names, `*error` the system error of
// missing (the path cannot be opened) and unreadable (its status cannot be read).
enum class token_file_look { usable, missing, unreadable, wrong_owner, wrong_mode, not_regular };
token_file_look look_at_token_file(const char *path, uint32_t uid, struct stat *status, int *error);
// The line a check logs, with the debug flag, for a token file that it finds missing, cannot
// look at, or that breaks the owner or the mode rule; none for the other looks. `user_name` is
// the requesting account's, `name` the one whose token file it is.
void log_token_file_fault(const log_sink_t *sink, token_file_look look, const char *path,
                          const struct stat *status, uint32_t uid, const char *user_name,
                          const char *name);
// Both rules on the descriptor of the token file; 0 when they hold.
int check_tokenfile_perms(int fd, uint32_t uid, int debug, const char *path, const char *user_name,
                          const char *alternative_name);
// Opens for reading the very file that the O_PATH descriptor names; null when it cannot be.
FILE *reopen_token_file(int path_fd);
// The token line of a token file as a check reads it: one read of at most line_size - 1 bytes
// into `line` (line_size bytes), the line ending cut off. `*cut`, when asked for, tells
// whether the first line went on past what was read.
void read_token_line(FILE *file, char *line, bool *cut);
int check_token_value_with_tokenfile(const char *token, FILE *file, int debug, const char *name);
int cmp_const(const char *a, const char *b, size_t limit);

// The failed-attempt log and its lock.
void encode_auth_record(const auth_record_t *record, unsigned char *out);
void decode_auth_record(const unsigned char *in, auth_record_t *record);
// Whether the record blocks its name at time `now`: at the very second that blocked_until
// names, the name is free again.
bool is_blocked_at(const auth_record_t *record, int64_t now);
// Applies one check's outcome at time `now`; tells whether a failure was counted.
bool apply_auth_outcome(auth_record_t *record, int success, int64_t now);
FILE *auth_lock_create(uint32_t uid, const char *name);
int auth_lock_close(FILE *lock);
FILE *auth_log_open(uint32_t uid, const char *name, const char *mode);
int auth_log_check(uint32_t uid, const char *name, auth_record_t *record);
// Reads the name's record without the lock and without logging: 1 when a whole record was
// read, 0 when there is none.
int auth_log_read(uint32_t uid, const char *name, auth_record_t *record);
// The temporary auth log's path "<auth log>.<pid>", with the process id as `pid` spells it;
// empty when it does not fit. A name of that form, the pid all decimal digits, is one that
// an update left behind when it was cut short.
void make_temp_auth_log_path(char *buffer, size_t size, const char *log_path, const char *pid);
bool is_temp_auth_log_name(const char *name);
// Creates the temporary auth log "<auth log>.<pid>" into `temp_path`; null (logged) when it
// cannot be created.
FILE *auth_log_create_temp(uint32_t uid, const char *name, char *temp_path, size_t size);
// Closes and removes a temporary auth log that is not needed after all, without a line.
void auth_log_discard(FILE *temp, const char *temp_path);
// Writes the record to the temporary auth log, forces it to disk and renames it over the auth
// log: 0 when renamed into place, -1 when the record could not be written or flushed (the
// auth log keeps its old record), -2 when it was written but not renamed.
int auth_log_commit(FILE *temp, const char *temp_path, uint32_t uid, const char *name,
                    const auth_record_t *record);
// Applies one check's outcome to the record and commits it; -1 when the outcome did not
// reach the temporary file, 0 otherwise.
int auth_log_update(uint32_t uid, const char *name, int success, auth_record_t *record, FILE *temp,
                    const char *temp_path);
// Replaces the name's auth log with the record as an update does; 0 when renamed into place.
int auth_log_write(uint32_t uid, const char *name, const auth_record_t *record);

// The names of the password entries with `uid`, in the database's own order and read with the
// server's buffer, as the shared-uid search tries them: `visit` is called with each until it
// returns true, and the walk tells whether it did.
bool walk_uid_names(uint32_t uid, bool (*visit)(void *context, const char *name), void *context);
// One token check for one name, under its lock and lockout.
int check_token_with_tokenfile(const char *token, int debug, uint32_t uid, const char *user_name,
                               const char *alternative_name);
