// The JSON writer: a separator before every item but the first of its object or array, and
// strings escaped byte by byte.

#include "common/json.h"

#include "common/escape.h"

namespace {

void json_string_value(FILE *out, const char *value) {
    fputc('"', out);
    for (const char *c = value; *c != '\0'; ++c) {
        char piece[json_byte_size];
        fwrite(piece, 1, json_escape_byte(static_cast<unsigned char>(*c), piece), out);
    }
    fputc('"', out);
}

void separate(json_writer_t *json, const char *key) {
    // Deeper than the writer keeps track of, items are not separated; nothing here nests so.
    if (json->depth > 0 && json->depth <= json_max_depth) {
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

json_writer_t json_document(FILE *out, bool begin) {
    json_writer_t json{out, 0, {}};
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
