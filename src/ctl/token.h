// vornexctl token: what its files share, the options of a run, the outcome of one name and
// the steps that the subcommands call.
#pragma once

#include <cstddef>
#include <cstdint>

#include <pwd.h>

#include "ctl/users.h"

constexpr int warnings_max = 4;
constexpr const char unreadable_entry[] =
    "its account cannot be looked up: an entry of the password database is larger than the "
    "server reads";

enum class token_action_t { issue, rotate, revoke };

struct token_options_t {
    token_action_t action;
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
struct token_outcome_t {
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

struct token_run_t {
    token_options_t options;
    account_list_t accounts;
    bool *done;  // per listed account: handled in this run
    json_writer_t json;
    bool as_json;
    int status;
};

// token.cc: the outcome of a name, and what is printed of it.
void add_warning(token_outcome_t *outcome, const char *text);
void fail(token_outcome_t *outcome, const char *text);
void emit(token_run_t *run, const token_outcome_t *outcome);

// The usable token of a name, read without creating anything; false when it has none.
bool read_usable_token(const account_t *account, char *text, size_t size);

// token_issue.cc: issue and rotate, for one name given and for every account of the range.
void issue_named(token_run_t *run, const char *name);
void issue_all(token_run_t *run);

// token_revoke.cc: revoke, with --purge the removal of the whole per-user directory.
void revoke_named(token_run_t *run, const char *name);
