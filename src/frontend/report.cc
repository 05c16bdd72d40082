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

constexpr size_t shown_name_size = escaped_size(32);
constexpr size_t shown_field_size = escaped_size(96);
constexpr size_t shown_tty_size = escaped_size(tty_name_size);
constexpr size_t shown_reason_size = 256;
// The audit line is at most this long; each argument shows at most its first bytes.
constexpr size_t audit_line_max = 2048;
constexpr size_t audit_arg_shown = 256;
constexpr size_t shown_arg_size = 4 * audit_arg_shown + 8;
// Room kept for " +K more" and the bracket.
constexpr size_t audit_more_reserve = 16;
constexpr size_t outcome_size = 64;
constexpr size_t number_text_size = 24;
constexpr const char ellipsis[] = "\xe2\x80\xa6";
constexpr const char killed_text[] =
    "the server did not end within 5 s of its outcome and was stopped";

// A line being built; what does not fit is left out, the text stays NUL-terminated.
struct line_t {
    char text[audit_line_max + 1];
    size_t used;
};

void advance(line_t *l, int written) {
    if (written > 0) {
        l->used += static_cast<size_t>(written);
    }
    if (l->used > audit_line_max) {
        l->used = audit_line_max;
    }
}

void append(line_t *l, const char *text) {
    advance(l, snprintf(l->text + l->used, sizeof l->text - l->used, "%s", text));
}

// One argument as the audit line shows it: quoted, escaped, its first bytes only.
void show_arg(const char *arg, char *out, size_t size) {
    char head[audit_arg_shown + 1];
    size_t length = strlen(arg);
    snprintf(head, sizeof head, "%s", arg);
    char escaped[shown_arg_size];
    escape_text(head, escaped, sizeof escaped);
    if (length > audit_arg_shown) {
        snprintf(out, size, "\"%s%s(%zu bytes)\"", escaped, ellipsis, length);
    } else {
        snprintf(out, size, "\"%s\"", escaped);
    }
}

// The arguments within `budget` bytes, then "+K more" for those left out.
void append_args(line_t *l, const request_t *r, size_t budget) {
    size_t limit = l->used + budget;
    size_t i = 0;
    for (; i < r->arg_count; ++i) {
        char shown[shown_arg_size + number_text_size + 8];
        show_arg(r->args[i], shown, sizeof shown);
        size_t need = strlen(shown) + (i == 0 ? 0 : 1);
        if (l->used + need > limit) {
            break;
        }
        if (i > 0) {
            append(l, " ");
        }
        append(l, shown);
    }
    if (i < r->arg_count) {
        advance(l, snprintf(l->text + l->used, sizeof l->text - l->used, "%s+%zu more",
                            i == 0 ? "" : " ", r->arg_count - i));
    }
}

long elapsed_ms(const frontend_t *fe) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - fe->start.tv_sec) * 1000L + (now.tv_nsec - fe->start.tv_nsec) / 1000000L;
}

}  // namespace

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

namespace {

// What the audit line says about the request's end.
struct audit_t {
    const char *outcome;
    const char *reason;  // a refusal's of the front-end's own, or nullptr
    int priority;
};

// The user's line after the server's own, for an end the server reported: the cause and what
// to do, in the user's terms. It reveals nothing the user could not learn already: the command
// files are world-readable and the lockout bounds guessing; no token, no other user's state
// and no rule's text is shown.
void describe_end(const frontend_t *fe, char *out, size_t size) {
    auto server = static_cast<int>(fe->child);
    char shown[shown_field_size];
    char detail[shown_reason_size];
    switch (fe->reported_end) {
        case end_kind::alias_unknown:
            escape_text(fe->request.alias, shown, sizeof shown);
            snprintf(out, size, "no such alias %s; vornex -l lists yours", shown);
            return;
        case end_kind::blocked:
            snprintf(out, size,
                     "blocked for %d s more after repeated failed attempts; try again then",
                     static_cast<int>(fe->reported_number));
            return;
        case end_kind::validator: {
            char why[reply_text_max];
            describe_validator_refusal(fe, why, sizeof why);
            snprintf(out, size, "%.400s (request %d)", why, server);
            return;
        }
        case end_kind::token_file:
            escape_text(fe->reported_text, shown, sizeof shown);
            escape_text(fe->reported_detail, detail, sizeof detail);
            snprintf(out, size,
                     "not set up: the token file %.300s is unusable (%.60s); ask the "
                     "administrator",
                     shown, detail);
            return;
        case end_kind::token_wrong:
        case end_kind::token_missing:
            snprintf(out, size,
                     "the token was not accepted; ask the administrator for a new "
                     "token file (request %d)",
                     server);
            return;
        default:
            snprintf(out, size,
                     "the request failed: the administrator finds request %d in the "
                     "system log",
                     server);
            return;
    }
}

void format_outcome(const frontend_t *fe, char *out, size_t size) {
    if (fe->killed) {
        snprintf(out, size, "killed");
    } else if (fe->reported_end != end_kind::none && fe->reported_end != end_kind::crontab_check) {
        snprintf(out, size, "refused:%s", end_kind_name(fe->reported_end));
    } else if (WIFSIGNALED(fe->wait_status)) {
        snprintf(out, size, "signal:%d", WTERMSIG(fe->wait_status));
    } else {
        snprintf(out, size, "exit:%d", WEXITSTATUS(fe->wait_status));
    }
}

// uid= pid= server= user= alias= args=[...] cwd= tty= runs= as= outcome= duration= and, for a
// refusal of the front-end's own, reason=. Texts are quoted and escaped; the line is at most
// audit_line_max bytes, the arguments taking what the other fields leave.
void log_audit(const frontend_t *fe, const audit_t *audit) {
    const request_t *r = &fe->request;
    bool known = fe->have_request;
    char name[shown_name_size];
    char alias[shown_field_size];
    char cwd[shown_field_size];
    char tty[shown_tty_size];
    char runs[shown_field_size];
    char account[shown_name_size];
    char reason[shown_reason_size];
    escape_text(known ? r->name : "", name, sizeof name);
    escape_text(known ? r->alias : "", alias, sizeof alias);
    escape_text(known ? r->cwd : "", cwd, sizeof cwd);
    escape_text(fe->tty, tty, sizeof tty);
    escape_text(fe->runs_path, runs, sizeof runs);
    escape_text(fe->runs_account, account, sizeof account);
    escape_text(audit->reason != nullptr ? audit->reason : "", reason, sizeof reason);
    char server[number_text_size] = "-";
    if (fe->child > 0) {
        snprintf(server, sizeof server, "%d", static_cast<int>(fe->child));
    }
    long ms = elapsed_ms(fe);
    line_t tail{};
    advance(&tail, snprintf(tail.text, sizeof tail.text,
                            "] cwd=\"%s\" tty=\"%s\" runs=\"%s\" as=\"%s\" outcome=%s "
                            "duration=%ld.%03ld",
                            cwd, tty, runs, account, audit->outcome, ms / 1000L, ms % 1000L));
    if (audit->reason != nullptr) {
        advance(&tail, snprintf(tail.text + tail.used, sizeof tail.text - tail.used,
                                " reason=\"%s\"", reason));
    }
    line_t line{};
    advance(&line, snprintf(line.text, sizeof line.text,
                            "uid=%u pid=%d server=%s user=\"%s\" alias=\"%s\" args=[", fe->peer.uid,
                            static_cast<int>(fe->peer.pid), server, name, alias));
    size_t fixed = line.used + tail.used + audit_more_reserve;
    if (known && fixed < audit_line_max) {
        append_args(&line, r, audit_line_max - fixed);
    }
    append(&line, tail.text);
    syslog(audit->priority, "%s", line.text);
}

}  // namespace

void refuse_as(frontend_t *fe, end_kind kind, int32_t number, const char *reason) {
    close_received_fds(fe);
    char outcome[outcome_size];
    snprintf(outcome, sizeof outcome, "refused:%s", end_kind_name(kind));
    // A descriptor's reason in the log names the descriptor; the client names it itself.
    constexpr const char *fd_names[request_fd_count] = {"standard input", "standard output",
                                                        "standard error"};
    char why[shown_reason_size];
    if (kind == end_kind::descriptor && number >= 0 && number < request_fd_count) {
        snprintf(why, sizeof why, "%s: %s", fd_names[number], reason);
    } else {
        snprintf(why, sizeof why, "%s", reason);
    }
    audit_t audit{outcome, why, LOG_WARNING};
    log_audit(fe, &audit);
    send_reply(fe, reply_kind::refused, 1, kind, number, reason);
    closelog();
    _exit(0);
}

void refuse(frontend_t *fe, const char *reason) {
    refuse_as(fe, end_kind::busy, 0, reason);
}

void fail(frontend_t *fe, const char *what) {
    close_received_fds(fe);
    syslog(LOG_ERR, "failed for uid %u pid %d: %s: %m", fe->peer.uid,
           static_cast<int>(fe->peer.pid), what);
    char outcome[outcome_size];
    snprintf(outcome, sizeof outcome, "refused:%s", end_kind_name(end_kind::frontend_failed));
    audit_t audit{outcome, what, LOG_ERR};
    log_audit(fe, &audit);
    send_reply(fe, reply_kind::refused, 1, end_kind::frontend_failed, 0,
               "the front-end failed; see the system log");
    closelog();
    _exit(1);
}

void log_stalled(frontend_t *fe) {
    audit_t audit{"stalled", nullptr, LOG_WARNING};
    log_audit(fe, &audit);
    fe->stalled = true;
}

void finish(frontend_t *fe) {
    auto server = static_cast<int32_t>(fe->child);
    char outcome[outcome_size];
    format_outcome(fe, outcome, sizeof outcome);
    if (fe->killed) {
        char line[reply_text_max];
        snprintf(line, sizeof line, "request %d: %s", static_cast<int>(server), killed_text);
        send_reply(fe, reply_kind::refused, 1, end_kind::killed, server, line);
    } else if (WIFSIGNALED(fe->wait_status)) {
        send_reply(fe, reply_kind::signalled, WTERMSIG(fe->wait_status), fe->reported_end, server,
                   "");
    } else {
        int32_t number = fe->reported_end == end_kind::blocked ? fe->reported_number : server;
        char line[reply_text_max];
        line[0] = '\0';
        if (fe->reported_end != end_kind::none && fe->reported_end != end_kind::crontab_check) {
            describe_end(fe, line, sizeof line);
        }
        send_reply(fe, reply_kind::exited, WEXITSTATUS(fe->wait_status), fe->reported_end, number,
                   line);
    }
    if (fe->stalled) {
        long ms = elapsed_ms(fe);
        syslog(LOG_INFO, "server=%d ended after stalling: outcome=%s duration=%ld.%03ld",
               static_cast<int>(fe->child), outcome, ms / 1000L, ms % 1000L);
    } else {
        bool refused = fe->killed || (fe->reported_end != end_kind::none &&
                                      fe->reported_end != end_kind::crontab_check);
        audit_t audit{outcome, nullptr, refused ? LOG_WARNING : LOG_INFO};
        log_audit(fe, &audit);
    }
    closelog();
    _exit(0);
}
