#include "common/log_sink.h"

#include <syslog.h>

namespace {

__attribute__((format(printf, 3, 0))) void write_syslog(void * /*context*/, int priority,
                                                        const char *format, va_list arguments) {
    vsyslog(priority, format, arguments);
}

}  // namespace

log_sink_t syslog_sink() {
    return log_sink_t{write_syslog, nullptr};
}

// A C variadic function, so that the format attribute checks every call's arguments.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void sink_line(const log_sink_t *sink, int priority, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    sink->write(sink->context, priority, format, arguments);
    va_end(arguments);
}
