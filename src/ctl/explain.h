// The pieces of vornexctl explain: the record of one request's walk through the server's
// stages (explain.cc: the options and the recording), the stages themselves
// (explain_stages.cc, the authentication in explain_auth.cc), the child that tries the final
// identity (explain_probe.cc) and the text and JSON output (explain_output.cc).
#pragma once

#include <cstddef>
#include <cstdint>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "auth/auth_internal.h"
#include "common/facts.h"
#include "ctl/ctl.h"

constexpr size_t max_log_lines = 64;
constexpr size_t max_auth_names = 32;
constexpr size_t max_stages = 16;
constexpr size_t detail_size = 8192;
// How long the child that tries the final identity may take to answer.
constexpr int probe_timeout_ms = 5000;

// A logged line can quote two per-user paths.
constexpr size_t log_text_size = 2 * passwd_buffer_size;

struct log_line_t {
    char text[log_text_size];
    bool debug_only;
    bool forked;  // logged by a forked child under its own ident
};

enum class token_state { usable, missing, wrong_owner, wrong_mode, not_regular, not_checked };

struct auth_name_t {
    char *name;
    char directory[passwd_buffer_size];
    bool directory_exists;
    bool has_record;
    auth_record_t record;
    bool blocked;
    token_state token;
    token_file_look look;
    struct stat token_status;
    bool usable;
};

struct stage_t {
    const char *name;
    const char *result;  // "ok", "refused" or "skipped"
    char detail[detail_size];
};

struct identity_t {
    const char *mode;
    uid_t uid;
    gid_t gid;
    gid_t *groups;  // on the heap
    int group_count;
    bool root_closed;
};

// What the final identity met, as errno values (0: it worked), told by the probe child.
struct probe_t {
    int pid_file;
    int cwd;
    int exec;
};

struct explain_t {
    // The request.
    const char *user;
    const char *alias;
    const char *pid;
    const char *cwd;
    bool cwd_given;
    char **args;
    int arg_count;
    // What the stages found.
    alias_table_t table;
    const definition_t *definition;
    struct passwd account;
    char account_buffer[passwd_buffer_size];
    bool has_account;
    bool flags_known;
    bool debug;
    bool search_disabled;
    auth_name_t names[max_auth_names];
    size_t name_count;
    bool more_names;
    bool validator_known;
    validator_prediction_t validator_verdict;
    bool container_entered;
    const char *container_marker;
    bool has_identity;
    identity_t identity;
    const char *crontab;
    char pid_file[passwd_buffer_size];
    bool has_pid_file;  // the server tries to write one
    bool pid_file_fits;
    bool pid_file_created;
    probe_t probe;
    bool probe_failed;
    bool undetermined;  // the probe child did not answer in time
    const char *cwd_result;
    // The outcome.
    const char *refused_stage;
    const char *stderr_line;
    log_line_t lines[max_log_lines];
    size_t line_count;
    stage_t stages[max_stages];
    size_t stage_count;
    int64_t now;
};

// explain.cc: the record. A stage and its detail, or a line the server would log, formatted
// with the server's own format; both are cut where their buffers end.
stage_t *add_stage(explain_t *ex, const char *name, const char *result);
stage_t *add_stage_with(explain_t *ex, const char *name, const char *result, const char *format,
                        ...) __attribute__((format(printf, 4, 5)));
void append(stage_t *stage, const char *text);
void append_format(stage_t *stage, const char *format, ...) __attribute__((format(printf, 2, 3)));
log_line_t *add_log(explain_t *ex, bool debug_only, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// The sink that the server's own log_ functions write their lines to for explain; the lines
// of `debug_prediction_sink` are those the server logs only with the debug flag.
log_sink_t prediction_sink(explain_t *ex);
log_sink_t debug_prediction_sink(explain_t *ex);
// Ends the walk at `stage` with the server's standard error line; always false.
bool refuse(explain_t *ex, const char *stage, const char *message);

// explain_stages.cc: the stages in the server's order; the first that refuses ends the walk.
// False when the final identity could not be tried.
bool explain_stages(explain_t *ex);

// explain_auth.cc
bool explain_auth(explain_t *ex);
const char *token_state_name(token_state state);

// explain_probe.cc: what execv of `path` fails with for the effective ids (0: it starts); the
// child that tries the final identity and reports into ex->probe.
int predict_exec_error(const char *path);
enum class probe_result { answered, failed, no_answer };
probe_result run_probe(explain_t *ex);

// explain_output.cc
void print_explain(const explain_t *ex);
void write_explain(const explain_t *ex);
