// The parser of one command file line, shared with its tests.
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
};

// Trims trailing white space from `line` in place and splits it. Returns 1 when the line's
// alias part equals `alias`, 0 otherwise.
int parse_command_line(char *line, const char *alias, command_line_t *out);
