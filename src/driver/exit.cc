// The exit routines, and the report that tells a front-end which of them ended the request.
//
// The report descriptor is the front-end's end of a socket pair. It is close-on-exec, so the
// validator and the command never hold it; records are sent without waiting and without
// SIGPIPE, so a front-end that stopped reading or went away cannot hold or kill the server.

#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/log_formats.h"
#include "driver/names.h"

namespace {

// The descriptor (-1 without a report) and the end about to be sent: the one process-wide
// value besides the debug flag.
struct server_report_t {
    int fd;
    end_kind end;
    int32_t number;
    const char *text;
    const char *detail;
};

server_report_t server_report{-1, end_kind::none, 0, nullptr, nullptr};

void send_end(end_kind fallback) {
    const server_report_t &r = server_report;
    send_report(r.end != end_kind::none ? r.end : fallback, r.number, r.text, r.detail);
}

}  // namespace

void start_report(int fd) {
    if (fd < 0) {
        return;
    }
    server_report.fd = fd;
    send_report(end_kind::announce, static_cast<int32_t>(getpid()), nullptr, nullptr);
}

void set_end(end_kind kind) {
    set_end_with(kind, 0, nullptr, nullptr);
}

void set_end_with(end_kind kind, int32_t number, const char *text, const char *detail) {
    server_report.end = kind;
    server_report.number = number;
    server_report.text = text;
    server_report.detail = detail;
}

void send_report(end_kind kind, int32_t number, const char *text, const char *detail) {
    if (server_report.fd < 0) {
        return;
    }
    unsigned char record[report_record_max];
    size_t size = encode_report_record(kind, number, text, detail, record, sizeof record);
    if (send(server_report.fd, record, size, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        // A front-end that is gone or does not read loses the record, never the request.
    }
}

void exit_with_error(int status, const char *message) {
    closelog();
    // Standard error is unbuffered; the message and its newline go out in one write.
    fprintf(stderr, "%s\n", message);
    fflush(stderr);
    _exit(status);
}

void exit_prog(int status) {
    if (status != 0) {
        send_end(end_kind::internal);
        exit_with_error(status, error_message);
    }
    // The only quiet end: a crontab check that found a crontab.
    send_end(end_kind::crontab_check);
    closelog();
    _exit(0);
}

void exit_unauthorized() {
    send_end(end_kind::refused);
    exit_with_error(1, unauthorized_message);
}

void exit_err(const char *program) {
    // The connection may have been closed just before a failed exec.
    open_log(log_ident);
    syslog(LOG_ERR, log_cant_start, program);
    exit_prog(1);
}
