// The argument rules of the default parameter validator: the reader of the administrator's
// rules file, the matcher of one argument vector against a rule, and the whole verdict on a
// request. The validator and vornexctl share this code, so that what vornexctl predicts is what
// the validator decides; the server never links it.
//
// A line of the rules file, words separated by blanks:
//
//   [WHO] COMMAND [ARGUMENT ...] [...]      a rule
//   default check|refuse                    what commands without a rule get
//
// WHO is a comma-separated list of user names and ":group" names; COMMAND an absolute path;
// each ARGUMENT an exact word or a shell-style pattern for the argument at its position; a
// final unquoted "..." admits any further arguments. A line lists the whole vector: a command
// alone admits no arguments at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/stat.h>
#include <sys/types.h>

#include "common/facts.h"

constexpr const char rules_path[] = "/etc/vornex/params.rules";
constexpr const char validator_ident[] = "vornex.check_params";
// Whether the installed validator is vornex's own, which reads the rules file.
bool shipped_validator_installed();

// The longest line, newline excluded, is one byte less.
constexpr size_t rules_line_size = 4096;
// Words after unquoting, each with its NUL; a pattern keeps a backslash before each quoted
// wildcard character, which at most doubles a byte.
constexpr size_t rules_text_size = 3 * rules_line_size;
constexpr size_t rules_max_words = 128;
constexpr size_t rules_max_who = 32;
// A larger file is refused whole: the validator reads every line of it on every request.
constexpr off_t rules_max_file_size = 1 << 20;
// Arguments longer than this are compared with exact words only: a pattern's cost grows with
// the product of its length and the argument's.
constexpr size_t rules_max_pattern_argument = 4096;
// The validator's one log line.
constexpr size_t rules_log_size = 4096;

enum class rules_default { check, refuse };
enum class rules_kind { empty, default_line, rule };

struct rules_word_t {
    // An exact word: its bytes. A pattern: "*", "?" and "[...]" are wildcards, and a
    // backslash makes the next byte literal.
    const char *text;
    bool pattern;
};

struct rules_line_t {
    rules_kind kind;
    rules_default default_value;
    const char *who[rules_max_who];  // a group name keeps its leading ':'
    size_t who_count;
    const char *command;
    rules_word_t words[rules_max_words];
    size_t word_count;
    bool any_further;
    char text[rules_text_size];
};

// Parses one line of `length` bytes (without its newline). 0 and `out` filled, or -1 with a
// static description of the fault in `*error`. A comment line is empty whatever it holds.
int parse_rules_line(const char *line, size_t length, rules_line_t *out, const char **error);

// A look at a line without parsing it, so that the validator parses only the lines of the
// request's command: `ignored` for an empty or comment line; `command` when the word in the
// command position is plain (no quote, backslash, wildcard, blank or control byte), which is
// then the line's command path, whatever the rest of the line holds; `other` for every other
// line (a default line, a quoted command path, a line without one), which only a parse reads.
enum class rules_line_class { ignored, command, other };
rules_line_class classify_rules_line(const char *line, size_t length, const char **command,
                                     size_t *command_length);

// The rules file, read whole into memory (it is at most rules_max_file_size bytes) with one
// read: its lines are then looked at where they lie, without a copy each.
struct rules_reader_t {
    const char *data;
    size_t size;
    size_t offset;
    size_t line_number;
    char *copy;  // the file's bytes on the heap; null for an empty file or memory of the caller's
};

enum class rules_file_state {
    usable,
    missing,
    open_failed,
    not_regular,
    not_root,
    writable,
    too_large
};

// Opens the rules file without following a link and without waiting on a FIFO, and tells
// whether it may be trusted: a regular file of root's that nobody else can write, of at most
// rules_max_file_size bytes. `info` is the status of the opened descriptor when one was
// opened; `*error` the system error number of a failed open or read. The reader is ready only
// when the state is usable; rules_close then releases it. The bytes are read from the very
// descriptor that was checked.
rules_file_state rules_open(const char *path, rules_reader_t *reader, struct stat *info,
                            int *error);
void rules_close(rules_reader_t *reader);
// A reader over `size` bytes of memory.
void rules_read_memory(rules_reader_t *reader, const char *data, size_t size);
// The next line, where it lies (not NUL-terminated; the newline and a CR before it cut), with
// its length: 1; 0 at the end; -1 with `*error` for a line of rules_line_size bytes or more,
// which the reader passes over.
int rules_next_line(rules_reader_t *reader, const char **line, size_t *length, const char **error);

// The next line of a reader, looked at and parsed: `parsed` into `line`; `skipped` unparsed,
// when `only` names a command path and the line's plain command position names another (or
// the line is empty or a comment); `unreadable`, a line the reader passes over; `invalid`, a
// line that does not parse; `end`. `next` tells where the line lies, what the look at it
// found and, for the last two, why.
enum class rules_next { end, parsed, skipped, unreadable, invalid };
struct rules_next_t {
    const char *text;  // not NUL-terminated
    size_t length;
    rules_line_class kind;
    const char *command;  // the command position of a `command` line
    size_t command_length;
    const char *error;
};
rules_next rules_next_parsed(rules_reader_t *reader, const char *only, rules_line_t *line,
                             rules_next_t *next);

// 1 when the shell-style `pattern` matches all of `text`. No wildcard matches "/".
int rules_pattern_matches(const char *pattern, const char *text);
// 1 when `text` has ".." as one of its "/"-separated components.
int has_dotdot_component(const char *text);
// 1 when `word` admits `argument`: an exact word byte for byte; a pattern only an argument
// without a ".." component and of at most rules_max_pattern_argument bytes.
int rules_word_matches(const rules_word_t *word, const char *argument);
// How many of the arguments (after the command path) the rule admits in a row from the first:
// all of them once its words are matched and it admits any further ones.
size_t rules_arguments_admitted(const rules_line_t *line, char *const *arguments, size_t count);
// 1 when the rule admits exactly these arguments.
int rules_arguments_match(const rules_line_t *line, char *const *arguments, size_t count);
// Why a word can never admit an argument, or null.
const char *rules_word_problem(const rules_word_t *word);

// The requesting user, with the groups looked up only when a rule names one.
constexpr size_t rules_max_groups = 1024;
struct rules_requester_t {
    const char *name;
    bool looked_up;
    bool has_account;
    gid_t groups[rules_max_groups];
    int group_count;
};
// 1 when the rule has no WHO list or names the user or one of its groups.
int rules_who_matches(const rules_line_t *line, rules_requester_t *requester);

// The verdict on one request: `arguments` are the validator's own (user name, home
// directory, command path, extra arguments).
struct rules_verdict_t {
    bool approved;
    // "rule" (an approving line), "default" (no line for the command), "no-match" (lines for
    // the command, none admits the request), "request" (a malformed vector, a control byte,
    // a relative command path), "file" (the rules file refuses everything), "line" (a line of
    // the command cannot be read).
    const char *source;
    size_t line;  // the approving rule, or the line at fault in the file; 0 otherwise
    rules_default default_value;
    bool file_found;
    char log[rules_log_size];  // the line the validator logs; empty when it approves
};
void evaluate_request(const char *path, int count, char *const *arguments,
                      rules_verdict_t *verdict);

// Whether `user` may request `command` at all under the rules file at `path`: some rule of the
// command names the user (by name or group, or a rule without WHO), or the command has no rule
// and the default is check. `each` (when not null) is called with every rule of the command
// that names the user, in file order; a file or line that refuses everything makes the answer
// false whatever was reported before.
using rules_each_t = void (*)(const rules_line_t *line, size_t line_number, void *context);
bool rules_access(const char *path, const char *user, const char *command, rules_each_t each,
                  void *context);

// Writes `text` in single quotes, escaped with the one escaper and cut to fit `size` (at
// least 3; a cut value ends in "...").
void quote_log_value(const char *text, char *out, size_t size);
