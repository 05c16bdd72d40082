// vornexctl check: the findings about one definition's line, its key, its user part and the
// earlier definition that wins over it, and about the lines that define nothing.

#include <cctype>
#include <cstdio>
#include <cstring>

#include <pwd.h>
#include <strings.h>

#include "common/common.h"
#include "ctl/check.h"

namespace {

constexpr const char root_user[] = "root";

void check_split(check_report_t *out, const split_line_t *split) {
    char message[message_size];
    char alias[shown_size];
    if (split->tail_alias != nullptr) {
        snprintf(message, sizeof message,
                 "line longer than 1023 bytes: it is read as several lines, and its tail defines "
                 "the alias \"%s\"",
                 escape_text(split->tail_alias, alias, sizeof alias));
    } else {
        snprintf(message, sizeof message,
                 "line longer than 1023 bytes: it is read as several lines, each parsed by "
                 "itself");
    }
    finding_t finding{split->file->path, split->line,  "error",           "split-line", message,
                      nullptr,           "tail_alias", split->tail_alias, nullptr,      nullptr};
    report(out, &finding);
}

bool has_blank(const char *text) {
    for (const char *c = text; *c != '\0'; ++c) {
        if (isspace(static_cast<unsigned char>(*c)) != 0) {
            return true;
        }
    }
    return false;
}

void check_key(check_report_t *out, const checked_t *checked) {
    const definition_t *definition = checked->definition;
    const char *path = definition->file->path;
    char message[message_size];
    if (definition->alias_length == 0) {
        snprintf(message, sizeof message,
                 "key \"%s\" has an empty alias part: the line never matches", checked->key);
        report_simple(out, path, definition->line, "warning", "empty-alias", message, nullptr);
        return;
    }
    if (definition->key[0] == '#') {
        snprintf(message, sizeof message,
                 "the line begins with \"#\" but holds \"=\": there is no comment syntax, it "
                 "defines the alias \"%s\"",
                 checked->alias);
        report_simple(out, path, definition->line, "warning", "hash-line", message,
                      definition->alias);
    }
    if (has_blank(definition->alias)) {
        snprintf(message, sizeof message,
                 "key \"%s\" holds white space: the line defines the alias \"%s\", blanks "
                 "included, which a request without them never matches",
                 checked->key, checked->alias);
        report_simple(out, path, definition->line, "warning", "key-blank", message,
                      definition->alias);
    }
    if (strlen(definition->key) > definition->alias_length) {
        const char *cut = definition->key + definition->alias_length;
        char cut_shown[shown_size];
        snprintf(message, sizeof message,
                 "key \"%s\" holds a colon: the alias is \"%s\", the text \"%s\" is ignored",
                 checked->key, checked->alias, escape_text(cut, cut_shown, sizeof cut_shown));
        report_definition(out, definition, "warning", "key-colon", message, "cut", cut);
    }
}

// A staged tree with a password file of its own is asked instead of the live database.
bool names_account(const check_report_t *out, const char *user) {
    struct passwd entry {};
    char buffer[passwd_buffer_size];
    struct passwd *found = nullptr;
    char passwd_path[line_size];
    FILE *database = nullptr;
    if (out->root[0] != '\0' && rooted(out, "/etc/passwd", passwd_path, sizeof passwd_path)) {
        database = fopen(passwd_path, "re");
    }
    if (database == nullptr) {
        return getpwnam_r(user, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr;
    }
    bool named = false;
    while (!named && fgetpwent_r(database, &entry, buffer, sizeof buffer, &found) == 0) {
        named = strcmp(found->pw_name, user) == 0;
    }
    fclose(database);
    return named;
}

void check_user(check_report_t *out, const checked_t *checked) {
    const definition_t *definition = checked->definition;
    const char *user = definition->user;
    if (user == nullptr || definition->root != 0) {
        return;
    }
    const char *alias = checked->alias;
    const char *user_shown = checked->user;
    const char *path = definition->file->path;
    char message[message_size];
    if (user[0] == '\0') {
        snprintf(message, sizeof message,
                 "alias \"%s\" has an empty user part: the account lookup of \"\" fails every "
                 "request",
                 alias);
        report_simple(out, path, definition->line, "error", "empty-user", message,
                      definition->alias);
        return;
    }
    if (strcasecmp(user, root_user) == 0) {
        snprintf(message, sizeof message,
                 "user part \"%s\" of alias \"%s\" is not \"root\" (letter case counts): the "
                 "command does not keep the root identity",
                 user_shown, alias);
        report_definition(out, definition, "warning", "root-case", message, "user", user);
    }
    if (!names_account(out, user)) {
        snprintf(message, sizeof message,
                 "user part \"%s\" of alias \"%s\" names no account: every request fails",
                 user_shown, alias);
        report_definition(out, definition, "error", "unknown-user", message, "user", user);
    }
}

void check_shadowed(check_report_t *out, const checked_t *checked) {
    const definition_t *definition = checked->definition;
    if (definition->winner == nullptr) {
        return;
    }
    char message[message_size];
    char winner[shown_size];
    snprintf(message, sizeof message,
             "alias \"%s\" is already defined at %s:%zu, which wins: this definition is never "
             "used",
             checked->alias, escape_text(definition->winner->file->path, winner, sizeof winner),
             definition->winner->line);
    finding_t finding{
        definition->file->path, definition->line, "warning", "shadowed",         message,
        definition->alias,      nullptr,          nullptr,   definition->winner, nullptr};
    report(out, &finding);
}

void check_ignored(check_report_t *out, const ignored_line_t *ignored) {
    report_simple(out, ignored->file->path, ignored->line, "warning", "no-equals",
                  "the line holds no \"=\": it defines nothing, and the server ignores it",
                  nullptr);
}

}  // namespace

void check_definition(check_report_t *out, const definition_t *definition) {
    checked_t checked{};
    checked.definition = definition;
    escape_text(definition->alias, checked.alias, sizeof checked.alias);
    escape_text(definition->key, checked.key, sizeof checked.key);
    escape_text(definition->user != nullptr ? definition->user : "", checked.user,
                sizeof checked.user);
    escape_text(definition->command, checked.command, sizeof checked.command);
    check_key(out, &checked);
    if (definition->alias_length > 0) {
        check_user(out, &checked);
        check_command(out, &checked);
        check_shadowed(out, &checked);
    }
}

void check_lines_up_to(check_report_t *out, const alias_table_t *table, const command_file_t *file,
                       size_t line, size_t *split, size_t *ignored) {
    for (; *split < table->split_count && table->splits[*split].file == file &&
           table->splits[*split].line <= line;
         ++*split) {
        check_split(out, &table->splits[*split]);
    }
    for (; *ignored < table->ignored_count && table->ignored[*ignored].file == file &&
           table->ignored[*ignored].line <= line;
         ++*ignored) {
        check_ignored(out, &table->ignored[*ignored]);
    }
}
