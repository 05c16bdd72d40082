// Where the lines of a decision go: the server sends them to syslog, vornexctl explain keeps
// them as its prediction of what the server logs. The function that turns a decision into its
// lines writes each with the literal format of that line, to whichever sink it is given.
#pragma once

#include <cstdarg>

struct log_sink_t {
    void (*write)(void *context, int priority, const char *format, va_list arguments)
        __attribute__((format(printf, 3, 0)));
    void *context;
};

// The sink of the server's own log.
log_sink_t syslog_sink();
void sink_line(const log_sink_t *sink, int priority, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
