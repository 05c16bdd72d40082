// Output of vornexctl. Command files, account names and paths may hold any byte: text output
// shows them with the one escaper of every program, JSON output with the one JSON writer.

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "ctl/ctl.h"

namespace {

constexpr const char cut_mark[] = "...";
constexpr size_t cut_mark_length = sizeof cut_mark - 1;

// Takes the result of a bounded format: a text that did not fit ends in the cut mark.
void mark_cut(char *buffer, size_t size, int length) {
    if (length >= 0 && static_cast<size_t>(length) < size) {
        return;
    }
    if (size > cut_mark_length) {
        memcpy(buffer + size - 1 - cut_mark_length, cut_mark, cut_mark_length);
    }
}

}  // namespace

void print_shown(FILE *out, const char *text) {
    char buffer[shown_size];
    fputs(escape_text(text, buffer, sizeof buffer), out);
}

const char *format_time(int64_t seconds, char *buffer, size_t size) {
    if (seconds == 0) {
        snprintf(buffer, size, "-");
        return buffer;
    }
    auto value = static_cast<time_t>(seconds);
    struct tm local {};
    if (localtime_r(&value, &local) == nullptr ||
        strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        snprintf(buffer, size, "%lld", static_cast<long long>(seconds));
    }
    return buffer;
}

void format_cut_list(char *buffer, size_t size, const char *format, va_list arguments) {
    mark_cut(buffer, size, vsnprintf(buffer, size, format, arguments));
}

// A C variadic function, so that the format attribute checks every call's arguments.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void format_cut(char *buffer, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // The analyser does not see the va_start just above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    int length = vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    mark_cut(buffer, size, length);
}

json_writer_t begin_list_document(bool as_json, const char *key, const char *value,
                                  const char *list) {
    json_writer_t json = json_document(stdout, as_json);
    if (as_json && key != nullptr) {
        json_string(&json, key, value);
    }
    if (as_json) {
        json_begin(&json, list, '[');
    }
    return json;
}

void end_list_document(json_writer_t *json, bool as_json) {
    if (as_json) {
        json_end(json, '[');
        json_end(json, '{');
        json_finish(json);
    }
}

void finish_findings(json_writer_t *json, bool as_json, int errors, int warnings) {
    if (as_json) {
        json_end(json, '[');
        json_int(json, "errors", errors);
        json_int(json, "warnings", warnings);
        json_end(json, '{');
        json_finish(json);
        return;
    }
    printf("%d error%s, %d warning%s\n", errors, errors == 1 ? "" : "s", warnings,
           warnings == 1 ? "" : "s");
}

void print_error(const char *subject, const char *message) {
    char buffer[shown_size];
    fprintf(stderr, "vornexctl: %s: %s\n", escape_text(subject, buffer, sizeof buffer), message);
}
