// The findings of `vornexctl check` and what its files share: the report that every finding
// goes to, and the checks of one definition and of its command that the walk over the command
// files calls.
#pragma once

#include <cstddef>

#include <sys/stat.h>

#include "ctl/ctl.h"

struct finding_t {
    const char *file;
    size_t line;  // 0: the finding is about the whole file
    const char *severity;
    const char *code;
    const char *message;
    const char *alias;
    const char *extra_key;  // one more key for the JSON object, or null
    const char *extra_value;
    const definition_t *winner;
    const char *subject_key;  // the JSON key of `alias`, when it names something else
};

struct check_report_t {
    json_writer_t json;
    bool as_json;
    int errors;
    int warnings;
    // Stands for "/" in every path that the findings consult; "" for the live system.
    const char *root;
    // The files named on the command line are checked by themselves, not in their place.
    bool given_files;
};

// check.cc: `path` (absolute) as it lies under the checked root; false when it does not fit.
bool rooted(const check_report_t *out, const char *path, char *buffer, size_t size);

// check_output.cc: one finding, as a line of text or a JSON object; errors and warnings are
// counted.
void report(check_report_t *out, const finding_t *finding);
void report_simple(check_report_t *out, const char *file, size_t line, const char *severity,
                   const char *code, const char *message, const char *alias);
// A finding about the line of `definition`, for its alias, with one more key for JSON.
void report_definition(check_report_t *out, const definition_t *definition, const char *severity,
                       const char *code, const char *message, const char *extra_key,
                       const char *extra_value);
// The "files" array of the JSON output: every command file, counted or not.
void write_files(json_writer_t *json, const alias_table_t *table);

// A definition with its texts as findings show them, each escaped once.
struct checked_t {
    const definition_t *definition;
    char alias[shown_size];
    char key[shown_size];
    char user[shown_size];  // empty without a user part
    char command[shown_size];
};

// check_lines.cc: the findings of one definition, its key, user, command and precedence.
void check_definition(check_report_t *out, const definition_t *definition);
// Reports the split and ignored lines of `file` up to `line` (all of them for SIZE_MAX).
void check_lines_up_to(check_report_t *out, const alias_table_t *table, const command_file_t *file,
                       size_t line, size_t *split, size_t *ignored);

// check_command.cc: what the command of a definition is, and who can replace it.
void check_command(check_report_t *out, const checked_t *checked);
// The default validator runs as root: whoever can replace it runs anything as root.
void check_validator(check_report_t *out);
