// Matching a request's arguments against a rule.
//
// Arguments are compared as bytes, as the C locale sees them. A wildcard never matches "/",
// so a pattern cannot reach into another directory than the one it writes out; and no pattern
// admits an argument with a ".." component, which only an exact word of the rule can admit.

#include <cstring>

#include <grp.h>
#include <pwd.h>

#include "common/common.h"
#include "rules/rules.h"

namespace {

constexpr size_t byte_values = 256;

// Parses the bracket expression at `pattern` ("[") and tells whether it admits `c`; `*next`
// gets the position after it. An expression without its "]" is a literal "[".
bool bracket_admits(const char *pattern, unsigned char c, const char **next) {
    const char *p = pattern + 1;
    bool negated = *p == '!' || *p == '^';
    if (negated) {
        ++p;
    }
    bool found = false;
    bool first = true;
    for (; *p != '\0' && (*p != ']' || first); first = false) {
        unsigned char low = static_cast<unsigned char>(*p == '\\' && p[1] != '\0' ? *++p : *p);
        ++p;
        unsigned char high = low;
        if (*p == '-' && p[1] != ']' && p[1] != '\0') {
            ++p;
            high = static_cast<unsigned char>(*p == '\\' && p[1] != '\0' ? *++p : *p);
            ++p;
        }
        found = found || (low <= c && c <= high);
    }
    if (*p != ']') {
        *next = pattern + 1;
        return c == '[';
    }
    *next = p + 1;
    return c != '/' && found != negated;
}

// Matches one element of the pattern (a byte, "?", "[...]" or an escaped byte) against `c`;
// `*next` gets the position after the element.
bool element_admits(const char *pattern, unsigned char c, const char **next) {
    if (*pattern == '?') {
        *next = pattern + 1;
        return c != '/';
    }
    if (*pattern == '[') {
        return bracket_admits(pattern, c, next);
    }
    if (*pattern == '\\' && pattern[1] != '\0') {
        ++pattern;
    }
    *next = pattern + 1;
    return static_cast<unsigned char>(*pattern) == c;
}

}  // namespace

int rules_pattern_matches(const char *pattern, const char *text) {
    // The latest star and where its match began: on a mismatch it takes one byte more, which
    // earlier stars could not do better since none of them can take a "/" either.
    const char *star_pattern = nullptr;
    const char *star_text = nullptr;
    const char *p = pattern;
    const char *t = text;
    while (*t != '\0') {
        if (*p == '*') {
            while (*p == '*') {
                ++p;
            }
            star_pattern = p;
            star_text = t;
            continue;
        }
        const char *next = nullptr;
        if (*p != '\0' && element_admits(p, static_cast<unsigned char>(*t), &next)) {
            p = next;
            ++t;
            continue;
        }
        if (star_pattern == nullptr || *star_text == '/') {
            return 0;
        }
        p = star_pattern;
        t = ++star_text;
    }
    while (*p == '*') {
        ++p;
    }
    return *p == '\0' ? 1 : 0;
}

int has_dotdot_component(const char *text) {
    for (const char *part = text;;) {
        const char *slash = strchr(part, '/');
        size_t length = slash != nullptr ? static_cast<size_t>(slash - part) : strlen(part);
        if (length == 2 && part[0] == '.' && part[1] == '.') {
            return 1;
        }
        if (slash == nullptr) {
            return 0;
        }
        part = slash + 1;
    }
}

int rules_word_matches(const rules_word_t *word, const char *argument) {
    if (!word->pattern) {
        return strcmp(word->text, argument) == 0 ? 1 : 0;
    }
    if (strnlen(argument, rules_max_pattern_argument + 1) > rules_max_pattern_argument ||
        has_dotdot_component(argument) != 0) {
        return 0;
    }
    return rules_pattern_matches(word->text, argument);
}

size_t rules_arguments_admitted(const rules_line_t *line, char *const *arguments, size_t count) {
    size_t admitted = 0;
    while (admitted < line->word_count && admitted < count &&
           rules_word_matches(&line->words[admitted], arguments[admitted]) != 0) {
        ++admitted;
    }
    return line->any_further && admitted == line->word_count ? count : admitted;
}

int rules_arguments_match(const rules_line_t *line, char *const *arguments, size_t count) {
    if (count < line->word_count || (count > line->word_count && !line->any_further)) {
        return 0;
    }
    return rules_arguments_admitted(line, arguments, count) == count ? 1 : 0;
}

namespace {

// 1 when a bracket expression admits no byte but "/", which no wildcard matches.
bool bracket_is_empty(const char *pattern) {
    for (size_t c = 1; c < byte_values; ++c) {
        const char *next = nullptr;
        if (bracket_admits(pattern, static_cast<unsigned char>(c), &next)) {
            return false;
        }
    }
    return true;
}

// 1 when some "/"-separated component of the pattern is a literal "..": whatever it matches
// has a ".." component, which no pattern admits.
bool has_literal_dotdot(const char *pattern) {
    for (const char *part = pattern;;) {
        const char *slash = strchr(part, '/');
        size_t length = slash != nullptr ? static_cast<size_t>(slash - part) : strlen(part);
        // "." is never escaped in a pattern: only wildcard characters and the backslash are.
        if (length == 2 && part[0] == '.' && part[1] == '.') {
            return true;
        }
        if (slash == nullptr) {
            return false;
        }
        part = slash + 1;
    }
}

}  // namespace

const char *rules_word_problem(const rules_word_t *word) {
    if (!word->pattern) {
        return nullptr;
    }
    for (const char *p = word->text; *p != '\0'; ++p) {
        if (*p == '\\' && p[1] != '\0') {
            ++p;
            continue;
        }
        if (*p == '[') {
            const char *next = nullptr;
            bracket_admits(p, 'a', &next);
            if (next != p + 1 && bracket_is_empty(p)) {
                return "a bracket expression admits no byte (a wildcard never matches \"/\")";
            }
            p = next - 1;
        }
    }
    if (has_literal_dotdot(word->text)) {
        return "it has a \"..\" component, and no pattern admits an argument that has one";
    }
    return nullptr;
}

namespace {

void look_up_groups(rules_requester_t *requester) {
    requester->looked_up = true;
    requester->group_count = 0;
    struct passwd entry {};
    struct passwd *found = nullptr;
    char buffer[passwd_buffer_size];
    if (getpwnam_r(requester->name, &entry, buffer, sizeof buffer, &found) != 0 ||
        found == nullptr) {
        return;
    }
    requester->has_account = true;
    int count = static_cast<int>(rules_max_groups);
    // Groups beyond the array are not counted: a rule limited to one of them does not apply,
    // which only refuses.
    if (getgrouplist(requester->name, entry.pw_gid, requester->groups, &count) < 0) {
        count = static_cast<int>(rules_max_groups);
    }
    requester->group_count = count;
}

bool in_group(const char *group_name, rules_requester_t *requester) {
    if (!requester->looked_up) {
        look_up_groups(requester);
    }
    if (!requester->has_account) {
        return false;
    }
    struct group entry {};
    struct group *found = nullptr;
    char buffer[passwd_buffer_size];
    if (getgrnam_r(group_name, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return false;
    }
    for (int i = 0; i < requester->group_count; ++i) {
        if (requester->groups[i] == entry.gr_gid) {
            return true;
        }
    }
    return false;
}

}  // namespace

int rules_who_matches(const rules_line_t *line, rules_requester_t *requester) {
    if (line->who_count == 0) {
        return 1;
    }
    for (size_t i = 0; i < line->who_count; ++i) {
        const char *name = line->who[i];
        if (name[0] == ':' ? in_group(name + 1, requester) : strcmp(name, requester->name) == 0) {
            return 1;
        }
    }
    return 0;
}
