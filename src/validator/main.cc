// The default parameter validator. The server runs it as root in "/" with the user name, the
// home directory, the command path and the request's extra arguments, and goes on only when
// it exits with status 0.
//
// It shares standard output and standard error with the user, so it writes nothing there; a
// refusal's reason goes to syslog under its own ident, every request value quoted and escaped.
// It never sets the locale, and its memory is fixed whatever the arguments' sizes.

#include <syslog.h>

#include "build_note.h"
#include "rules/rules.h"

VORNEX_BUILD_NOTE;

namespace {

constexpr int status_approved = 0;
constexpr int status_refused = 1;

void log_refusal(const rules_verdict_t *verdict) {
    openlog(validator_ident, LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "%s", verdict->log);
    closelog();
}

}  // namespace

int main(int argc, char **argv) {
    rules_verdict_t verdict{};
    evaluate_request(rules_path, argc > 0 ? argc - 1 : 0, argv + 1, &verdict);
    if (!verdict.approved) {
        log_refusal(&verdict);
        return status_refused;
    }
    return status_approved;
}
