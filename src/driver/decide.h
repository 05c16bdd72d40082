// The server's decisions taken without side effects: each helper reads what the stage reads
// and returns what it decides, and a log_ function turns a decision into the server's lines,
// written to a sink. The stage sends them to syslog and ends the process through the exit
// routines; vornexctl explain records the same lines as its prediction, and the listing and
// the checks tell the same decisions, so that no program holds a second copy of a rule of
// the server's.
#pragma once

#include <cstddef>

#include <pwd.h>

#include "common/log_sink.h"
#include "common/report.h"

// A text as glibc prints a null string argument, without handing null to printf.
const char *shown(const char *text);

// ---- the request --------------------------------------------------------------------------

// Which test of the request's face refuses it: every one ends as `refused`.
enum class request_fault : unsigned char { none, missing, empty, pid_not_number };
request_fault judge_request_face(const char *user, const char *cwd, const char *alias,
                                 const char *pid);
void log_request_fault(const log_sink_t *sink, const char *user, const char *cwd, const char *alias,
                       const char *pid, request_fault fault);

// ---- the requesting account ---------------------------------------------------------------

enum class account_fault : unsigned char { none, lookup_failed, no_account, root, no_home };
struct account_decision_t {
    // none, internal (the database cannot be read) or account.
    end_kind end;
    account_fault fault;
    int error;           // of the lookup, for lookup_failed
    const char *detail;  // what the report tells for account: "no such account", "root", ...
};
// Looks `name` up into `entry` and `buffer` and judges the account the request would run for.
account_decision_t decide_account(const char *name, struct passwd *entry, char *buffer,
                                  size_t size);
void log_account_fault(const log_sink_t *sink, const char *user,
                       const account_decision_t *decision);

// ---- the flag files -----------------------------------------------------------------------

struct flags_t {
    bool debug;
    bool search_disabled;  // the shared-uid search is off
};
flags_t read_flags();
bool file_exists(const char *path);

// ---- the launch ---------------------------------------------------------------------------

// A command path must not depend on the request's working directory.
bool is_absolute_command(const char *path);
// The edition marker whose presence skips the resource container; null when it is entered.
const char *container_skip_marker();

enum class identity_mode { root, command_user, requesting_user };
identity_mode decide_identity_mode(int run_as_root, const char *command_user);
// The line of a command account that the password database does not give: `error` is the
// lookup's, 0 when the account does not exist.
void log_command_user_fault(const log_sink_t *sink, const char *user, int error);
// "root", "account" or "requesting-user".
const char *identity_mode_name(identity_mode mode);

enum class crontab_kind { none, check, list, save };
crontab_kind decide_crontab_kind(const char *alias);
// "check", "list" or "save"; null for none.
const char *crontab_kind_name(crontab_kind kind);

// Only a request that runs as the requesting user and is neither a crontab alias nor
// "VORNEX_ENTER" gets a pid file.
bool writes_pid_file(identity_mode mode, const char *alias);
// The pid file's path into `buffer`; false when it does not fit, and then it is never written
// (a path cut short would name another file).
bool make_pid_file_path(char *buffer, size_t size, const char *home, const char *pid);

// What the working directory's chdir error (0: none) leads to: EACCES leaves the command in
// "/", any other error ends the request.
enum class cwd_outcome { enter, stays_in_root, fails };
cwd_outcome decide_working_directory(int error);
