// vornexctl check: the argument rules of the default validator, read with the validator's own
// reader, held against the aliases of the command files.

#include <cstdlib>
#include <cstring>

#include <grp.h>
#include <pwd.h>

#include "common/facts.h"
#include "ctl/ctl.h"

namespace {

constexpr size_t identity_text_size = 2 * shown_size;

struct rule_ref_t {
    char *command;
    size_t line;
};

struct rules_check_t {
    rules_report_t report;
    void *context;
    rule_ref_t *rules;
    size_t count;
    size_t capacity;
    bool default_refuse;
    bool out_of_memory;
};

void emit(rules_check_t *check, size_t line, const char *severity, const char *code,
          const char *message, const char *alias) {
    rules_finding_t finding{rules_path, line, severity, code, message, alias};
    check->report(check->context, &finding);
}

void remember_rule(rules_check_t *check, const char *command, size_t line) {
    if (check->count == check->capacity) {
        size_t wanted = check->capacity == 0 ? 16 : 2 * check->capacity;
        void *bigger = realloc(check->rules, wanted * sizeof(rule_ref_t));
        if (bigger == nullptr) {
            check->out_of_memory = true;
            return;
        }
        check->rules = static_cast<rule_ref_t *>(bigger);
        check->capacity = wanted;
    }
    char *copy = strdup(command);
    if (copy == nullptr) {
        check->out_of_memory = true;
        return;
    }
    check->rules[check->count++] = rule_ref_t{copy, line};
}

// False when the file cannot be trusted or read: the validator refuses everything then.
bool check_file_state(rules_check_t *check, rules_file_state state, const struct stat *info,
                      int error) {
    char message[message_size];
    const char *code = nullptr;
    switch (state) {
        case rules_file_state::usable:
            return true;
        case rules_file_state::missing:
            emit(check, 0, "note", "rules-missing",
                 "no rules file: every command gets the default rule (an absolute command "
                 "path, no control byte in any argument)",
                 nullptr);
            return false;
        case rules_file_state::open_failed:
            format_cut(message, sizeof message, "cannot be opened (%s)", strerror(error));
            code = "rules-unreadable";
            break;
        case rules_file_state::not_regular:
            format_cut(message, sizeof message, "is not a regular file");
            code = "rules-not-regular";
            break;
        case rules_file_state::not_root:
            format_cut(message, sizeof message, "is owned by uid %u, not root",
                       static_cast<unsigned>(info->st_uid));
            code = "rules-owner";
            break;
        case rules_file_state::writable:
            format_cut(message, sizeof message, "is writable by group or others (mode %04o)",
                       static_cast<unsigned>(info->st_mode & mode_bits));
            code = "rules-writable";
            break;
        case rules_file_state::too_large:
            format_cut(message, sizeof message, "is larger than %lld bytes",
                       static_cast<long long>(rules_max_file_size));
            code = "rules-too-large";
            break;
    }
    size_t used = strlen(message);
    snprintf(message + used, sizeof message - used, ": the validator refuses every request");
    emit(check, 0, "error", code, message, nullptr);
    return false;
}

void check_who(rules_check_t *check, const rules_line_t *line, size_t number) {
    char message[message_size];
    char name[shown_size];
    for (size_t i = 0; i < line->who_count; ++i) {
        const char *who = line->who[i];
        bool group = who[0] == ':';
        bool known = group ? getgrnam(who + 1) != nullptr : getpwnam(who) != nullptr;
        if (known) {
            continue;
        }
        format_cut(message, sizeof message, "%s \"%s\" does not exist: the name never matches",
                   group ? "group" : "user", escape_text(group ? who + 1 : who, name, sizeof name));
        emit(check, number, "warning", "rules-unknown-name", message, nullptr);
    }
}

void check_rule(rules_check_t *check, const rules_line_t *line, size_t number) {
    char message[message_size];
    char command[shown_size];
    char word[shown_size];
    for (size_t i = 0; i < line->word_count; ++i) {
        const char *problem = rules_word_problem(&line->words[i]);
        if (problem == nullptr) {
            continue;
        }
        format_cut(message, sizeof message,
                   "argument %zu (\"%s\") of the rule for %s can never match: %s", i + 1,
                   escape_text(line->words[i].text, word, sizeof word),
                   escape_text(line->command, command, sizeof command), problem);
        emit(check, number, "warning", "rules-never-matches", message, nullptr);
    }
    check_who(check, line, number);
    remember_rule(check, line->command, number);
}

// A line that cannot be read refuses the requests for its command, or every request when
// its command cannot be told.
void report_syntax(rules_check_t *check, size_t number, const char *error, const char *text,
                   size_t length) {
    char message[message_size];
    char command[shown_size];
    const char *word = nullptr;
    size_t word_length = 0;
    if (text != nullptr &&
        classify_rules_line(text, length, &word, &word_length) == rules_line_class::command) {
        char *copy = strndup(word, word_length);
        format_cut(message, sizeof message,
                   "the line cannot be read (%s): the validator refuses every request "
                   "for %s",
                   error, escape_text(copy != nullptr ? copy : "?", command, sizeof command));
        free(copy);
    } else {
        format_cut(message, sizeof message,
                   "the line cannot be read (%s): the validator refuses every request", error);
    }
    emit(check, number, "error", "rules-syntax", message, nullptr);
}

void read_lines(rules_check_t *check, rules_reader_t *reader) {
    auto *line = static_cast<rules_line_t *>(malloc(sizeof(rules_line_t)));
    size_t default_line = 0;
    if (line == nullptr) {
        check->out_of_memory = true;
        return;
    }
    for (;;) {
        rules_next_t next{};
        rules_next got = rules_next_parsed(reader, nullptr, line, &next);
        if (got == rules_next::end) {
            break;
        }
        const char *error = next.error;
        if (got == rules_next::parsed) {
            error = nullptr;
            if (line->kind == rules_kind::default_line && default_line != 0) {
                error = "a second default line";
            } else if (line->kind == rules_kind::default_line) {
                default_line = reader->line_number;
                check->default_refuse = line->default_value == rules_default::refuse;
            } else if (line->kind == rules_kind::rule) {
                check_rule(check, line, reader->line_number);
            }
        }
        if (error != nullptr) {
            report_syntax(check, reader->line_number, error,
                          got != rules_next::unreadable ? next.text : nullptr, next.length);
        }
    }
    free(line);
}

bool has_rule(const rules_check_t *check, const char *command) {
    for (size_t i = 0; i < check->count; ++i) {
        if (strcmp(check->rules[i].command, command) == 0) {
            return true;
        }
    }
    return false;
}

void describe_identity(const definition_t *definition, char *text, size_t size) {
    char alias[shown_size];
    char user[shown_size];
    escape_text(definition->alias, alias, sizeof alias);
    if (definition->root != 0) {
        snprintf(text, size, "alias \"%s\" (root)", alias);
    } else if (definition->user != nullptr) {
        snprintf(text, size, "alias \"%s\" (account %s)", alias,
                 escape_text(definition->user, user, sizeof user));
    } else {
        snprintf(text, size, "alias \"%s\" (requesting user)", alias);
    }
}

bool same_identity(const definition_t *a, const definition_t *b) {
    if (a->root != 0 || b->root != 0) {
        return a->root == b->root;
    }
    if (a->user == nullptr || b->user == nullptr) {
        return a->user == b->user;
    }
    return strcmp(a->user, b->user) == 0;
}

// The aliases that reach the command of the rule at `index`: none is a warning, and so are
// aliases of different identities, which the one rule serves alike.
void check_rule_use(rules_check_t *check, const alias_table_t *table, size_t index) {
    const rule_ref_t *rule = &check->rules[index];
    for (size_t i = 0; i < index; ++i) {
        if (strcmp(check->rules[i].command, rule->command) == 0) {
            return;
        }
    }
    const definition_t *first = nullptr;
    const definition_t *other = nullptr;
    for (size_t i = 0; i < table->definition_count; ++i) {
        const definition_t *definition = &table->definitions[i];
        if (definition->winner != nullptr || strcmp(definition->command, rule->command) != 0) {
            continue;
        }
        if (first == nullptr) {
            first = definition;
        } else if (other == nullptr && !same_identity(first, definition)) {
            other = definition;
        }
    }
    char message[message_size];
    char command[shown_size];
    escape_text(rule->command, command, sizeof command);
    if (first == nullptr) {
        format_cut(message, sizeof message, "no alias runs %s: its rules never apply", command);
        emit(check, rule->line, "warning", "rules-unused", message, nullptr);
        return;
    }
    if (other == nullptr) {
        return;
    }
    char one[identity_text_size];
    char two[identity_text_size];
    describe_identity(first, one, sizeof one);
    describe_identity(other, two, sizeof two);
    format_cut(message, sizeof message,
               "%s is run by %s and by %s: the validator sees only the command path, so one rule "
               "serves both",
               command, one, two);
    emit(check, rule->line, "warning", "rules-identities", message, nullptr);
}

void check_aliases_without_rule(rules_check_t *check, const alias_table_t *table,
                                rules_report_t report, void *context) {
    char message[message_size];
    char alias[shown_size];
    char command[shown_size];
    for (size_t i = 0; i < table->definition_count; ++i) {
        const definition_t *definition = &table->definitions[i];
        if (definition->winner != nullptr || definition->alias_length == 0 ||
            has_rule(check, definition->command)) {
            continue;
        }
        format_cut(message, sizeof message,
                   "the command %s of alias \"%s\" has no rule in %s and the default refuses: "
                   "every request for it is refused",
                   escape_text(definition->command, command, sizeof command),
                   escape_text(definition->alias, alias, sizeof alias), rules_path);
        rules_finding_t finding{definition->file->path, definition->line, "error",
                                "rules-no-rule",        message,          definition->alias};
        report(context, &finding);
    }
}

}  // namespace

void check_rules(const alias_table_t *table, rules_report_t report, void *context) {
    rules_check_t check{report, context, nullptr, 0, 0, false, false};
    auto *reader = static_cast<rules_reader_t *>(malloc(sizeof(rules_reader_t)));
    if (reader == nullptr) {
        emit(&check, 0, "error", "rules-unreadable", "out of memory", nullptr);
        return;
    }
    struct stat info {};
    int error = 0;
    rules_file_state state = rules_open(rules_path, reader, &info, &error);
    bool ours = shipped_validator_installed();
    if (!ours && state != rules_file_state::missing) {
        emit(&check, 0, "note", "rules-not-read",
             "the installed validator is not vornex's own: it does not read this file", nullptr);
    }
    // Without the file and without the validator that reads it there is nothing to say.
    if ((ours || state != rules_file_state::missing) &&
        check_file_state(&check, state, &info, error)) {
        read_lines(&check, reader);
        rules_close(reader);
        for (size_t i = 0; i < check.count; ++i) {
            check_rule_use(&check, table, i);
        }
        if (check.default_refuse) {
            check_aliases_without_rule(&check, table, report, context);
        }
    }
    if (check.out_of_memory) {
        emit(&check, 0, "error", "rules-unreadable", "out of memory: the check is incomplete",
             nullptr);
    }
    for (size_t i = 0; i < check.count; ++i) {
        free(check.rules[i].command);
    }
    free(check.rules);
    free(reader);
}
