// One rule for showing bytes that someone else chose (command files, account names, paths,
// arguments): printable ASCII stays as it is but for the backslash and the double quote, and
// every other byte (control bytes, 0x7f, bytes from 0x80 on) is written \xHH. What comes out
// is plain printable ASCII, and no quote in it can close a quoted field. Every program that
// shows another user's bytes, in a line of text or a log line, escapes them with this.
#pragma once

#include <cstddef>

// \xHH and its NUL.
constexpr size_t escaped_byte_size = 5;
// Room for the escape of `bytes` bytes, the cut mark and the NUL.
constexpr size_t escaped_size(size_t bytes) {
    return 4 * bytes + 4;
}

// The byte as it is shown, into `out` (escaped_byte_size bytes); its length.
size_t escape_byte(unsigned char byte, char *out);
// The text as it is shown, into `out`, which is returned. A text that does not fit ends in
// "...", put after the last whole byte or escape that leaves room for it (a buffer too small
// for the mark is only cut).
const char *escape_text(const char *text, char *out, size_t size);

// Whether a text holds a byte below 0x20 or 0x7f. The front-end refuses an alias or working
// directory that does before any server starts, since the server's log lines show them as
// received, and the validator never admits an argument that does.
bool has_control_byte(const char *text);

// The same byte inside a JSON string: the quote and the backslash behind a backslash, every
// byte outside printable ASCII as \u00XX, one code point per byte, so a document is plain
// ASCII whatever it holds. Into `out` (json_byte_size bytes); its length.
constexpr size_t json_byte_size = 7;
size_t json_escape_byte(unsigned char byte, char *out);
