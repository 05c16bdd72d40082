// Output of vornexctl. Command files, account names and paths may hold any byte: text output
// shows them with the one escaper of every program, and JSON strings escape every byte
// outside printable ASCII as \u00XX, one code point per byte.

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

void json_string_value(FILE *out, const char *value) {
    fputc('"', out);
    for (const char *c = value; *c != '\0'; ++c) {
        char piece[json_byte_size];
        fwrite(piece, 1, json_escape_byte(static_cast<unsigned char>(*c), piece), out);
    }
    fputc('"', out);
}

void separate(json_writer_t *json, const char *key) {
    if (json->depth > 0) {
        if (json->has_items[json->depth - 1]) {
            fputc(',', json->out);
        }
        json->has_items[json->depth - 1] = true;
    }
    if (key != nullptr) {
        json_string_value(json->out, key);
        fputc(':', json->out);
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

json_writer_t json_document(bool begin) {
    json_writer_t json{stdout, 0, {}};
    if (begin) {
        json_begin(&json, nullptr, '{');
    }
    return json;
}

void json_begin(json_writer_t *json, const char *key, char bracket) {
    separate(json, key);
    fputc(bracket, json->out);
    if (json->depth < json_max_depth) {
        json->has_items[json->depth] = false;
    }
    ++json->depth;
}

void json_end(json_writer_t *json, char bracket) {
    fputc(bracket == '{' ? '}' : ']', json->out);
    --json->depth;
}

void json_string(json_writer_t *json, const char *key, const char *value) {
    separate(json, key);
    if (value == nullptr) {
        fputs("null", json->out);
        return;
    }
    json_string_value(json->out, value);
}

void json_int(json_writer_t *json, const char *key, long long value) {
    separate(json, key);
    fprintf(json->out, "%lld", value);
}

void json_bool(json_writer_t *json, const char *key, bool value) {
    separate(json, key);
    fputs(value ? "true" : "false", json->out);
}

void json_null(json_writer_t *json, const char *key) {
    separate(json, key);
    fputs("null", json->out);
}

void json_int_or_null(json_writer_t *json, const char *key, bool present, long long value) {
    if (present) {
        json_int(json, key, value);
    } else {
        json_null(json, key);
    }
}

void json_finish(json_writer_t *json) {
    fputc('\n', json->out);
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
