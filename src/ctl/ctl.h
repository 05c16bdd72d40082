// vornexctl: the administrator's tool. It reads what the server reads, with the server's own
// code; it writes only the auth logs that `reset` rewrites under the server's lock and the
// token files and per-user directories that `token` issues, rotates and revokes.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <sys/stat.h>

#include "common/common.h"
#include "common/escape.h"
#include "common/json.h"
#include "driver/decide.h"
#include "driver/names.h"
#include "registry/registry.h"
#include "registry/table.h"
#include "rules/rules.h"

// Exit status of every subcommand.
constexpr int status_fine = 0;
constexpr int status_problems = 1;
constexpr int status_usage = 2;

// A value shown in text output, escaped with the one escaper: four bytes out per byte in,
// plus the NUL.
constexpr size_t shown_size = 4 * line_size + 1;
// One formatted line of a report.
constexpr size_t message_size = 2 * shown_size + 512;
// "YYYY-MM-DD HH:MM:SS" and room to spare.
constexpr size_t time_text_size = 32;

// report.cc: text output, and what JSON output adds to the writer.
// Writes `text` to `out` as text output shows it.
void print_shown(FILE *out, const char *text);
// Local time as "YYYY-MM-DD HH:MM:SS", or "-" for 0.
const char *format_time(int64_t seconds, char *buffer, size_t size);

// Formats report text into `buffer` as snprintf does: a text that did not fit is shown cut,
// ending in "...", which only shortens what is shown.
void format_cut(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void format_cut_list(char *buffer, size_t size, const char *format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

// A document that holds one list: its outer object with `key` and `value` first when `key`
// is not null, and the array `list` begun. Text output gets nothing.
json_writer_t begin_list_document(bool as_json, const char *key, const char *value,
                                  const char *list);
// Ends the list and the document.
void end_list_document(json_writer_t *json, bool as_json);
// Ends a list of findings: the counts closing the JSON object that json_begin opened with its
// "findings" array, or the summary line.
void finish_findings(json_writer_t *json, bool as_json, int errors, int warnings);

// list.cc: the command directory as the server lists it, read whole; `root` stands for "/"
// ("" for the live system). -1 when the directory cannot be opened or listed (the server
// fails every request then) or memory runs out.
int load_alias_table(alias_table_t *table);
int load_alias_table_under(alias_table_t *table, const char *root);
// The identity the server takes for a definition, and whether it writes a pid file for it.
identity_mode definition_identity(const definition_t *definition);
bool definition_writes_pid_file(const definition_t *definition);
// users.cc: the uid of a name from the password database, looked up with the server's buffer:
// an entry it cannot read (one too large for it, or a larger one met on the way) is neither
// an account nor proof that there is none.
enum class lookup_t { found, none, unreadable };
lookup_t look_up_uid(const char *name, uint32_t *uid);
// The groups that the group database gives `name` with its group `gid` (gid first), in a
// heap array the caller frees: their count, or -1 when they cannot be found.
int find_groups(const char *name, gid_t gid, gid_t **groups);

// The subcommands. `argv` holds the arguments after the subcommand's name, without the
// "--json" that came before a "--".
int run_check(int argc, char **argv, bool json);
int run_list(int argc, char **argv, bool json);
int run_explain(int argc, char **argv, bool json);
int run_status(int argc, char **argv, bool json);
int run_reset(int argc, char **argv, bool json);
int run_token(int argc, char **argv, bool json);
// check_users.cc: `check --users [--all]`, with the arguments after "--users".
int run_check_users(int argc, char **argv, bool json);

// check_rules.cc: the default validator's rules file, held against the aliases. Each finding
// goes to `report`, in check's finding style.
struct rules_finding_t {
    const char *file;
    size_t line;  // 0: about the whole file
    const char *severity;
    const char *code;
    const char *message;
    const char *alias;
};
using rules_report_t = void (*)(void *context, const rules_finding_t *finding);
void check_rules(const alias_table_t *table, rules_report_t report, void *context);

// explain_rules.cc: the default validator's verdict on a request, when it is installed.
struct validator_prediction_t {
    bool predicted;
    rules_verdict_t verdict;
};
// False when the validator is predicted to refuse.
bool predict_validator(const char *user, const char *home, const char *command, char **args,
                       int arg_count, validator_prediction_t *out);
void describe_prediction(const validator_prediction_t *prediction, char *text, size_t size);
void write_prediction(json_writer_t *json, const validator_prediction_t *prediction);

// check_paths.cc: what a command path says beyond the file it names.
// The first way in which an absolute path is not in plain form ("holds \"//\"", "ends in
// \"/.\"", ...), or null for a plain path and for one that is not absolute.
const char *path_form_fault(const char *path);
// A shell or another general-purpose interpreter: a known name, alone or with a version.
bool is_interpreter_name(const char *name);
// The interpreter that a command path names, as spelled or, through its links, as `resolved`
// (null when the path does not resolve): the name found, or null. `through_link` tells which.
const char *find_interpreter(const char *spelled, const char *resolved, bool *through_link);

// Prints "vornexctl: " and the message on standard error.
void print_error(const char *subject, const char *message);
