// vornexctl check: the findings about the command a definition names: the path, the file,
// interpreters and scripts, and the directories from which someone other than root could
// replace what runs as root.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "common/common.h"
#include "common/facts.h"
#include "ctl/check.h"

namespace {

constexpr mode_t any_execute = 0111;
constexpr size_t interpreter_size = 128;

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
void check_replaceable(check_report_t *out, const checked_t *checked) {
    const definition_t *definition = checked->definition;
    char where[PATH_MAX];
    struct stat info {};
    if (!find_replaceable_on_paths(out, definition->command, where, sizeof where, &info)) {
        return;
    }
    char message[message_size];
    char where_shown[shown_size];
    format_cut(message, sizeof message,
               "command \"%s\" of alias \"%s\" runs as %s, but %s is owned by uid %u "
               "with mode %04o: someone other than root can replace what runs",
               checked->command, checked->alias, definition->root != 0 ? "root" : "another account",
               escape_text(where, where_shown, sizeof where_shown),
               static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_mode & mode_bits));
    report_definition(out, definition, "warning", "replaceable", message, "path", where);
}

// The rules file matches the command path as it is written here, byte for byte.
void check_path_form(check_report_t *out, const checked_t *checked) {
    const definition_t *definition = checked->definition;
    const char *fault = path_form_fault(definition->command);
    if (fault == nullptr) {
        return;
    }
    char message[message_size];
    format_cut(message, sizeof message,
               "command path \"%s\" of alias \"%s\" is not in plain form (it %s): a "
               "rule of the rules file matches the path only as written here, so write "
               "it plainly",
               checked->command, checked->alias, fault);
    report_definition(out, definition, "warning", "path-form", message, "command",
                      definition->command);
}

// A shell or an interpreter run as root or as another account runs whatever code its
// arguments (or its standard input) hold, and reads its start-up files from the requesting
// user's HOME: the alias hands that account to everyone who may use it.
void check_interpreter(check_report_t *out, const checked_t *checked, const char *rooted_command) {
    const definition_t *definition = checked->definition;
    char resolved[PATH_MAX];
    bool through_link = false;
    const char *name = find_interpreter(
        definition->command, realpath(rooted_command, resolved) != nullptr ? resolved : nullptr,
        &through_link);
    if (name == nullptr) {
        return;
    }
    char message[message_size];
    char name_shown[shown_size];
    const char *account = definition->root != 0 ? "root" : "another account";
    format_cut(message, sizeof message,
               "command \"%s\" of alias \"%s\" runs as %s and is the interpreter %s%s: "
               "it takes its arguments as code, so whoever may use the alias runs any "
               "code as %s, and it reads the requesting user's HOME (start-up files, "
               "per-user modules); let the alias run a fixed program instead",
               checked->command, checked->alias, account,
               escape_text(name, name_shown, sizeof name_shown),
               through_link ? " (through a link)" : "", account);
    report_definition(out, definition, "warning", "interpreter", message, "interpreter", name);
}

// What makes every request for the definition fail, its message into `message`: the
// finding's code, or null when the command can run. The plain form is told on the way.
const char *find_command_fault(check_report_t *out, const checked_t *checked, char *rooted_command,
                               size_t size, char *message) {
    const char *command = checked->definition->command;
    if (command[0] == '\0') {
        snprintf(message, message_size,
                 "alias \"%s\" has no command path: every request for it fails", checked->alias);
        return "no-path";
    }
    if (command[0] != '/') {
        snprintf(message, message_size,
                 "command path \"%s\" of alias \"%s\" is not absolute: every request for it fails",
                 checked->command, checked->alias);
        return "not-absolute";
    }
    check_path_form(out, checked);
    struct stat info {};
    if (!rooted(out, command, rooted_command, size) || stat(rooted_command, &info) < 0) {
        snprintf(message, message_size, "command \"%s\" of alias \"%s\" does not exist (%s)",
                 checked->command, checked->alias, strerror(errno));
        return "missing";
    }
    if (!S_ISREG(info.st_mode) || (info.st_mode & any_execute) == 0) {
        snprintf(message, message_size,
                 "command \"%s\" of alias \"%s\" is not an executable regular file",
                 checked->command, checked->alias);
        return "not-executable";
    }
    return nullptr;
}

}  // namespace

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
               escape_text(where, where_shown, sizeof where_shown),
               static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_mode & mode_bits));
    char validator[line_size];
    format_cut(validator, sizeof validator, "%s%s", out->root, validator_path);
    finding_t finding{validator, 0,       "warning", "validator-replaceable",
                      message,   nullptr, "path",    where,
                      nullptr,   nullptr};
    report(out, &finding);
}

void check_command(check_report_t *out, const checked_t *checked) {
    const definition_t *definition = checked->definition;
    char message[message_size];
    finding_t finding{definition->file->path,
                      definition->line,
                      "error",
                      nullptr,
                      message,
                      definition->alias,
                      "command",
                      definition->command,
                      nullptr,
                      nullptr};
    char rooted_command[line_size];
    finding.code = find_command_fault(out, checked, rooted_command, sizeof rooted_command, message);
    if (finding.code != nullptr) {
        report(out, &finding);
        return;
    }
    if (definition->user == nullptr) {
        return;
    }
    if (definition->root != 0 || definition->user[0] != '\0') {
        check_replaceable(out, checked);
        check_interpreter(out, checked, rooted_command);
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
             checked->command, checked->alias, definition->root != 0 ? "root" : "another account",
             escape_text(interpreter, interpreter_shown, sizeof interpreter_shown));
    finding.severity = "warning";
    finding.code = "script";
    report(out, &finding);
}
