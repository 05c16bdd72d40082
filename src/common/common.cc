#include "common/common.h"

#include <cctype>
#include <cstring>

#include <syslog.h>

#include "build_note.h"

bool debug_flag = false;

VORNEX_BUILD_NOTE;

void open_log(const char *ident) {
    openlog(ident, LOG_PID | LOG_CONS | LOG_NDELAY, LOG_DAEMON);
}

namespace {

// Cuts a LF at `at`, then a CR at `at`; tells whether anything was cut.
bool cut_line_end_at(char *text, size_t at) {
    bool cut = false;
    if (text[at] == '\n') {
        text[at] = '\0';
        cut = true;
    }
    if (text[at] == '\r') {
        text[at] = '\0';
        cut = true;
    }
    return cut;
}

}  // namespace

void remove_eol(char *text) {
    size_t length = strnlen(text, line_size);
    if (length == 0) {
        return;
    }
    // The byte before the last is looked at only when the last one was a line ending: a CR
    // or LF inside the text must not cut off what follows it.
    if (cut_line_end_at(text, length - 1) && length >= 2) {
        cut_line_end_at(text, length - 2);
    }
}

int is_valid_number(const char *text) {
    for (const char *c = text; *c != '\0'; ++c) {
        if (isdigit(static_cast<unsigned char>(*c)) == 0) {
            return 0;
        }
    }
    return 1;
}
