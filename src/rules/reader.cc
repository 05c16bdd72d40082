// The rules file and its lines.
//
// The file is trusted only as a regular file of root's that nobody else can write, opened
// without following a link and checked through the very descriptor that is read. Nothing in
// a line is ever executed or expanded: quotes and backslashes only decide which bytes are
// literal, and a line that cannot be read is reported, never guessed at.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "common/facts.h"
#include "rules/rules.h"

namespace {

constexpr const char default_keyword[] = "default";
constexpr const char any_further_word[] = "...";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool is_special(char c) {
    return c == '*' || c == '?' || c == '[' || c == ']' || c == '\\';
}

// One word being scanned: where it is written, and what it turned out to be.
struct word_scan_t {
    char *out;
    size_t used;
    size_t size;
    bool pattern;
    bool quoted;
    bool overflow;
};

void put(word_scan_t *scan, char c) {
    if (scan->used + 1 >= scan->size) {
        scan->overflow = true;
        return;
    }
    scan->out[scan->used++] = c;
}

// A literal byte: escaped in the pattern form, so that a quoted "*" stays a star.
void put_literal(word_scan_t *scan, char c) {
    if (is_special(c)) {
        put(scan, '\\');
    }
    put(scan, c);
}

// The end of a bracket expression that starts at `at` ("["), or 0 when it is not closed.
size_t bracket_end(const char *line, size_t length, size_t at) {
    size_t i = at + 1;
    if (i < length && (line[i] == '!' || line[i] == '^')) {
        ++i;
    }
    if (i < length && line[i] == ']') {
        ++i;
    }
    for (; i < length; ++i) {
        if (line[i] == '\\') {
            ++i;
            continue;
        }
        if (line[i] == ']') {
            return i;
        }
    }
    return 0;
}

// Copies a quoted part starting after its opening quote; returns the index after the closing
// quote, or 0 when the quote is not closed. Inside double quotes a backslash makes the next
// byte literal; inside single quotes every byte is literal.
size_t scan_quoted(const char *line, size_t length, size_t at, char quote, word_scan_t *scan) {
    for (size_t i = at; i < length; ++i) {
        char c = line[i];
        if (c == quote) {
            return i + 1;
        }
        if (quote == '"' && c == '\\' && i + 1 < length) {
            c = line[++i];
        }
        put_literal(scan, c);
    }
    return 0;
}

// Scans one word starting at `*at`; leaves `*at` after it. -1 with `*error` on a fault.
int scan_word(const char *line, size_t length, size_t *at, word_scan_t *scan, const char **error) {
    size_t i = *at;
    while (i < length && !is_blank(line[i])) {
        char c = line[i];
        if (c == '"' || c == '\'') {
            scan->quoted = true;
            i = scan_quoted(line, length, i + 1, c, scan);
            if (i == 0) {
                *error = "a quote is not closed";
                return -1;
            }
            continue;
        }
        if (c == '\\') {
            if (i + 1 == length) {
                *error = "a backslash ends the line";
                return -1;
            }
            scan->quoted = true;
            put_literal(scan, line[i + 1]);
            i += 2;
            continue;
        }
        if (c == '[') {
            size_t end = bracket_end(line, length, i);
            if (end == 0) {
                *error = "a \"[\" has no closing \"]\"";
                return -1;
            }
            for (; i <= end; ++i) {
                put(scan, line[i]);
            }
            scan->pattern = true;
            continue;
        }
        if (c == '*' || c == '?') {
            put(scan, c);
            scan->pattern = true;
            ++i;
            continue;
        }
        put_literal(scan, c);
        ++i;
    }
    *at = i;
    return 0;
}

// An exact word keeps its bytes only: the backslashes of the pattern form go.
void drop_escapes(char *text) {
    char *to = text;
    for (const char *from = text; *from != '\0'; ++from) {
        if (*from == '\\' && from[1] != '\0') {
            ++from;
        }
        *to++ = *from;
    }
    *to = '\0';
}

struct line_words_t {
    rules_word_t words[rules_max_words + rules_max_who + 2];
    bool quoted[rules_max_words + rules_max_who + 2];
    size_t count;
};

constexpr size_t max_line_words = rules_max_words + rules_max_who + 2;

// Splits the line into words, up to a comment: a "#" that begins a word outside quotes.
int split_words(const char *line, size_t length, rules_line_t *out, line_words_t *words,
                const char **error) {
    size_t used = 0;
    size_t i = 0;
    words->count = 0;
    for (;;) {
        while (i < length && is_blank(line[i])) {
            ++i;
        }
        if (i == length || line[i] == '#') {
            return 0;
        }
        if (words->count == max_line_words) {
            *error = "too many words";
            return -1;
        }
        word_scan_t scan{out->text + used, 0, sizeof out->text - used, false, false, false};
        if (scan_word(line, length, &i, &scan, error) < 0) {
            return -1;
        }
        if (scan.overflow) {
            *error = "the line is too long";
            return -1;
        }
        scan.out[scan.used] = '\0';
        if (!scan.pattern) {
            drop_escapes(scan.out);
        }
        words->words[words->count] = rules_word_t{scan.out, scan.pattern};
        words->quoted[words->count] = scan.quoted;
        ++words->count;
        used += scan.used + 1;
    }
}

bool is_plain(const line_words_t *words, size_t index, const char *text) {
    return !words->quoted[index] && !words->words[index].pattern &&
           strcmp(words->words[index].text, text) == 0;
}

int take_default(const line_words_t *words, rules_line_t *out, const char **error) {
    if (words->count == 2 && is_plain(words, 1, "check")) {
        out->default_value = rules_default::check;
    } else if (words->count == 2 && is_plain(words, 1, "refuse")) {
        out->default_value = rules_default::refuse;
    } else {
        *error = "a default line is \"default check\" or \"default refuse\"";
        return -1;
    }
    out->kind = rules_kind::default_line;
    return 0;
}

// Splits the WHO word at its commas, in place.
int take_who(rules_word_t *word, rules_line_t *out, const char **error) {
    if (word->pattern) {
        *error = "user and group names hold no wildcard";
        return -1;
    }
    auto *text = const_cast<char *>(word->text);
    for (char *name = text;;) {
        char *comma = strchr(name, ',');
        if (comma != nullptr) {
            *comma = '\0';
        }
        if (name[0] == '\0' || strcmp(name, ":") == 0) {
            *error = "an empty user or group name";
            return -1;
        }
        if (out->who_count == rules_max_who) {
            *error = "too many user and group names";
            return -1;
        }
        out->who[out->who_count++] = name;
        if (comma == nullptr) {
            return 0;
        }
        name = comma + 1;
    }
}

int take_rule(line_words_t *words, rules_line_t *out, const char **error) {
    size_t next = 0;
    if (words->words[0].text[0] != '/') {
        if (take_who(&words->words[0], out, error) < 0) {
            return -1;
        }
        next = 1;
    }
    if (next == words->count || words->words[next].text[0] != '/') {
        *error = "the command path is missing or not absolute";
        return -1;
    }
    if (words->words[next].pattern) {
        *error = "the command path holds a wildcard";
        return -1;
    }
    out->command = words->words[next++].text;
    for (; next < words->count; ++next) {
        if (is_plain(words, next, any_further_word)) {
            if (next + 1 != words->count) {
                *error = "\"...\" is not the last word";
                return -1;
            }
            out->any_further = true;
            break;
        }
        if (out->word_count == rules_max_words) {
            *error = "too many arguments";
            return -1;
        }
        out->words[out->word_count++] = words->words[next];
    }
    out->kind = rules_kind::rule;
    return 0;
}

bool has_bad_byte(const char *line, size_t length, const char **error) {
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c == '\0') {
            *error = "a NUL byte";
            return true;
        }
        if (is_control(c) && c != '\t') {
            *error = "a control byte";
            return true;
        }
    }
    return false;
}

}  // namespace

namespace {

// Bytes that end a plain word or make it need a parse: controls, the blank, 0x7f, quotes, the
// backslash and the wildcard characters. Looked up in a table: the validator looks at the
// command path of every line on every request.
constexpr size_t byte_values = 256;
struct byte_table_t {
    bool unplain[byte_values];
};

constexpr byte_table_t make_unplain_table() {
    byte_table_t table{};
    for (size_t c = 0; c <= ' '; ++c) {
        table.unplain[c] = true;
    }
    table.unplain[0x7f] = true;
    for (const char *c = "\"'\\*?["; *c != '\0'; ++c) {
        table.unplain[static_cast<unsigned char>(*c)] = true;
    }
    return table;
}

constexpr byte_table_t unplain_table = make_unplain_table();

bool is_unplain(unsigned char c) {
    return unplain_table.unplain[c];
}

size_t skip_blanks(const char *line, size_t length, size_t at) {
    while (at < length && is_blank(line[at])) {
        ++at;
    }
    return at;
}

// The end of the plain run of bytes at `at`.
size_t plain_end(const char *line, size_t length, size_t at) {
    while (at < length && !is_unplain(static_cast<unsigned char>(line[at]))) {
        ++at;
    }
    return at;
}

}  // namespace

rules_line_class classify_rules_line(const char *line, size_t length, const char **command,
                                     size_t *command_length) {
    size_t at = skip_blanks(line, length, 0);
    if (at == length || line[at] == '#') {
        return rules_line_class::ignored;
    }
    if (line[at] != '/') {
        // A list of users and groups, plain, then the command path.
        size_t end = plain_end(line, length, at);
        if (end == length || !is_blank(line[end])) {
            return rules_line_class::other;
        }
        at = skip_blanks(line, length, end);
        if (at == length || line[at] != '/') {
            return rules_line_class::other;
        }
    }
    size_t end = plain_end(line, length, at);
    if (end < length && !is_blank(line[end])) {
        return rules_line_class::other;
    }
    *command = line + at;
    *command_length = end - at;
    return rules_line_class::command;
}

int parse_rules_line(const char *line, size_t length, rules_line_t *out, const char **error) {
    out->kind = rules_kind::empty;
    out->who_count = 0;
    out->command = nullptr;
    out->word_count = 0;
    out->any_further = false;
    out->default_value = rules_default::check;
    if (length >= rules_line_size) {
        *error = "the line is too long";
        return -1;
    }
    size_t first = skip_blanks(line, length, 0);
    if (first == length || line[first] == '#') {
        return 0;
    }
    if (has_bad_byte(line, length, error)) {
        return -1;
    }
    line_words_t words{};
    if (split_words(line, length, out, &words, error) < 0) {
        return -1;
    }
    if (words.count == 0) {
        return 0;
    }
    if (is_plain(&words, 0, default_keyword) && words.count >= 2 && words.words[1].text[0] != '/') {
        return take_default(&words, out, error);
    }
    return take_rule(&words, out, error);
}

namespace {

// Reads the file whole into memory of its size, taken once the size is known and checked. A
// file that changes size while it is read is read up to the size it had.
int read_whole(int fd, const struct stat *info, rules_reader_t *reader, int *error) {
    auto size = static_cast<size_t>(info->st_size);
    auto *copy = static_cast<char *>(malloc(size));
    if (copy == nullptr) {
        *error = ENOMEM;
        return -1;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t part = read(fd, copy + got, size - got);
        if (part < 0 && errno == EINTR) {
            continue;
        }
        if (part < 0) {
            *error = errno;
            free(copy);
            return -1;
        }
        if (part == 0) {
            break;
        }
        got += static_cast<size_t>(part);
    }
    rules_read_memory(reader, copy, got);
    reader->copy = copy;
    return 0;
}

}  // namespace

rules_file_state rules_open(const char *path, rules_reader_t *reader, struct stat *info,
                            int *error) {
    rules_read_memory(reader, nullptr, 0);
    *error = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = errno;
        if (errno == ENOENT) {
            return rules_file_state::missing;
        }
        return errno == ELOOP ? rules_file_state::not_regular : rules_file_state::open_failed;
    }
    rules_file_state state = rules_file_state::usable;
    if (fstat(fd, info) < 0) {
        *error = errno;
        state = rules_file_state::open_failed;
    } else if (!S_ISREG(info->st_mode)) {
        state = rules_file_state::not_regular;
    } else if (info->st_uid != 0) {
        state = rules_file_state::not_root;
    } else if ((info->st_mode & group_other_write) != 0) {
        state = rules_file_state::writable;
    } else if (info->st_size > rules_max_file_size) {
        state = rules_file_state::too_large;
    } else if (info->st_size > 0 && read_whole(fd, info, reader, error) < 0) {
        state = rules_file_state::open_failed;
    }
    close(fd);
    return state;
}

void rules_close(rules_reader_t *reader) {
    free(reader->copy);
    rules_read_memory(reader, nullptr, 0);
}

void rules_read_memory(rules_reader_t *reader, const char *data, size_t size) {
    *reader = rules_reader_t{data, size, 0, 0, nullptr};
}

int rules_next_line(rules_reader_t *reader, const char **line, size_t *length, const char **error) {
    if (reader->offset >= reader->size) {
        return 0;
    }
    const char *begin = reader->data + reader->offset;
    size_t available = reader->size - reader->offset;
    const auto *newline = static_cast<const char *>(memchr(begin, '\n', available));
    size_t taken = newline != nullptr ? static_cast<size_t>(newline - begin) : available;
    reader->offset += taken + (newline != nullptr ? 1 : 0);
    ++reader->line_number;
    if (taken > 0 && begin[taken - 1] == '\r') {
        --taken;
    }
    if (taken >= rules_line_size) {
        *error = "the line is too long";
        return -1;
    }
    *line = begin;
    *length = taken;
    return 1;
}

namespace {

// Whether a line can concern `command`: one whose command position cannot be told without a
// parse, or one whose plain command position is that very path.
bool concerns_command(const rules_next_t *next, const char *command) {
    size_t length = strlen(command);
    return next->kind == rules_line_class::other ||
           (next->kind == rules_line_class::command && next->command_length == length &&
            memcmp(next->command, command, length) == 0);
}

}  // namespace

rules_next rules_next_parsed(rules_reader_t *reader, const char *only, rules_line_t *line,
                             rules_next_t *next) {
    *next = rules_next_t{nullptr, 0, rules_line_class::other, nullptr, 0, nullptr};
    int got = rules_next_line(reader, &next->text, &next->length, &next->error);
    if (got <= 0) {
        return got == 0 ? rules_next::end : rules_next::unreadable;
    }
    next->kind =
        classify_rules_line(next->text, next->length, &next->command, &next->command_length);
    if (only != nullptr && !concerns_command(next, only)) {
        return rules_next::skipped;
    }
    return parse_rules_line(next->text, next->length, line, &next->error) == 0
               ? rules_next::parsed
               : rules_next::invalid;
}
