// The pieces of token authentication, shared between its files and with its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t prefix_size = 3;
constexpr size_t auth_record_size = 24;
constexpr int64_t block_seconds = 30;
constexpr int32_t failures_per_block = 3;

// The files of a name, inside its per-user directory "/var/vornex/<prefix>/<name>/".
constexpr const char token_file_name[] = ".vornex/.vornex.token";
constexpr const char auth_log_file_name[] = ".ferrymate.log";
constexpr const char auth_lock_file_name[] = ".ferrymate.log.lock";

struct auth_record_t {
    int64_t last_failure_time;
    int64_t blocked_until;
    int32_t failure_count;
    int32_t block_count;
};

// Per-user state layout and the token file check.
void get_prefix(uint32_t uid, char *out);
void get_token_path(char *buffer, int size, uint32_t uid, const char *name);
void get_auth_log_path(char *buffer, int size, uint32_t uid, const char *name,
                       const char *file_name);
int check_tokenfile_perms(FILE *file, uint32_t uid, int debug, const char *path,
                          const char *user_name, const char *alternative_name);
int check_token_value_with_tokenfile(const char *token, FILE *file, int debug, const char *name);
int cmp_const(const char *a, const char *b, size_t limit);

// The failed-attempt log and its lock.
void encode_auth_record(const auth_record_t *record, unsigned char *out);
void decode_auth_record(const unsigned char *in, auth_record_t *record);
// Applies one check's outcome at time `now`; tells whether a failure was counted.
bool apply_auth_outcome(auth_record_t *record, int success, int64_t now);
FILE *auth_lock_create(uint32_t uid, const char *name);
int auth_lock_close(FILE *lock);
FILE *auth_log_open(uint32_t uid, const char *name, const char *mode);
int auth_log_check(uint32_t uid, const char *name, auth_record_t *record);
void auth_log_update(uint32_t uid, const char *name, int success, auth_record_t *record);

// One token check for one name, under its lock and lockout.
int check_token_with_tokenfile(const char *token, int debug, uint32_t uid, const char *user_name,
                               const char *alternative_name);
