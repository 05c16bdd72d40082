// The parser of one command file line, shared with its tests and the administrator's tool.
#pragma once

#include <cstddef>

// The pieces of one line, pointing into the line itself (not NUL-terminated).
struct command_line_t {
    const char *alias;
    size_t alias_length;
    const char *user;  // null when the value has no user part
    size_t user_length;
    const char *path;
    size_t path_length;
    size_t key_length;  // the whole key before the "=", the text after a colon included
};

// Trims trailing white space from `line` in place and splits it at its first "=". Returns 1
// when the line defines an alias part (possibly empty), 0 when the line holds no "=" and is
// ignored.
int split_command_line(char *line, command_line_t *out);

// Trims trailing white space from `line` in place and splits it. Returns 1 when the line's
// alias part equals `alias`, 0 otherwise.
int parse_command_line(char *line, const char *alias, command_line_t *out);

// 1 when the user part is exactly "root": the command then keeps the root identity.
int names_root(const command_line_t *line);
