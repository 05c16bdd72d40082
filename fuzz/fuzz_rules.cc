// Arbitrary bytes through the rules reader and the matcher. The input's first line is a
// pattern, its second line an argument, the rest a rules file.
//
// - The matcher agrees with a second, independent matcher below (a table over every pair of
//   positions, each pattern element turned into the set of bytes it admits first).
// - No pattern admits an argument with a ".." component, and no wildcard admits a "/".
// - The file is read line by line where it lies, as the validator reads it; every line
//   either parses into a well-formed rule or default line, or is reported, never anything else;
//   and every rule is matched against the argument without reading out of bounds.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rules/rules.h"

namespace {

// The reference matcher's table is (pattern + 1) x (text + 1).
constexpr size_t max_reference = 64;
constexpr size_t byte_values = 256;

void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

struct element_t {
    bool star;
    bool admits[byte_values];
};

// One bracket expression from `p` ("["); the position after it, or null when it has no "]".
const char *reference_bracket(const char *p, element_t *element) {
    const char *q = p + 1;
    bool negated = *q == '!' || *q == '^';
    q += negated ? 1 : 0;
    bool members[byte_values] = {};
    for (bool first = true; *q != '\0' && (*q != ']' || first); first = false) {
        if (*q == '\\' && q[1] != '\0') {
            ++q;
        }
        auto low = static_cast<unsigned char>(*q++);
        auto high = low;
        if (*q == '-' && q[1] != ']' && q[1] != '\0') {
            ++q;
            if (*q == '\\' && q[1] != '\0') {
                ++q;
            }
            high = static_cast<unsigned char>(*q++);
        }
        for (size_t c = low; c <= high; ++c) {
            members[c] = true;
        }
    }
    if (*q != ']') {
        return nullptr;
    }
    for (size_t c = 0; c < byte_values; ++c) {
        element->admits[c] = c != '/' && members[c] != negated;
    }
    return q + 1;
}

size_t compile(const char *pattern, element_t *elements) {
    size_t count = 0;
    for (const char *p = pattern; *p != '\0';) {
        element_t *element = &elements[count++];
        *element = element_t{};
        if (*p == '*') {
            element->star = true;
            ++p;
            continue;
        }
        if (*p == '?') {
            for (size_t c = 0; c < byte_values; ++c) {
                element->admits[c] = c != '/';
            }
            ++p;
            continue;
        }
        if (*p == '[') {
            const char *next = reference_bracket(p, element);
            if (next != nullptr) {
                p = next;
                continue;
            }
        }
        if (*p == '\\' && p[1] != '\0') {
            ++p;
        }
        element->admits[static_cast<unsigned char>(*p)] = true;
        ++p;
    }
    return count;
}

bool reference_matches(const char *pattern, const char *text) {
    static element_t elements[max_reference];
    size_t count = compile(pattern, elements);
    size_t length = strlen(text);
    // matched[i][j]: the first i elements match the first j bytes.
    static bool matched[max_reference + 1][max_reference + 1];
    memset(matched, 0, sizeof matched);
    matched[0][0] = true;
    for (size_t i = 1; i <= count; ++i) {
        const element_t *element = &elements[i - 1];
        for (size_t j = 0; j <= length; ++j) {
            auto c = j > 0 ? static_cast<unsigned char>(text[j - 1]) : 0;
            if (element->star) {
                matched[i][j] = matched[i - 1][j] || (j > 0 && c != '/' && matched[i][j - 1]);
            } else {
                matched[i][j] = j > 0 && element->admits[c] && matched[i - 1][j - 1];
            }
        }
    }
    return matched[count][length];
}

// The next line of `data` as a NUL-terminated copy in `out`, at most `size` - 1 bytes.
size_t take_line(const uint8_t **data, size_t *size, char *out, size_t out_size) {
    const auto *end = static_cast<const uint8_t *>(memchr(*data, '\n', *size));
    size_t length = end != nullptr ? static_cast<size_t>(end - *data) : *size;
    size_t kept = length < out_size - 1 ? length : out_size - 1;
    memcpy(out, *data, kept);
    out[kept] = '\0';
    size_t used = end != nullptr ? length + 1 : length;
    *data += used;
    *size -= used;
    return strlen(out);
}

void check_pattern(const char *pattern, const char *text) {
    bool matched = rules_pattern_matches(pattern, text) != 0;
    require(matched == reference_matches(pattern, text), "the two matchers disagree");
    rules_word_t word{pattern, true};
    if (rules_word_matches(&word, text) != 0) {
        require(has_dotdot_component(text) == 0, "a pattern admits a \"..\" component");
    }
    bool has_wildcard = strpbrk(pattern, "*?[") != nullptr;
    if (!has_wildcard && strchr(pattern, '\\') == nullptr) {
        require(matched == (strcmp(pattern, text) == 0), "a plain pattern is not exact");
    }
}

void check_line(const rules_line_t *line, char *argument) {
    if (line->kind == rules_kind::rule) {
        require(line->command != nullptr && line->command[0] == '/', "a relative command");
        require(line->word_count <= rules_max_words, "too many words");
        require(line->who_count <= rules_max_who, "too many names");
        for (size_t i = 0; i < line->who_count; ++i) {
            require(line->who[i][0] != '\0', "an empty name");
        }
        char *arguments[] = {argument, argument, argument};
        for (size_t count = 0; count <= 3; ++count) {
            if (rules_arguments_match(line, arguments, count) != 0) {
                require(count == line->word_count || line->any_further, "a count not admitted");
            }
        }
        for (size_t i = 0; i < line->word_count; ++i) {
            (void)rules_word_problem(&line->words[i]);
        }
        return;
    }
    require(line->kind != rules_kind::default_line || line->word_count == 0, "a default rule");
}

void read_file(const uint8_t *data, size_t size, char *argument) {
    auto *reader = static_cast<rules_reader_t *>(malloc(sizeof(rules_reader_t)));
    auto *line = static_cast<rules_line_t *>(malloc(sizeof(rules_line_t)));
    require(reader != nullptr && line != nullptr, "memory");
    // A copy of exactly the input's size, so that a read past a line's end is seen.
    auto *copy = static_cast<char *>(malloc(size + 1));
    require(copy != nullptr, "memory");
    memcpy(copy, data, size);
    rules_read_memory(reader, copy, size);
    size_t previous = 0;
    for (;;) {
        rules_next_t next{};
        rules_next got = rules_next_parsed(reader, nullptr, line, &next);
        if (got == rules_next::end) {
            break;
        }
        require(reader->line_number == previous + 1, "a line number skipped");
        previous = reader->line_number;
        if (got == rules_next::unreadable) {
            require(next.error != nullptr, "a fault without a reason");
            continue;
        }
        require(next.length < rules_line_size && next.text >= copy &&
                    next.text + next.length <= copy + size,
                "a line outside the input");
        rules_line_class kind = next.kind;
        if (got == rules_next::invalid) {
            require(next.error != nullptr, "a refusal without a reason");
            require(kind != rules_line_class::ignored, "an ignored line refused");
            continue;
        }
        // The validator parses only the lines whose command position it cannot skip: what it
        // skips must be what a parse finds.
        require((kind == rules_line_class::ignored) == (line->kind == rules_kind::empty),
                "an ignored line is not empty");
        if (kind == rules_line_class::command) {
            require(line->kind == rules_kind::rule &&
                        strlen(line->command) == next.command_length &&
                        memcmp(line->command, next.command, next.command_length) == 0,
                    "the command position read two ways");
        }
        check_line(line, argument);
    }
    rules_close(reader);
    free(copy);
    free(line);
    free(reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char pattern[max_reference];
    char argument[max_reference];
    take_line(&data, &size, pattern, sizeof pattern);
    take_line(&data, &size, argument, sizeof argument);
    check_pattern(pattern, argument);
    read_file(data, size, argument);
    return 0;
}
