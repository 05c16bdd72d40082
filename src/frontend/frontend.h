// The front-end: one process per connection, started by the service manager (or any inetd-style
// super-server) with the connection on its standard input. It runs as root and reads bytes
// from any local user, so:
//   - the caller's uid and pid come from the kernel (SO_PEERCRED), never from the message;
//   - the request is one message, received within a time limit, of bounded size, carrying
//     exactly three descriptors; every field is bounded and free of NUL bytes;
//   - the received descriptors are never read or written here, only looked at (their kind,
//     owner and open flags; a regular file reopened by a child that took the caller's
//     identity), handed to the server, and closed on every path;
//   - the server gets only those three descriptors and a fixed environment;
//   - nothing is written to descriptors 1 and 2 (under --inetd, 1 is the connection too).
#pragma once

#include <csignal>
#include <cstddef>
#include <ctime>

#include <sys/socket.h>
#include <sys/types.h>

#include "common/common.h"
#include "common/escape.h"
#include "common/facts.h"
#include "common/slot.h"
#include "wire/wire.h"

constexpr const char frontend_ident[] = "vornexd";
// A received message may carry more descriptors than a request has; they are counted and
// closed. Beyond this many the message is cut (MSG_CTRUNC) and refused.
constexpr int received_fd_max = 16;
constexpr int request_timeout_ms = 5000;
// The child that reopens a received regular file as the caller is killed after this long (a
// file on a user's own FUSE mount could keep an open waiting).
constexpr int descriptor_check_timeout_ms = 5000;
// Supplementary groups of the caller, as the kernel gives them (SO_PEERGROUPS).
constexpr int peer_groups_max = 65536;
// Once the server has reported how the request ends, it has this long to be gone.
constexpr int report_grace_ms = 5000;
// A server that has reported neither the command it runs nor an end by then is stalled.
constexpr int stall_after_ms = 60000;
constexpr size_t tty_name_size = 64;

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
    request_storage_t request_storage;
    unsigned char raw[request_size_max];
    char pid_text[24];
    pid_t child;
    int report;  // the front-end's end of the server's report socket
    struct timespec start;
    int wait_status;
    // The first received descriptor that is a terminal, by name ("" for none).
    char tty[tty_name_size];
    // What the server reported: the command path and account of `runs`, and the end kind.
    bool announced;
    bool runs_seen;
    end_kind reported_end;
    int32_t reported_number;
    char reported_text[report_text_max + 1];
    char reported_detail[report_detail_max + 1];
    char runs_path[report_text_max + 1];
    char runs_account[report_detail_max + 1];
    // The server was killed after its end record; the audit line was logged as stalled.
    bool killed;
    bool stalled;
    gid_t groups[peer_groups_max];
    char passwd_buffer[passwd_buffer_size];
};

// Ends the front-end after a refusal of the way in's own: the kind, what it carries (the
// descriptor's number for `descriptor`) and the reason go to the client in a reply and to the
// audit line.
[[noreturn]] void refuse_as(frontend_t *fe, end_kind kind, int32_t number, const char *reason);
// A refusal for a uid over its bound of live requests.
[[noreturn]] void refuse(frontend_t *fe, const char *reason);
// Ends the front-end after a failure of its own (logged, the client told in general terms).
[[noreturn]] void fail(frontend_t *fe, const char *what);

void identify_peer(frontend_t *fe);
void take_slot(frontend_t *fe);
void receive_request(frontend_t *fe);
void check_request(frontend_t *fe);
// Each of the three received descriptors must be of a kind the caller may hand to a root
// program: a pipe or FIFO, a connected stream or seqpacket Unix socket, /dev/null, a terminal
// of the caller's, or a regular file the caller could open now with the same access mode.
void check_descriptors(frontend_t *fe);
void close_received_fds(frontend_t *fe);

// What the caller can change after the validator refused: the argument that the rules do not
// admit, in the user's terms, without a rule's text.
void describe_validator_refusal(const frontend_t *fe, char *out, size_t size);

// Sends the client the reply that ends its request (never waiting; a client gone is no error).
void send_reply(const frontend_t *fe, reply_kind kind, int32_t value, end_kind end, int32_t number,
                const char *text);

// Answers a list query for the caller's name, and ends.
[[noreturn]] void answer_list(frontend_t *fe, unsigned char flags);

void start_server(frontend_t *fe);
void supervise(frontend_t *fe);

// Logs the audit line (outcome `stalled`) of a server that still runs.
void log_stalled(frontend_t *fe);
// Sends the outcome, logs the audit line and ends.
[[noreturn]] void finish(frontend_t *fe);
