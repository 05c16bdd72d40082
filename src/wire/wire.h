// The messages between the user's client (vornex) and the front-end (vornexd), one
// SOCK_SEQPACKET message each. Every number is little-endian; every text is a 16-bit length
// and that many bytes, without a terminating NUL.
//
//   request  "VXQ2", argument count (u16), name, working directory, alias, token, terminal
//            name (empty for none), the count of environment entries (u16) and the entries
//            ("NAME=VALUE"), then the arguments, each a 32-bit length and that many bytes;
//            three descriptors ride along
//   signal   "VXS1", signal number (u8): the client received it and the command should too;
//            for a stop signal (SIGTSTP, SIGTTIN, SIGTTOU) the client waits for "stopped", and
//            SIGCONT continues the command
//   stopped  "VXP1": the front-end's answer to a stop signal, once the command has stopped;
//            the client then stops itself
//   reply    "VXA2", kind (u8), value (i32), end (u8), number (i32), text: the request's
//            outcome; end is the end_kind of common/report.h (none for a command's own end),
//            number what that kind carries (seconds left, a descriptor, the server's pid)
//   list     "VXL1", flags (u8: 1 for JSON), name, alias (empty for every alias): the caller
//            asks what it may request; no descriptors ride along
//   text     "VXT1", then bytes up to the message's end: a part of the listing, for the
//            client's standard output; the listing ends with a reply
//
// The decoder is the front-end's first contact with bytes from any local user: every field is
// bounded in length and count, may not hold a NUL byte, and nothing may follow the last one.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "common/escape.h"
#include "common/facts.h"
#include "common/report.h"

// Names another socket for the client (tests, a second instance).
constexpr const char socket_env_name[] = "VORNEX_SOCKET";

constexpr size_t name_length_max = 255;
constexpr size_t cwd_length_max = 4095;
constexpr size_t alias_length_max = 255;
// The server compares at most the token file's first 1023 bytes.
constexpr size_t token_length_max = 1023;
constexpr size_t term_length_max = 64;
constexpr size_t arg_length_max = 65536;
constexpr size_t arg_count_max = 4096;
// What all the arguments hold together, without their length prefixes.
constexpr size_t args_total_max = 131072;
// The caller's language and time zone (LANG, LANGUAGE, LC_MESSAGES, LC_TIME, TZ): the
// front-end decides which of them pass.
constexpr size_t env_entry_count_max = 5;
constexpr size_t env_value_length_max = 128;
constexpr size_t env_entry_length_max = 16 + env_value_length_max;
// The fixed fields and the environment take far less than their share; each argument adds
// its length prefix.
constexpr size_t request_fixed_share = 16384;
constexpr size_t request_size_max = request_fixed_share + 4 * arg_count_max + args_total_max;
constexpr int request_fd_count = 3;

constexpr size_t signal_message_size = 5;
constexpr size_t stopped_message_size = 4;
constexpr size_t reply_text_max = 512;
constexpr size_t reply_size_max = 4 + 1 + 4 + 1 + 4 + 2 + reply_text_max;

// A request's texts: what the client encodes, and what the front-end decodes, pointing into
// a request_storage_t. Every text is NUL-terminated.
struct request_t {
    const char *name;
    const char *cwd;
    const char *alias;
    const char *token;
    const char *term;
    size_t env_count;
    const char *const *env;
    size_t arg_count;
    const char *const *args;
};

// Where the texts and lists of a decoded request lie.
struct request_storage_t {
    const char *env[env_entry_count_max];
    const char *args[arg_count_max];
    char bytes[request_size_max];
};

enum class wire_status {
    ok,
    bad_magic,
    short_message,
    too_long,
    too_many,
    args_too_long,
    nul_byte,
    trailing
};

constexpr unsigned char list_flag_json = 1;
// A part of a listing holds at most this many bytes of text.
constexpr size_t text_part_max = 16384;
constexpr size_t text_message_max = 4 + text_part_max;
constexpr size_t list_query_size_max = 4 + 1 + 2 + name_length_max + 2 + alias_length_max;

enum class reply_kind : uint8_t { exited = 0, signalled = 1, refused = 2 };

struct reply_t {
    reply_kind kind;
    int32_t value;
    end_kind end;
    int32_t number;
    char text[reply_text_max + 1];
};

// The encoded request in `out`; its size, or 0 when a field breaks a bound or it does not fit.
size_t encode_request(const request_t *fields, unsigned char *out, size_t size);
// The request into `out`, its texts and lists into `storage`.
wire_status decode_request(const unsigned char *data, size_t size, request_storage_t *storage,
                           request_t *out);
// A short text for a decoder status, for logs and refusals.
const char *wire_status_text(wire_status status);

// The list query in `out`; its size, or 0 when a field breaks a bound.
size_t encode_list_query(unsigned char flags, const char *name, const char *alias,
                         unsigned char *out, size_t size);
bool is_list_query(const unsigned char *data, size_t size);
// The name and the alias go to `out` (its other texts empty, no arguments), the flags to
// `*flags`.
wire_status decode_list_query(const unsigned char *data, size_t size, request_storage_t *storage,
                              request_t *out, unsigned char *flags);
// A part of a listing: the message's size (at most text_message_max), or 0 when the text is
// longer than text_part_max.
size_t encode_text_part(const char *text, size_t length, unsigned char *out, size_t size);
// 0 and the part's bytes (where they lie) when the message is one, else -1.
int decode_text_part(const unsigned char *data, size_t size, const unsigned char **text,
                     size_t *length);

void encode_signal(int signal_number, unsigned char *out);
// The signal number of a signal message, or 0 when the bytes are not one.
int decode_signal(const unsigned char *data, size_t size);

void encode_stopped(unsigned char *out);
bool is_stopped_message(const unsigned char *data, size_t size);

// The text is cut to reply_text_max bytes.
size_t encode_reply(const reply_t *reply, unsigned char *out, size_t size);
int decode_reply(const unsigned char *data, size_t size, reply_t *out);
