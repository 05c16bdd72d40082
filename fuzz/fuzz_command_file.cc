// Arbitrary bytes as the content of a command file: the alias lookup must never read out of
// bounds, leak or crash, and what it finds must be what an administrator reading the file
// line by line would find. The expected outcome comes from a second, byte-level reading of the
// same input below, independent of the server's parser: the input is cut into the pieces that
// a 1024-byte line buffer yields, each piece's text ends at its first NUL, trailing white space
// is dropped, and the first line whose alias part matches decides.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "registry/registry.h"

namespace {

// The server reads command files through a line buffer of this size.
constexpr size_t line_buffer_size = 1024;
// An alias taken from the input is cut to this many bytes.
constexpr size_t max_input_alias = 64;

constexpr const char fixed_alias[] = "backup";
// A requested alias with a colon can never match: a line's alias part ends at its first colon.
constexpr const char colon_alias[] = "backup:root";

struct expected_entry_t {
    bool found;
    const char *user;  // null when the matching line has no user part
    size_t user_length;
    const char *path;
    size_t path_length;
};

void require(bool condition, const char *what, const char *alias) {
    if (!condition) {
        fprintf(stderr, "invariant broken for alias \"%s\": %s\n", alias, what);
        abort();
    }
}

bool same_text(const char *text, const char *expected, size_t expected_length) {
    return text != nullptr && strlen(text) == expected_length &&
           memcmp(text, expected, expected_length) == 0;
}

// Length of the next piece that one read of the line buffer takes from `data`: up to and
// including a line feed, at most one byte less than the buffer.
size_t next_piece_length(const char *data, size_t size) {
    size_t length = 0;
    while (length < size && length < line_buffer_size - 1) {
        ++length;
        if (data[length - 1] == '\n') {
            break;
        }
    }
    return length;
}

expected_entry_t expected_lookup(const char *data, size_t size, const char *alias) {
    size_t alias_length = strlen(alias);
    size_t offset = 0;
    while (offset < size) {
        const char *text = data + offset;
        size_t piece = next_piece_length(text, size - offset);
        offset += piece;
        size_t length = strnlen(text, piece);
        while (length > 0 && isspace(static_cast<unsigned char>(text[length - 1])) != 0) {
            --length;
        }
        const char *equals = static_cast<const char *>(memchr(text, '=', length));
        if (equals == nullptr) {
            continue;
        }
        size_t key_length = static_cast<size_t>(equals - text);
        const char *key_colon = static_cast<const char *>(memchr(text, ':', key_length));
        size_t part_length =
            key_colon != nullptr ? static_cast<size_t>(key_colon - text) : key_length;
        if (part_length != alias_length || memcmp(text, alias, alias_length) != 0) {
            continue;
        }
        const char *value = equals + 1;
        size_t value_length = length - key_length - 1;
        const char *value_colon = static_cast<const char *>(memchr(value, ':', value_length));
        if (value_colon == nullptr) {
            return {true, nullptr, 0, value, value_length};
        }
        size_t user_length = static_cast<size_t>(value_colon - value);
        return {true, value, user_length, value_colon + 1, value_length - user_length - 1};
    }
    return {false, nullptr, 0, nullptr, 0};
}

void check_lookup(char *data, size_t size, const char *alias) {
    if (alias[0] == '\0') {
        return;  // the server refuses an empty alias before any command file is read
    }
    FILE *stream = fmemopen(data, size, "r");
    if (stream == nullptr) {
        abort();
    }
    alias_entry_t entry{};
    int result = lookup_alias_in_stream(stream, alias, &entry);
    fclose(stream);

    expected_entry_t expected = expected_lookup(data, size, alias);
    require(result == 0 || result == 1, "result is 0 or 1 (copies do not fail here)", alias);
    require((result == 1) == expected.found, "found exactly when a line matches", alias);
    if (result == 1) {
        require(entry.command_token != nullptr, "command_token present", alias);
        require(entry.alias != nullptr && strcmp(entry.alias, alias) == 0,
                "entry alias equals the requested alias", alias);
        require(same_text(entry.command_token, expected.path, expected.path_length),
                "command_token is the text after the user part", alias);
        if (expected.user == nullptr) {
            require(entry.command_user == nullptr, "no command_user without a user part", alias);
        } else {
            require(same_text(entry.command_user, expected.user, expected.user_length),
                    "command_user is the text before the first colon of the value", alias);
        }
        bool root = entry.command_user != nullptr && strcmp(entry.command_user, "root") == 0;
        require(entry.run_as_root == (root ? 1 : 0), "run_as_root exactly for user root", alias);
    } else {
        require(entry.command_token == nullptr && entry.command_user == nullptr &&
                    entry.alias == nullptr,
                "no strings without a match", alias);
    }
    if (strchr(alias, ':') != nullptr || strchr(alias, '=') != nullptr) {
        require(result == 0, "an alias with a colon or an equals sign is never found", alias);
    }
    release_alias_entry(&entry);
    require(entry.command_token == nullptr && entry.command_user == nullptr &&
                entry.alias == nullptr && entry.run_as_root == 0,
            "a released entry is empty", alias);
}

// The input's first bytes up to an equals sign, a line end or a NUL, so that the fuzzer
// reaches matching lines quickly; it may hold a colon, which must then never match.
void alias_from_input(const char *data, size_t size, char *alias) {
    size_t length = 0;
    while (length < size && length < max_input_alias - 1 && data[length] != '=' &&
           data[length] != '\n' && data[length] != '\0') {
        ++length;
    }
    memcpy(alias, data, length);
    alias[length] = '\0';
}

}  // namespace

// The entry point that the fuzzer runtime calls with each input.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A private copy of exactly `size` bytes: the lookup reads it through a stream, and any
    // read past its end is caught by the address sanitizer.
    char *copy = static_cast<char *>(malloc(size != 0 ? size : 1));
    if (copy == nullptr) {
        return 0;
    }
    if (size != 0) {
        memcpy(copy, data, size);
    }
    char input_alias[max_input_alias];
    alias_from_input(copy, size, input_alias);

    check_lookup(copy, size, fixed_alias);
    check_lookup(copy, size, input_alias);
    check_lookup(copy, size, colon_alias);
    free(copy);
    return 0;
}
