// The front-end: one process per connection, started by the service manager (or any inetd-style
// super-server) with the connection on its standard input. It runs as root and reads bytes
// from any local user, so:
//   - the caller's uid and pid come from the kernel (SO_PEERCRED), never from the message;
//   - the request is one message, received within a time limit, of bounded size, carrying
//     exactly three descriptors; every field is bounded and free of NUL bytes;
//   - the received descriptors are never read or written here, only handed to the server,
//     and closed on every path;
//   - the server gets only those three descriptors and a fixed environment;
//   - nothing is written to descriptors 1 and 2 (under --inetd, 1 is the connection too).
#pragma once

#include <csignal>
#include <cstddef>
#include <ctime>

#include <sys/socket.h>
#include <sys/types.h>

#include "common/common.h"
#include "common/slot.h"
#include "wire/wire.h"

constexpr const char frontend_ident[] = "vornexd";
constexpr const char server_path[] = "/usr/libexec/vornex/vornex-command-server";
// A received message may carry more descriptors than a request has; they are counted and
// closed. Beyond this many the message is cut (MSG_CTRUNC) and refused.
constexpr int received_fd_max = 16;
constexpr int request_timeout_ms = 5000;

struct frontend_t {
    int connection;
    int per_uid_max;
    struct ucred peer;
    int slot_fd;
    int fds[received_fd_max];
    int fd_count;
    bool have_request;
    bool listing;  // the message was a list query
    unsigned char list_flags;
    request_t request;
    unsigned char raw[request_size_max];
    char pid_text[24];
    pid_t child;
    struct timespec start;
    int wait_status;
    char passwd_buffer[passwd_buffer_size];
};

// Ends the front-end after a refusal: the reason goes to the client in a reply and to the log.
[[noreturn]] void refuse(frontend_t *fe, const char *reason);
// Ends the front-end after a failure of its own (logged, the client told in general terms).
[[noreturn]] void fail(frontend_t *fe, const char *what);

void identify_peer(frontend_t *fe);
void take_slot(frontend_t *fe);
void receive_request(frontend_t *fe);
void check_request(frontend_t *fe);
void close_received_fds(frontend_t *fe);

// What the caller can change after the validator refused: the argument that the rules do not
// admit, in the user's terms, without a rule's text.
void describe_validator_refusal(const frontend_t *fe, char *out, size_t size);

// Answers a list query for the caller's name, and ends.
[[noreturn]] void answer_list(frontend_t *fe, unsigned char flags);

void start_server(frontend_t *fe);
void supervise(frontend_t *fe);

// Sends the outcome, logs the audit line and ends.
[[noreturn]] void finish(frontend_t *fe);

// Writes `text` with control bytes, the backslash, the double quote and bytes from 0x7f on
// as \xHH into `out` (always NUL-terminated); a text that does not fit ends in "...".
void escape_text(const char *text, char *out, size_t size);
