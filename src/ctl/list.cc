// vornexctl list: the alias table in effect, in the order the server consults it, with the
// definitions each winning one shadows; with a user, what a request of that user would use.

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "common/common.h"
#include "common/facts.h"
#include "ctl/ctl.h"

namespace {

// The pid that a listing puts in the pid file's name.
constexpr const char pid_placeholder[] = "<pid>";

struct user_info_t {
    struct passwd entry;
    char buffer[passwd_buffer_size];
    gid_t *groups;
    int group_count;
};

bool look_up_user(const char *name, user_info_t *user) {
    struct passwd *found = nullptr;
    if (getpwnam_r(name, &user->entry, user->buffer, sizeof user->buffer, &found) != 0 ||
        found == nullptr) {
        return false;
    }
    user->group_count = find_groups(name, user->entry.pw_gid, &user->groups);
    if (user->group_count < 0) {
        user->group_count = 0;
    }
    return true;
}

// The name of a group, or an empty text.
const char *group_name(gid_t gid, char *buffer, size_t size) {
    struct group entry {};
    struct group *found = nullptr;
    if (getgrgid_r(gid, &entry, buffer, size, &found) != 0 || found == nullptr) {
        return "";
    }
    return found->gr_name;
}

const char *home_of(const user_info_t *user) {
    return user->entry.pw_dir != nullptr ? user->entry.pw_dir : "";
}

void print_user(const user_info_t *user) {
    printf("user ");
    print_shown(stdout, user->entry.pw_name);
    printf(": uid %u, gid %u, home ", user->entry.pw_uid, user->entry.pw_gid);
    print_shown(stdout, home_of(user));
    printf(", groups");
    char buffer[passwd_buffer_size];
    for (int i = 0; i < user->group_count; ++i) {
        printf(" %u(", user->groups[i]);
        print_shown(stdout, group_name(user->groups[i], buffer, sizeof buffer));
        printf(")");
    }
    printf("\npid file ");
    print_shown(stdout, home_of(user));
    printf(pid_file_format, "", pid_placeholder);
    printf("\n\n");
}

void write_user(json_writer_t *json, const user_info_t *user) {
    char path[passwd_buffer_size];
    char buffer[passwd_buffer_size];
    json_begin(json, "user", '{');
    json_string(json, "name", user->entry.pw_name);
    json_int(json, "uid", user->entry.pw_uid);
    json_int(json, "gid", user->entry.pw_gid);
    json_string(json, "home", user->entry.pw_dir);
    json_begin(json, "groups", '[');
    for (int i = 0; i < user->group_count; ++i) {
        json_begin(json, nullptr, '{');
        json_int(json, "gid", user->groups[i]);
        json_string(json, "name", group_name(user->groups[i], buffer, sizeof buffer));
        json_end(json, '{');
    }
    json_end(json, '[');
    // Shown whole or not at all; the home directory comes from the password database.
    int length = snprintf(path, sizeof path, pid_file_format, home_of(user), pid_placeholder);
    json_string(json, "pid_file",
                length >= 0 && static_cast<size_t>(length) < sizeof path ? path : nullptr);
    json_end(json, '{');
}

const char *crontab_text(const char *alias) {
    // In the order of the enumeration, from check on.
    static constexpr const char *texts[] = {"check (-l quietly, then -)", "list (-l)", "save (-)"};
    crontab_kind kind = decide_crontab_kind(alias);
    if (kind != crontab_kind::none) {
        return texts[static_cast<size_t>(kind) - 1];
    }
    return strcmp(alias, enter_alias) == 0 ? "no pid file" : "-";
}

// "root", "account NAME" or "requesting user".
const char *runs_as(const definition_t *definition, char *buffer, size_t size) {
    if (definition->root != 0) {
        return "root";
    }
    if (definition->user == nullptr) {
        return "requesting user";
    }
    char user[shown_size];
    snprintf(buffer, size, "account %s", escape_text(definition->user, user, sizeof user));
    return buffer;
}

// An alias with blanks is shown in double quotes, so that its blanks can be seen, as check
// and explain show it.
const char *shown_alias(const char *alias, char *buffer, size_t size) {
    char plain[shown_size];
    escape_text(alias, plain, sizeof plain);
    bool blanks = alias[strcspn(alias, " \t\n\v\f\r")] != '\0';
    format_cut(buffer, size, blanks ? "\"%s\"" : "%s", plain);
    return buffer;
}

void print_table(const alias_table_t *table) {
    char alias[shown_size + 2];
    char source[shown_size];
    char mode[shown_size];
    char command[shown_size];
    printf("%-20s %-36s %-20s %-28s %s\n", "ALIAS", "SOURCE", "RUNS AS", "COMMAND", "CRONTAB");
    for (size_t i = 0; i < table->definition_count; ++i) {
        const definition_t *definition = &table->definitions[i];
        if (!definition_in_effect(definition)) {
            continue;
        }
        char where[shown_size + time_text_size];
        snprintf(where, sizeof where, "%s:%zu",
                 escape_text(definition->file->path, source, sizeof source), definition->line);
        printf("%-20s %-36s %-20s %-28s %s\n", shown_alias(definition->alias, alias, sizeof alias),
               where, runs_as(definition, mode, sizeof mode),
               escape_text(definition->command, command, sizeof command),
               crontab_text(definition->alias));
        for (size_t j = i + 1; j < table->definition_count; ++j) {
            const definition_t *later = &table->definitions[j];
            if (later->winner != definition) {
                continue;
            }
            printf("%-20s shadows %s:%zu (%s, %s)\n", "",
                   escape_text(later->file->path, source, sizeof source), later->line,
                   runs_as(later, mode, sizeof mode),
                   escape_text(later->command, command, sizeof command));
        }
    }
}

void write_definition(json_writer_t *json, const definition_t *definition) {
    json_string(json, "file", definition->file->path);
    json_int(json, "line", static_cast<long long>(definition->line));
    json_string(json, "mode", identity_mode_name(definition_identity(definition)));
    json_string(json, "account", definition->root == 0 ? definition->user : "root");
    json_string(json, "command", definition->command);
}

void write_table(json_writer_t *json, const alias_table_t *table) {
    json_begin(json, "aliases", '[');
    for (size_t i = 0; i < table->definition_count; ++i) {
        const definition_t *definition = &table->definitions[i];
        if (!definition_in_effect(definition)) {
            continue;
        }
        json_begin(json, nullptr, '{');
        json_string(json, "alias", definition->alias);
        write_definition(json, definition);
        json_string(json, "crontab", crontab_kind_name(decide_crontab_kind(definition->alias)));
        json_bool(json, "pid_file", definition_writes_pid_file(definition));
        json_begin(json, "shadowed", '[');
        for (size_t j = i + 1; j < table->definition_count; ++j) {
            if (table->definitions[j].winner == definition) {
                json_begin(json, nullptr, '{');
                write_definition(json, &table->definitions[j]);
                json_end(json, '{');
            }
        }
        json_end(json, '[');
        json_end(json, '{');
    }
    json_end(json, '[');
}

}  // namespace

int load_alias_table(alias_table_t *table) {
    return load_alias_table_under(table, "");
}

int load_alias_table_under(alias_table_t *table, const char *root) {
    *table = alias_table_t{};
    char directory[line_size];
    if (snprintf(directory, sizeof directory, "%s%s", root, command_dir) >=
        static_cast<int>(sizeof directory)) {
        return -1;
    }
    int dir_fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        return -1;
    }
    int loaded = load_alias_table_at(table, dir_fd, directory);
    close(dir_fd);
    return loaded;
}

identity_mode definition_identity(const definition_t *definition) {
    return decide_identity_mode(definition->root, definition->user);
}

bool definition_writes_pid_file(const definition_t *definition) {
    return writes_pid_file(definition_identity(definition), definition->alias);
}

int run_list(int argc, char **argv, bool json) {
    if (argc > 1) {
        print_error("list", "takes at most one user name");
        return status_usage;
    }
    user_info_t user{};
    if (argc == 1 && !look_up_user(argv[0], &user)) {
        print_error(argv[0], "no such account");
        return status_problems;
    }
    alias_table_t table{};
    if (load_alias_table(&table) < 0) {
        free(user.groups);
        print_error(command_dir, "cannot be listed or read");
        return status_usage;
    }
    if (json) {
        json_writer_t writer = json_document(stdout, true);
        if (argc == 1) {
            write_user(&writer, &user);
        } else {
            json_null(&writer, "user");
        }
        write_table(&writer, &table);
        json_end(&writer, '{');
        json_finish(&writer);
    } else {
        if (argc == 1) {
            print_user(&user);
        }
        print_table(&table);
    }
    release_alias_table(&table);
    free(user.groups);
    return status_fine;
}
