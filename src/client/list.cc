// vornex -l: the aliases in effect, read from the world-readable command files with the
// registry code the server uses; the first definition of an alias wins, as in the server.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/client.h"
#include "common/common.h"
#include "registry/command_line.h"
#include "registry/registry.h"

namespace {

constexpr size_t seen_max = 4096;

struct seen_t {
    char *aliases[seen_max];
    size_t count;
};

bool already_listed(const seen_t *seen, const command_line_t *line) {
    for (size_t i = 0; i < seen->count; ++i) {
        if (strlen(seen->aliases[i]) == line->alias_length &&
            memcmp(seen->aliases[i], line->alias, line->alias_length) == 0) {
            return true;
        }
    }
    return false;
}

void print_line(const command_line_t *line) {
    int alias_length = static_cast<int>(line->alias_length);
    int path_length = static_cast<int>(line->path_length);
    if (names_root(line) != 0) {
        printf("%-24.*s %-24s %.*s\n", alias_length, line->alias, "root", path_length, line->path);
    } else if (line->user != nullptr) {
        printf("%-24.*s account %-16.*s %.*s\n", alias_length, line->alias,
               static_cast<int>(line->user_length), line->user, path_length, line->path);
    } else {
        printf("%-24.*s %-24s %.*s\n", alias_length, line->alias, "you", path_length, line->path);
    }
}

void list_file(const char *file_name, seen_t *seen) {
    char path[line_size];
    if (get_command_file_path(path, sizeof path, file_name) < 0) {
        return;
    }
    command_file_status status = command_file_status::usable;
    int error = 0;
    FILE *stream = open_command_file(path, &status, &error);
    if (stream == nullptr) {
        return;
    }
    char text[line_size];
    while (fgets(text, sizeof text, stream) != nullptr) {
        command_line_t line{};
        if (split_command_line(text, &line) != 1 || line.alias_length == 0 ||
            already_listed(seen, &line) || seen->count == seen_max) {
            continue;
        }
        seen->aliases[seen->count] = strndup(line.alias, line.alias_length);
        if (seen->aliases[seen->count] != nullptr) {
            ++seen->count;
        }
        print_line(&line);
    }
    fclose(stream);
}

}  // namespace

int list_aliases() {
    node_t *files = create_command_files_list_in(command_dir);
    if (files == nullptr) {
        fprintf(stderr, "vornex: cannot list the command files in %s\n", command_dir);
        return status_refused;
    }
    seen_t seen{};
    printf("%-24s %-24s %s\n", "ALIAS", "RUNS AS", "COMMAND");
    for (node_t *node = files; node != nullptr; node = node->next) {
        list_file(node->name, &seen);
    }
    release_command_files_list(files);
    for (size_t i = 0; i < seen.count; ++i) {
        free(seen.aliases[i]);
    }
    return fflush(stdout) == 0 ? 0 : status_refused;
}
