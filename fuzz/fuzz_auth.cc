// Arbitrary bytes against the token file check and the auth log record codec.
//
// Input layout: byte 0 holds flags; the bytes after it up to the first NUL are the presented
// token, the rest is the token file. With flag bit 0 set the token file starts with the token
// itself, so that matching first lines are common. The first 24 bytes of the input, when there
// are that many, are also taken as an auth log record, both as file bytes and as a record in
// memory.
//
// The expected outcome of the token check is worked out here from the bytes alone: the first
// piece that a 1024-byte line buffer takes from the file, its text up to the first NUL, the
// line ending cut (a LF or CR as last byte and, only when that was cut, a LF or CR as
// next-to-last byte), and an
// exact match with a non-empty token.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/auth_internal.h"

namespace {

constexpr size_t line_buffer_size = 1024;
constexpr uint8_t flag_token_first = 1;
// cmp_const is also tried with a short limit taken from the input, up to this value.
constexpr size_t max_short_limit = 32;

static_assert(sizeof(auth_record_t) == auth_record_size, "the record has no padding");
static_assert(std::endian::native == std::endian::little,
              "the auth log is the record's image on a little-endian machine");

void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

void cut_line_ending(char *line) {
    size_t length = strnlen(line, line_buffer_size);
    if (length == 0 || (line[length - 1] != '\n' && line[length - 1] != '\r')) {
        return;
    }
    line[length - 1] = '\0';
    if (length >= 2 && (line[length - 2] == '\n' || line[length - 2] == '\r')) {
        line[length - 2] = '\0';
    }
}

// The first line of the token file as the check sees it.
void expected_first_line(const char *file, size_t size, char *line) {
    memset(line, 0, line_buffer_size);
    size_t length = 0;
    while (length < size && length < line_buffer_size - 1) {
        line[length] = file[length];
        ++length;
        if (file[length - 1] == '\n') {
            break;
        }
    }
    cut_line_ending(line);
}

void check_token(const char *token, const char *file, size_t file_size, size_t short_limit) {
    // fmemopen only reads the buffer in mode "r"; the copy keeps the input itself untouched.
    char *content = static_cast<char *>(malloc(file_size != 0 ? file_size : 1));
    require(content != nullptr, "memory for the token file");
    if (file_size != 0) {
        memcpy(content, file, file_size);
    }
    FILE *stream = fmemopen(content, file_size, "r");
    require(stream != nullptr, "a stream over the token file");
    int result = check_token_value_with_tokenfile(token, stream, 0, "fuzz");
    fclose(stream);
    free(content);

    char line[line_buffer_size];
    expected_first_line(file, file_size, line);
    bool accepted = token[0] != '\0' && strcmp(token, line) == 0;
    require(result == (accepted ? 0 : -1), "the token is accepted exactly when it is the line");

    require(cmp_const(token, token, line_buffer_size) == 0, "a token equals itself");
    require((cmp_const(token, line, line_buffer_size) == 0) == (strcmp(token, line) == 0),
            "cmp_const agrees with strcmp below the limit");
    size_t token_length = strlen(token);
    size_t line_length = strlen(line);
    size_t compared = token_length < short_limit ? token_length : short_limit;
    bool equal_prefix = token_length == line_length && memcmp(token, line, compared) == 0;
    require((cmp_const(token, line, short_limit) == 0) == equal_prefix,
            "cmp_const compares equal lengths over the first limit bytes only");
}

void check_record_codec(const uint8_t *bytes) {
    auth_record_t decoded{};
    decode_auth_record(bytes, &decoded);
    unsigned char encoded[auth_record_size];
    encode_auth_record(&decoded, encoded);
    require(memcmp(encoded, bytes, auth_record_size) == 0, "encode(decode(b)) == b");

    auth_record_t record{};
    memcpy(&record, bytes, auth_record_size);
    encode_auth_record(&record, encoded);
    require(memcmp(encoded, &record, auth_record_size) == 0,
            "the encoding is the record's image in memory");
    auth_record_t again{};
    decode_auth_record(encoded, &again);
    require(again.last_failure_time == record.last_failure_time &&
                again.blocked_until == record.blocked_until &&
                again.failure_count == record.failure_count &&
                again.block_count == record.block_count,
            "decode(encode(x)) == x");
}

}  // namespace

// The entry point that the fuzzer runtime calls with each input.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    if (size >= auth_record_size) {
        check_record_codec(data);
    }
    const char *rest = reinterpret_cast<const char *>(data + 1);
    size_t rest_size = size - 1;
    size_t token_length = strnlen(rest, rest_size);

    // The token as a string of its own, so that nothing reads past it.
    char *token = static_cast<char *>(malloc(token_length + 1));
    require(token != nullptr, "memory for the token");
    memcpy(token, rest, token_length);
    token[token_length] = '\0';

    const char *body = rest + token_length;
    size_t body_size = rest_size - token_length;
    if (body_size != 0) {
        ++body;  // the NUL that ends the token
        --body_size;
    }
    size_t short_limit = data[0] % max_short_limit;

    if ((data[0] & flag_token_first) != 0) {
        char *file = static_cast<char *>(malloc(token_length + body_size + 1));
        require(file != nullptr, "memory for the token file");
        memcpy(file, token, token_length);
        memcpy(file + token_length, body, body_size);
        check_token(token, file, token_length + body_size, short_limit);
        free(file);
    } else {
        check_token(token, body, body_size, short_limit);
    }
    free(token);
    return 0;
}
