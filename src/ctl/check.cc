// vornexctl check: what the server will make of the command files, line by line, with the
// mistakes that the server itself never reports.

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "common/common.h"
#include "common/facts.h"
#include "ctl/ctl.h"

namespace {

constexpr mode_t any_execute = 0111;
constexpr size_t interpreter_size = 128;
constexpr const char root_user[] = "root";

struct finding_t {
    const char *file;
    size_t line;  // 0: the finding is about the whole file
    const char *severity;
    const char *code;
    const char *message;
    const char *alias;
    const char *extra_key;  // one more key for the JSON object, or null
    const char *extra_value;
    const definition_t *winner;
};

struct check_report_t {
    json_writer_t json;
    bool as_json;
    int errors;
    int warnings;
    // Stands for "/" in every path that the findings consult; "" for the live system.
    const char *root;
    // The files named on the command line are checked by themselves, not in their place.
    bool given_files;
};

// `path` (absolute) as it lies under the checked root; false when it does not fit.
bool rooted(const check_report_t *out, const char *path, char *buffer, size_t size) {
    int length = snprintf(buffer, size, "%s%s", out->root, path);
    return length >= 0 && static_cast<size_t>(length) < size;
}

void report(check_report_t *out, const finding_t *finding) {
    if (strcmp(finding->severity, "error") == 0) {
        ++out->errors;
    } else if (strcmp(finding->severity, "warning") == 0) {
        ++out->warnings;
    }
    if (!out->as_json) {
        print_shown(stdout, finding->file);
        if (finding->line > 0) {
            printf(":%zu", finding->line);
        }
        printf(": %s: %s [%s]\n", finding->severity, finding->message, finding->code);
        return;
    }
    json_writer_t *json = &out->json;
    json_begin(json, nullptr, '{');
    json_string(json, "file", finding->file);
    json_int_or_null(json, "line", finding->line > 0, static_cast<long long>(finding->line));
    json_string(json, "severity", finding->severity);
    json_string(json, "code", finding->code);
    json_string(json, "message", finding->message);
    json_string(json, "alias", finding->alias);
    if (finding->extra_key != nullptr) {
        json_string(json, finding->extra_key, finding->extra_value);
    }
    if (finding->winner != nullptr) {
        json_string(json, "winner_file", finding->winner->file->path);
        json_int(json, "winner_line", static_cast<long long>(finding->winner->line));
    }
    json_end(json, '{');
}

void report_simple(check_report_t *out, const char *file, size_t line, const char *severity,
                   const char *code, const char *message, const char *alias) {
    finding_t finding{file, line, severity, code, message, alias, nullptr, nullptr, nullptr};
    report(out, &finding);
}

// Anyone who can write a command file or its directory can make the server run any program
// as root.
void check_owner_and_mode(check_report_t *out, const char *path, const struct stat *info,
                          const char *owner_code, const char *writable_code) {
    char message[message_size];
    if (info->st_uid != 0) {
        snprintf(message, sizeof message,
                 "owned by uid %u, not root: its owner can make the server run any program as "
                 "root",
                 static_cast<unsigned>(info->st_uid));
        report_simple(out, path, 0, "error", owner_code, message, nullptr);
    }
    if ((info->st_mode & group_other_write) != 0) {
        snprintf(message, sizeof message,
                 "writable by group or others (mode %04o): whoever can write it can make the "
                 "server run any program as root",
                 static_cast<unsigned>(info->st_mode & mode_bits));
        report_simple(out, path, 0, "error", writable_code, message, nullptr);
    }
}

void check_directory(check_report_t *out) {
    char directory[line_size];
    struct stat info {};
    if (rooted(out, command_dir, directory, sizeof directory) && stat(directory, &info) == 0) {
        check_owner_and_mode(out, directory, &info, "dir-owner", "dir-writable");
    }
}

void check_file(check_report_t *out, const command_file_t *file, size_t order) {
    char message[message_size];
    if (out->given_files) {
        // Owner and mode are those of the copy given, not of the file once deployed.
        snprintf(message, sizeof message, "read, %zu lines", file->line_count);
        report_simple(out, file->path, 0, "note", "read", message, nullptr);
        return;
    }
    switch (file->status) {
        case command_file_status::usable:
            snprintf(message, sizeof message,
                     "counted (precedence %zu), %zu lines, owner uid %u, mode %04o", order,
                     file->line_count, static_cast<unsigned>(file->info.st_uid),
                     static_cast<unsigned>(file->info.st_mode & mode_bits));
            report_simple(out, file->path, 0, "note", "counted", message, nullptr);
            check_owner_and_mode(out, file->path, &file->info, "owner", "writable");
            return;
        case command_file_status::stat_failed:
            if (file->error == ENOENT && strcmp(file->name, main_command_file) == 0) {
                report_simple(out, file->path, 0, "warning", "main-missing",
                              "the main command file does not exist: only the additional "
                              "command files count",
                              nullptr);
                return;
            }
            snprintf(message, sizeof message, "cannot be queried (%s): the server passes over it",
                     strerror(file->error));
            report_simple(out, file->path, 0, "warning", "not-regular", message, nullptr);
            return;
        case command_file_status::not_regular:
            report_simple(out, file->path, 0, "warning", "not-regular",
                          "not a regular file: the server passes over it", nullptr);
            return;
        case command_file_status::open_failed:
            snprintf(message, sizeof message,
                     "cannot be opened for reading (%s): the server passes over it",
                     strerror(file->error));
            report_simple(out, file->path, 0, "error", "unreadable", message, nullptr);
            return;
        case command_file_status::unsafe_link:
            snprintf(message, sizeof message,
                     "a link on the way to it leads through a directory owned by uid %u with "
                     "mode %04o: someone other than root can change what is read, and the "
                     "server refuses every request that reaches it",
                     static_cast<unsigned>(file->info.st_uid),
                     static_cast<unsigned>(file->info.st_mode & mode_bits));
            report_simple(out, file->path, 0, "error", "unsafe-link", message, nullptr);
            return;
    }
}

// Names that look like command files but do not count: "proxy.commands" in any letter case
// somewhere in the name, without the exact ending.
void check_uncounted_names(check_report_t *out) {
    char directory[line_size];
    if (!rooted(out, command_dir, directory, sizeof directory)) {
        return;
    }
    DIR *dir = opendir(directory);
    if (dir == nullptr) {
        return;
    }
    for (const struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir)) {
        if (strcasestr(item->d_name, main_command_file) == nullptr ||
            str_ends_with(item->d_name, main_command_file) == 1) {
            continue;
        }
        char path[line_size];
        if (snprintf(path, sizeof path, "%s/%s", directory, item->d_name) >=
            static_cast<int>(sizeof path)) {
            continue;
        }
        report_simple(out, path, 0, "note", "not-counted",
                      "does not count: only names that end in \"proxy.commands\" are command "
                      "files",
                      nullptr);
    }
    closedir(dir);
}

void check_split(check_report_t *out, const split_line_t *split) {
    char message[message_size];
    char alias[shown_size];
    if (split->tail_alias != nullptr) {
        snprintf(message, sizeof message,
                 "line longer than 1023 bytes: it is read as several lines, and its tail defines "
                 "the alias \"%s\"",
                 shown(split->tail_alias, alias, sizeof alias));
    } else {
        snprintf(message, sizeof message,
                 "line longer than 1023 bytes: it is read as several lines, each parsed by "
                 "itself");
    }
    finding_t finding{split->file->path, split->line,  "error",           "split-line", message,
                      nullptr,           "tail_alias", split->tail_alias, nullptr};
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

void check_key(check_report_t *out, const definition_t *definition) {
    char message[message_size];
    char key[shown_size];
    char alias[shown_size];
    const char *path = definition->file->path;
    shown(definition->key, key, sizeof key);
    shown(definition->alias, alias, sizeof alias);
    if (definition->alias_length == 0) {
        snprintf(message, sizeof message,
                 "key \"%s\" has an empty alias part: the line never matches", key);
        report_simple(out, path, definition->line, "warning", "empty-alias", message, nullptr);
        return;
    }
    if (definition->key[0] == '#') {
        snprintf(message, sizeof message,
                 "the line begins with \"#\" but holds \"=\": there is no comment syntax, it "
                 "defines the alias \"%s\"",
                 alias);
        report_simple(out, path, definition->line, "warning", "hash-line", message,
                      definition->alias);
    }
    if (has_blank(definition->alias)) {
        snprintf(message, sizeof message,
                 "key \"%s\" holds white space: the line defines the alias \"%s\", blanks "
                 "included, which a request without them never matches",
                 key, alias);
        report_simple(out, path, definition->line, "warning", "key-blank", message,
                      definition->alias);
    }
    if (strlen(definition->key) > definition->alias_length) {
        const char *cut = definition->key + definition->alias_length;
        char cut_shown[shown_size];
        snprintf(message, sizeof message,
                 "key \"%s\" holds a colon: the alias is \"%s\", the text \"%s\" is ignored", key,
                 alias, shown(cut, cut_shown, sizeof cut_shown));
        finding_t finding{path,    definition->line,  "warning", "key-colon",
                          message, definition->alias, "cut",     cut,
                          nullptr};
        report(out, &finding);
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

void check_user(check_report_t *out, const definition_t *definition) {
    const char *user = definition->user;
    if (user == nullptr || definition->root != 0) {
        return;
    }
    char message[message_size];
    char alias[shown_size];
    char user_shown[shown_size];
    const char *path = definition->file->path;
    shown(definition->alias, alias, sizeof alias);
    shown(user, user_shown, sizeof user_shown);
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
        finding_t finding{path,    definition->line,  "warning", "root-case",
                          message, definition->alias, "user",    user,
                          nullptr};
        report(out, &finding);
    }
    if (!names_account(out, user)) {
        snprintf(message, sizeof message,
                 "user part \"%s\" of alias \"%s\" names no account: every request fails",
                 user_shown, alias);
        finding_t finding{path,    definition->line,  "error", "unknown-user",
                          message, definition->alias, "user",  user,
                          nullptr};
        report(out, &finding);
    }
}

// The interpreter line of a script, or an empty text.
void read_interpreter_line(const char *command, char *line, size_t size) {
    line[0] = '\0';
    // The path is opened without opening the file, and only a regular file is then opened
    // for reading, as the very file checked: opening a device or a FIFO has effects of its
    // own.
    int path_fd = open_token_path(command);
    if (path_fd < 0) {
        return;
    }
    struct stat info {};
    FILE *file = nullptr;
    if (fstat(path_fd, &info) == 0 && S_ISREG(info.st_mode)) {
        file = reopen_token_file(path_fd);
    }
    close(path_fd);
    if (file == nullptr) {
        return;
    }
    size_t got = fread(line, 1, size - 1, file);
    fclose(file);
    if (got < 2 || line[0] != '#' || line[1] != '!') {
        line[0] = '\0';
        return;
    }
    line[got] = '\0';
    line[strcspn(line, "\n")] = '\0';
}

// The first of the directories on `path` (from the root down, the first `skip` bytes being
// the root) and the file itself that someone other than root can change, with its status;
// false when there is none. Each directory is taken as a link there leads, and the path that
// links resolve to is walked as well.
bool find_replaceable(const char *path, size_t skip, char *where, size_t size, struct stat *info) {
    size_t length = strlen(path);
    for (size_t end = skip; end <= length; ++end) {
        if (end > skip && end < length && path[end] != '/') {
            continue;
        }
        // The root itself first: "/" of the live system, or the staged tree's directory.
        snprintf(where, size, "%.*s", static_cast<int>(end == 0 ? 1 : end), path);
        if (stat(where, info) == 0 && is_root_only(info) == 0) {
            return true;
        }
    }
    return false;
}

bool find_replaceable_on_paths(const check_report_t *out, const char *command, char *where,
                               size_t size, struct stat *info) {
    char path[line_size];
    struct stat status {};
    if (!rooted(out, command, path, sizeof path) || stat(path, &status) < 0) {
        return false;
    }
    if (find_replaceable(path, strlen(out->root), where, size, info)) {
        return true;
    }
    // The links of a staged tree lead into the live system: only the live paths resolve.
    char resolved[PATH_MAX];
    return out->root[0] == '\0' && realpath(path, resolved) != nullptr &&
           find_replaceable(resolved, 0, where, size, info);
}

// A command that runs as root or as another account, and the validator that runs as root,
// can be replaced by whoever can change the file or a directory on its path.
void check_replaceable(check_report_t *out, const definition_t *definition) {
    char where[PATH_MAX];
    struct stat info {};
    if (!find_replaceable_on_paths(out, definition->command, where, sizeof where, &info)) {
        return;
    }
    char message[message_size];
    char alias[shown_size];
    char command[shown_size];
    char where_shown[shown_size];
    format_cut(message, sizeof message,
               "command \"%s\" of alias \"%s\" runs as %s, but %s is owned by uid %u "
               "with mode %04o: someone other than root can replace what runs",
               shown(definition->command, command, sizeof command),
               shown(definition->alias, alias, sizeof alias),
               definition->root != 0 ? "root" : "another account",
               shown(where, where_shown, sizeof where_shown), static_cast<unsigned>(info.st_uid),
               static_cast<unsigned>(info.st_mode & mode_bits));
    finding_t finding{definition->file->path, definition->line, "warning", "replaceable", message,
                      definition->alias,      "path",           where,     nullptr};
    report(out, &finding);
}

void check_validator(check_report_t *out) {
    char where[PATH_MAX];
    struct stat info {};
    if (!find_replaceable_on_paths(out, validator_path, where, sizeof where, &info)) {
        return;
    }
    char message[message_size];
    char where_shown[shown_size];
    format_cut(message, sizeof message,
               "%s is owned by uid %u with mode %04o: someone other than root can "
               "replace the validator, which runs as root",
               shown(where, where_shown, sizeof where_shown), static_cast<unsigned>(info.st_uid),
               static_cast<unsigned>(info.st_mode & mode_bits));
    char validator[line_size];
    format_cut(validator, sizeof validator, "%s%s", out->root, validator_path);
    finding_t finding{validator, 0,     "warning", "validator-replaceable", message, nullptr,
                      "path",    where, nullptr};
    report(out, &finding);
}

// The rules file matches the command path as it is written here, byte for byte.
void check_path_form(check_report_t *out, const definition_t *definition) {
    const char *fault = path_form_fault(definition->command);
    if (fault == nullptr) {
        return;
    }
    char message[message_size];
    char alias[shown_size];
    char command[shown_size];
    format_cut(message, sizeof message,
               "command path \"%s\" of alias \"%s\" is not in plain form (it %s): a "
               "rule of the rules file matches the path only as written here, so write "
               "it plainly",
               shown(definition->command, command, sizeof command),
               shown(definition->alias, alias, sizeof alias), fault);
    finding_t finding{
        definition->file->path, definition->line, "warning",           "path-form", message,
        definition->alias,      "command",        definition->command, nullptr};
    report(out, &finding);
}

// A shell or an interpreter run as root or as another account runs whatever code its
// arguments (or its standard input) hold, and reads its start-up files from the requesting
// user's HOME: the alias hands that account to everyone who may use it.
void check_interpreter(check_report_t *out, const definition_t *definition,
                       const char *rooted_command) {
    char resolved[PATH_MAX];
    bool through_link = false;
    const char *name = find_interpreter(
        definition->command, realpath(rooted_command, resolved) != nullptr ? resolved : nullptr,
        &through_link);
    if (name == nullptr) {
        return;
    }
    char message[message_size];
    char alias[shown_size];
    char command[shown_size];
    char name_shown[shown_size];
    const char *account = definition->root != 0 ? "root" : "another account";
    format_cut(message, sizeof message,
               "command \"%s\" of alias \"%s\" runs as %s and is the interpreter %s%s: "
               "it takes its arguments as code, so whoever may use the alias runs any "
               "code as %s, and it reads the requesting user's HOME (start-up files, "
               "per-user modules); let the alias run a fixed program instead",
               shown(definition->command, command, sizeof command),
               shown(definition->alias, alias, sizeof alias), account,
               shown(name, name_shown, sizeof name_shown), through_link ? " (through a link)" : "",
               account);
    finding_t finding{definition->file->path, definition->line, "warning", "interpreter", message,
                      definition->alias,      "interpreter",    name,      nullptr};
    report(out, &finding);
}

void check_command(check_report_t *out, const definition_t *definition) {
    char message[message_size];
    char alias[shown_size];
    char command[shown_size];
    const char *path = definition->file->path;
    shown(definition->alias, alias, sizeof alias);
    shown(definition->command, command, sizeof command);
    finding_t finding{path,      definition->line,    "error", nullptr, message, definition->alias,
                      "command", definition->command, nullptr};
    if (definition->command[0] == '\0') {
        snprintf(message, sizeof message,
                 "alias \"%s\" has no command path: every request for it fails", alias);
        finding.code = "no-path";
        report(out, &finding);
        return;
    }
    if (definition->command[0] != '/') {
        snprintf(message, sizeof message,
                 "command path \"%s\" of alias \"%s\" is not absolute: every request for it fails",
                 command, alias);
        finding.code = "not-absolute";
        report(out, &finding);
        return;
    }
    check_path_form(out, definition);
    char rooted_command[line_size];
    struct stat info {};
    if (!rooted(out, definition->command, rooted_command, sizeof rooted_command) ||
        stat(rooted_command, &info) < 0) {
        snprintf(message, sizeof message, "command \"%s\" of alias \"%s\" does not exist (%s)",
                 command, alias, strerror(errno));
        finding.code = "missing";
        report(out, &finding);
        return;
    }
    if (!S_ISREG(info.st_mode) || (info.st_mode & any_execute) == 0) {
        snprintf(message, sizeof message,
                 "command \"%s\" of alias \"%s\" is not an executable regular file", command,
                 alias);
        finding.code = "not-executable";
        report(out, &finding);
        return;
    }
    if (definition->user == nullptr) {
        return;
    }
    if (definition->root != 0 || definition->user[0] != '\0') {
        check_replaceable(out, definition);
        check_interpreter(out, definition, rooted_command);
    }
    char interpreter[interpreter_size];
    read_interpreter_line(rooted_command, interpreter, sizeof interpreter);
    if (interpreter[0] == '\0') {
        return;
    }
    char interpreter_shown[shown_size];
    snprintf(message, sizeof message,
             "command \"%s\" of alias \"%s\" runs as %s and is a script (%s): it runs with the "
             "requesting user's HOME and the front-end's environment",
             command, alias, definition->root != 0 ? "root" : "another account",
             shown(interpreter, interpreter_shown, sizeof interpreter_shown));
    finding.severity = "warning";
    finding.code = "script";
    report(out, &finding);
}

void check_shadowed(check_report_t *out, const definition_t *definition) {
    if (definition->winner == nullptr) {
        return;
    }
    char message[message_size];
    char alias[shown_size];
    char winner[shown_size];
    snprintf(message, sizeof message,
             "alias \"%s\" is already defined at %s:%zu, which wins: this definition is never "
             "used",
             shown(definition->alias, alias, sizeof alias),
             shown(definition->winner->file->path, winner, sizeof winner),
             definition->winner->line);
    finding_t finding{
        definition->file->path, definition->line, "warning", "shadowed",        message,
        definition->alias,      nullptr,          nullptr,   definition->winner};
    report(out, &finding);
}

void check_flags_and_markers(check_report_t *out) {
    char path[line_size];
    if (rooted(out, debug_flag_file, path, sizeof path) && file_exists(path)) {
        report_simple(out, path, 0, "note", "flag",
                      "flag file present: the server logs its diagnostic lines", nullptr);
    }
    if (rooted(out, disable_duid_flag_file, path, sizeof path) && file_exists(path)) {
        report_simple(out, path, 0, "note", "flag",
                      "flag file present: only the requesting user's own token file counts, "
                      "there is no shared-uid search",
                      nullptr);
    }
    static constexpr const char *markers[] = {edition_tavo_marker, edition_quellan_marker};
    for (const char *marker : markers) {
        if (rooted(out, marker, path, sizeof path) && file_exists(path)) {
            report_simple(out, path, 0, "note", "marker",
                          "edition marker present: the server does not enter resource "
                          "containers",
                          nullptr);
        }
    }
}

void write_files(json_writer_t *json, const alias_table_t *table) {
    char mode[time_text_size];
    json_begin(json, "files", '[');
    size_t order = 0;
    for (size_t i = 0; i < table->file_count; ++i) {
        const command_file_t *file = &table->files[i];
        bool counted = file->status == command_file_status::usable;
        json_begin(json, nullptr, '{');
        json_string(json, "path", file->path);
        json_string(json, "name", file->name);
        json_bool(json, "counted", counted);
        if (counted) {
            json_int(json, "order", static_cast<long long>(++order));
            json_int(json, "lines", static_cast<long long>(file->line_count));
        } else {
            json_null(json, "order");
            json_null(json, "lines");
        }
        if (file->has_info) {
            snprintf(mode, sizeof mode, "%04o",
                     static_cast<unsigned>(file->info.st_mode & mode_bits));
            json_int(json, "owner", static_cast<long long>(file->info.st_uid));
            json_string(json, "mode", mode);
        } else {
            json_null(json, "owner");
            json_null(json, "mode");
        }
        json_end(json, '{');
    }
    json_end(json, '[');
}

void check_definition(check_report_t *out, const definition_t *definition) {
    check_key(out, definition);
    if (definition->alias_length == 0) {
        return;
    }
    check_user(out, definition);
    check_command(out, definition);
    check_shadowed(out, definition);
}

void check_ignored(check_report_t *out, const ignored_line_t *ignored) {
    report_simple(out, ignored->file->path, ignored->line, "warning", "no-equals",
                  "the line holds no \"=\": it defines nothing, and the server ignores it",
                  nullptr);
}

// Reports the split and ignored lines of `file` up to `line` (all of them for SIZE_MAX).
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

void report_rules_finding(void *context, const rules_finding_t *finding) {
    report_simple(static_cast<check_report_t *>(context), finding->file, finding->line,
                  finding->severity, finding->code, finding->message, finding->alias);
}

void check_table(check_report_t *out, const alias_table_t *table) {
    if (!out->given_files) {
        check_directory(out);
    }
    size_t order = 0;
    size_t split = 0;
    size_t ignored = 0;
    size_t next = 0;
    // File by file in the server's order; within a file, line by line.
    for (size_t i = 0; i < table->file_count; ++i) {
        const command_file_t *file = &table->files[i];
        check_file(out, file, file->status == command_file_status::usable ? ++order : 0);
        for (; next < table->definition_count && table->definitions[next].file == file; ++next) {
            const definition_t *definition = &table->definitions[next];
            check_lines_up_to(out, table, file, definition->line, &split, &ignored);
            check_definition(out, definition);
        }
        check_lines_up_to(out, table, file, SIZE_MAX, &split, &ignored);
    }
    if (out->given_files) {
        return;
    }
    check_validator(out);
    check_uncounted_names(out);
    check_flags_and_markers(out);
    check_rules(table, report_rules_finding, out);
}

struct check_options_t {
    char root[line_size];  // without a trailing "/"; "" for the live system
    char **files;
    int file_count;
};

// [--root DIR] [FILE...]; false (reported) on a usage error.
bool parse_check_arguments(int argc, char **argv, check_options_t *options) {
    int first = 0;
    options->root[0] = '\0';
    if (argc >= 1 && strcmp(argv[0], "--root") == 0) {
        struct stat info {};
        if (argc < 2 || argv[1][0] == '\0' || stat(argv[1], &info) < 0 || !S_ISDIR(info.st_mode) ||
            strlen(argv[1]) >= sizeof options->root) {
            print_error("check", "--root needs an existing directory");
            return false;
        }
        snprintf(options->root, sizeof options->root, "%s", argv[1]);
        size_t length = strlen(options->root);
        while (length > 0 && options->root[length - 1] == '/') {
            options->root[--length] = '\0';
        }
        first = 2;
    }
    if (first < argc && strcmp(argv[first], "--") == 0) {
        ++first;
    } else if (first < argc && argv[first][0] == '-') {
        print_error(argv[first], "no such option of check");
        return false;
    }
    options->files = argv + first;
    options->file_count = argc - first;
    return true;
}

// A file named on the command line that cannot be read as a command file is a usage error.
bool given_files_readable(const alias_table_t *table) {
    for (size_t i = 0; i < table->file_count; ++i) {
        const command_file_t *file = &table->files[i];
        if (file->status != command_file_status::usable) {
            print_error(file->path, "cannot be read as a command file");
            return false;
        }
    }
    return true;
}

int load_checked_table(const check_options_t *options, alias_table_t *table) {
    if (options->file_count > 0) {
        if (load_alias_files(table, options->files, options->file_count) < 0) {
            print_error("check", "out of memory");
            return -1;
        }
        if (!given_files_readable(table)) {
            release_alias_table(table);
            return -1;
        }
        return 0;
    }
    if (load_alias_table_under(table, options->root) < 0) {
        char directory[line_size];
        format_cut(directory, sizeof directory, "%s%s", options->root, command_dir);
        print_error(directory, "cannot be listed or read");
        return -1;
    }
    return 0;
}

}  // namespace

int run_check(int argc, char **argv, bool json) {
    if (argc > 0 && strcmp(argv[0], "--users") == 0) {
        return run_check_users(argc - 1, argv + 1, json);
    }
    check_options_t options{};
    if (!parse_check_arguments(argc, argv, &options)) {
        return status_usage;
    }
    alias_table_t table{};
    if (load_checked_table(&options, &table) < 0) {
        return status_usage;
    }
    check_report_t out{{stdout, 0, {}}, json, 0, 0, options.root, options.file_count > 0};
    if (json) {
        char directory[line_size];
        format_cut(directory, sizeof directory, "%s%s", options.root, command_dir);
        json_begin(&out.json, nullptr, '{');
        json_string(&out.json, "directory", out.given_files ? nullptr : directory);
        json_string(&out.json, "root", options.root[0] != '\0' ? options.root : nullptr);
        write_files(&out.json, &table);
        json_begin(&out.json, "findings", '[');
    }
    check_table(&out, &table);
    release_alias_table(&table);
    finish_findings(&out.json, json, out.errors, out.warnings);
    return out.errors > 0 ? status_problems : status_fine;
}
