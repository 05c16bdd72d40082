#include "registry/command_line.h"

#include <cstring>

namespace {

constexpr const char root_user[] = "root";

// White space of the C locale; the locale is never set, so this is what isspace would say.
bool is_blank(char c) {
    return c != '\0' && strchr(" \t\n\v\f\r", c) != nullptr;
}

void trim_end(char *line) {
    size_t length = strlen(line);
    while (length > 0 && is_blank(line[length - 1])) {
        line[--length] = '\0';
    }
}

}  // namespace

int split_command_line(char *line, command_line_t *out) {
    trim_end(line);
    const char *equals = strchr(line, '=');
    if (equals == nullptr) {
        return 0;
    }
    size_t key_length = static_cast<size_t>(equals - line);
    const char *colon = static_cast<const char *>(memchr(line, ':', key_length));
    const char *value = equals + 1;
    const char *separator = strchr(value, ':');
    out->alias = line;
    out->alias_length = colon != nullptr ? static_cast<size_t>(colon - line) : key_length;
    out->key_length = key_length;
    if (separator != nullptr) {
        out->user = value;
        out->user_length = static_cast<size_t>(separator - value);
        out->path = separator + 1;
    } else {
        out->user = nullptr;
        out->user_length = 0;
        out->path = value;
    }
    out->path_length = strlen(out->path);
    return 1;
}

int parse_command_line(char *line, const char *alias, command_line_t *out) {
    command_line_t parsed{};
    if (split_command_line(line, &parsed) == 0) {
        return 0;
    }
    if (parsed.alias_length != strlen(alias) || memcmp(line, alias, parsed.alias_length) != 0) {
        return 0;
    }
    *out = parsed;
    return 1;
}

int names_root(const command_line_t *line) {
    return line->user != nullptr && line->user_length == strlen(root_user) &&
                   memcmp(line->user, root_user, line->user_length) == 0
               ? 1
               : 0;
}
