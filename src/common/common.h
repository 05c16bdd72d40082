// Pieces shared by the request driver and token authentication.
#pragma once

#include <cstddef>

// Text lines (command file lines, the token file's first line) and command file paths.
constexpr size_t line_size = 1024;
// Password-database lookups and per-user paths.
constexpr size_t passwd_buffer_size = 16384;

constexpr const char log_ident[] = "vornex.command.server";

// Switched on once at start when the debug flag file exists, never changed afterwards.
extern bool debug_flag;

// Opens syslog with the server's options and facility under the given ident.
void open_log(const char *ident);

// Cuts a trailing line ending (LF, CR, CR LF or LF CR, and one more LF or CR behind a cut one)
// from the string in place.
void remove_eol(char *text);

// 1 when every byte of the text is an ASCII decimal digit (an empty text included).
int is_valid_number(const char *text);
