// How a request ends: the reply to the client, the log lines, the exit.

#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "frontend/frontend.h"

namespace {

constexpr size_t shown_name_size = 4 * name_length_max + 4;
constexpr size_t shown_alias_size = 4 * alias_length_max + 4;
constexpr size_t audit_args_size = 2048;
constexpr size_t outcome_size = 64;

// The reply never waits: the client's receive queue holds nothing else of ours.
void send_reply(const frontend_t *fe, reply_kind kind, int32_t value, end_kind end, int32_t number,
                const char *text) {
    reply_t message{kind, value, end, number, {}};
    snprintf(message.text, sizeof message.text, "%s", text);
    unsigned char reply[reply_size_max];
    size_t size = encode_reply(&message, reply, sizeof reply);
    if (size > 0 && send(fe->connection, reply, size, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        // The client went away; the audit line still records the outcome.
    }
}

// The arguments, each quoted and escaped, separated by blanks; cut with "..." when long.
void format_args(const request_t *r, char *out, size_t size) {
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < r->arg_count; ++i) {
        char shown[audit_args_size];
        escape_text(r->args[i], shown, sizeof shown);
        int length = snprintf(out + used, size - used, "%s\"%s\"", i == 0 ? "" : " ", shown);
        if (length < 0 || static_cast<size_t>(length) >= size - used) {
            snprintf(out + (size > 4 ? size - 4 : 0), size > 4 ? 4 : size, "...");
            return;
        }
        used += static_cast<size_t>(length);
    }
}

long elapsed_ms(const frontend_t *fe) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - fe->start.tv_sec) * 1000L + (now.tv_nsec - fe->start.tv_nsec) / 1000000L;
}

}  // namespace

void escape_text(const char *text, char *out, size_t size) {
    static constexpr char hex[] = "0123456789abcdef";
    size_t used = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        bool plain = c >= 0x20 && c < 0x7f && c != '\\' && c != '"';
        size_t need = plain ? 1 : 4;
        if (used + need + 4 > size) {
            snprintf(out + used, size - used, "...");
            return;
        }
        if (plain) {
            out[used++] = static_cast<char>(c);
        } else {
            out[used++] = '\\';
            out[used++] = 'x';
            out[used++] = hex[c >> 4U];
            out[used++] = hex[c & 0xfU];
        }
    }
    out[used] = '\0';
}

void refuse(frontend_t *fe, const char *reason) {
    close_received_fds(fe);
    syslog(LOG_WARNING, "refused uid %u pid %d: %s", fe->peer.uid, static_cast<int>(fe->peer.pid),
           reason);
    send_reply(fe, reply_kind::refused, 1, end_kind::refused, 0, reason);
    closelog();
    _exit(0);
}

void fail(frontend_t *fe, const char *what) {
    close_received_fds(fe);
    syslog(LOG_ERR, "failed for uid %u pid %d: %s: %m", fe->peer.uid,
           static_cast<int>(fe->peer.pid), what);
    send_reply(fe, reply_kind::refused, 1, end_kind::frontend_failed, 0,
               "the front-end failed; see the system log");
    closelog();
    _exit(1);
}

void finish(frontend_t *fe) {
    reply_kind kind = reply_kind::exited;
    int32_t value = 0;
    char outcome[outcome_size];
    if (WIFSIGNALED(fe->wait_status)) {
        kind = reply_kind::signalled;
        value = WTERMSIG(fe->wait_status);
        snprintf(outcome, sizeof outcome, "killed by signal %d", value);
    } else {
        value = WEXITSTATUS(fe->wait_status);
        snprintf(outcome, sizeof outcome, "exit status %d", value);
    }
    send_reply(fe, kind, value, end_kind::none, 0, "");
    char name[shown_name_size];
    char alias[shown_alias_size];
    char args[audit_args_size];
    escape_text(fe->request.name, name, sizeof name);
    escape_text(fe->request.alias, alias, sizeof alias);
    format_args(&fe->request, args, sizeof args);
    long ms = elapsed_ms(fe);
    syslog(LOG_INFO, "uid %u pid %d user \"%s\" alias \"%s\" args [%s]: %s after %ld.%03ld s",
           fe->peer.uid, static_cast<int>(fe->peer.pid), name, alias, args, outcome, ms / 1000L,
           ms % 1000L);
    closelog();
    _exit(0);
}
