// A JSON document written as it goes, without white space: what vornexctl prints with --json
// and what the front-end sends for "vornex -l --json". Strings take every byte as one code
// point, escaped as json_escape_byte does, so a document is plain ASCII whatever it holds.
#pragma once

#include <cstdio>

constexpr int json_max_depth = 8;
struct json_writer_t {
    FILE *out;
    int depth;
    bool has_items[json_max_depth];
};

// A writer on `out`; with `begin` the document's outer object is opened.
json_writer_t json_document(FILE *out, bool begin);
// `key` is null inside arrays. `bracket` is '{' or '['.
void json_begin(json_writer_t *json, const char *key, char bracket);
void json_end(json_writer_t *json, char bracket);
// A null `value` is written as null.
void json_string(json_writer_t *json, const char *key, const char *value);
void json_int(json_writer_t *json, const char *key, long long value);
void json_bool(json_writer_t *json, const char *key, bool value);
void json_null(json_writer_t *json, const char *key);
// `value` when `present`, else null.
void json_int_or_null(json_writer_t *json, const char *key, bool present, long long value);
// The line feed that ends a document.
void json_finish(json_writer_t *json);
