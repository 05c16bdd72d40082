// Every command file and every definition in them, read with the lookup's own listing, file
// opening, 1023-byte pieces and line parser, so that the programs that show or check the
// command files and the server cannot disagree about what a command file says. Unlike the
// lookup, every line is read, and each definition keeps its file and physical line.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "common/common.h"
#include "registry/command_line.h"
#include "registry/table.h"

namespace {

constexpr const char blanks[] = " \t\n\v\f\r";

// Makes room for one more item; false when memory runs out (the array is kept).
bool grow(void **items, size_t count, size_t *capacity, size_t item_size) {
    if (count < *capacity) {
        return true;
    }
    size_t wanted = *capacity == 0 ? 16 : *capacity * 2;
    void *bigger = realloc(*items, wanted * item_size);
    if (bigger == nullptr) {
        return false;
    }
    *items = bigger;
    *capacity = wanted;
    return true;
}

struct reader_t {
    alias_table_t *table;
    size_t definition_capacity;
    size_t split_capacity;
    size_t ignored_capacity;
};

bool add_definition(reader_t *reader, const command_file_t *file, size_t line, bool tail,
                    const command_line_t *parsed) {
    alias_table_t *table = reader->table;
    void *items = table->definitions;
    if (!grow(&items, table->definition_count, &reader->definition_capacity,
              sizeof(definition_t))) {
        return false;
    }
    table->definitions = static_cast<definition_t *>(items);
    definition_t *definition = &table->definitions[table->definition_count];
    *definition = definition_t{};
    definition->file = file;
    definition->line = line;
    definition->tail = tail;
    definition->alias_length = parsed->alias_length;
    definition->key = strndup(parsed->alias, parsed->key_length);
    definition->alias = strndup(parsed->alias, parsed->alias_length);
    definition->command = strndup(parsed->path, parsed->path_length);
    definition->root = names_root(parsed);
    if (parsed->user != nullptr) {
        definition->user = strndup(parsed->user, parsed->user_length);
    }
    ++table->definition_count;
    if (definition->key == nullptr || definition->alias == nullptr ||
        definition->command == nullptr ||
        (parsed->user != nullptr && definition->user == nullptr)) {
        return false;
    }
    // The server cuts a line ending from the command path it found.
    remove_eol(definition->command);
    return true;
}

bool add_split(reader_t *reader, const command_file_t *file, size_t line) {
    alias_table_t *table = reader->table;
    void *items = table->splits;
    if (!grow(&items, table->split_count, &reader->split_capacity, sizeof(split_line_t))) {
        return false;
    }
    table->splits = static_cast<split_line_t *>(items);
    table->splits[table->split_count++] = split_line_t{file, line, nullptr};
    return true;
}

bool is_blank_text(const char *text) {
    return text[strspn(text, blanks)] == '\0';
}

// A whole physical line without "=" that is neither blank nor a comment.
bool add_ignored(reader_t *reader, const command_file_t *file, size_t line, const char *text) {
    const char *first = text + strspn(text, blanks);
    if (*first == '\0' || *first == '#' || strchr(text, '=') != nullptr) {
        return true;
    }
    alias_table_t *table = reader->table;
    void *items = table->ignored;
    if (!grow(&items, table->ignored_count, &reader->ignored_capacity, sizeof(ignored_line_t))) {
        return false;
    }
    table->ignored = static_cast<ignored_line_t *>(items);
    table->ignored[table->ignored_count++] = ignored_line_t{file, line};
    return true;
}

// Reads the file piece by piece as the server's lookup does (fgets into a line_size buffer).
// The buffer is cleared before each read, so a line feed in it can only be the piece's own:
// that tells where physical lines end.
bool read_definitions(reader_t *reader, command_file_t *file, FILE *stream) {
    char piece[line_size];
    size_t line = 1;
    size_t piece_index = 0;
    bool split_recorded = false;
    for (;;) {
        memset(piece, 0, sizeof piece);
        if (fgets(piece, sizeof piece, stream) == nullptr) {
            break;
        }
        bool ends_line = memchr(piece, '\n', sizeof piece - 1) != nullptr;
        bool tail = piece_index > 0;
        // A tail of white space only (a line of exactly 1023 bytes leaves its line feed as a
        // piece of its own) changes nothing.
        if (tail && !split_recorded && !is_blank_text(piece)) {
            if (!add_split(reader, file, line)) {
                return false;
            }
            split_recorded = true;
        }
        // A line longer than one piece is reported as split instead.
        if (!tail && ends_line && !add_ignored(reader, file, line, piece)) {
            return false;
        }
        command_line_t parsed{};
        if (split_command_line(piece, &parsed) == 1) {
            if (!add_definition(reader, file, line, tail, &parsed)) {
                return false;
            }
            alias_table_t *table = reader->table;
            if (tail && split_recorded && parsed.alias_length > 0 &&
                table->splits[table->split_count - 1].tail_alias == nullptr) {
                table->splits[table->split_count - 1].tail_alias =
                    table->definitions[table->definition_count - 1].alias;
            }
        }
        if (ends_line) {
            ++line;
            piece_index = 0;
            split_recorded = false;
        } else {
            ++piece_index;
        }
    }
    file->line_count = piece_index > 0 ? line : line - 1;
    return true;
}

// Reads the file that `name` names relative to `dir_fd` (a path of its own with AT_FDCWD).
bool read_command_file(reader_t *reader, command_file_t *file, int dir_fd, const char *name) {
    FILE *stream = open_command_file_at(dir_fd, name, &file->status, &file->error, &file->info);
    if (stream == nullptr) {
        // For a link through a directory others can change, the info is that directory's.
        file->has_info = file->status == command_file_status::unsafe_link ||
                         (file->status != command_file_status::stat_failed &&
                          fstatat(dir_fd, name, &file->info, 0) == 0);
        return true;
    }
    file->has_info = fstat(fileno(stream), &file->info) == 0;
    bool read = read_definitions(reader, file, stream);
    fclose(stream);
    return read;
}

// Each definition points at the first earlier one of the same alias: the one that wins.
void link_winners(alias_table_t *table, bool same_file_only) {
    for (size_t i = 0; i < table->definition_count; ++i) {
        definition_t *later = &table->definitions[i];
        if (later->alias_length == 0) {
            continue;
        }
        for (size_t j = 0; j < i; ++j) {
            const definition_t *earlier = &table->definitions[j];
            if (same_file_only && earlier->file != later->file) {
                continue;
            }
            if (earlier->winner == nullptr && strcmp(earlier->alias, later->alias) == 0) {
                later->winner = earlier;
                break;
            }
        }
    }
}

}  // namespace

int load_alias_table_at(alias_table_t *table, int dir_fd, const char *directory) {
    *table = alias_table_t{};
    node_t *names = create_command_files_list_at(dir_fd);
    if (names == nullptr) {
        return -1;
    }
    size_t count = 0;
    for (const node_t *node = names; node != nullptr; node = node->next) {
        ++count;
    }
    table->files = static_cast<command_file_t *>(calloc(count, sizeof(command_file_t)));
    if (table->files == nullptr) {
        release_command_files_list(names);
        return -1;
    }
    reader_t reader{table, 0, 0, 0};
    bool read = true;
    for (const node_t *node = names; node != nullptr && read; node = node->next) {
        command_file_t *file = &table->files[table->file_count++];
        snprintf(file->name, sizeof file->name, "%s", node->name);
        // The lookup's own path format; the names of a listing keep it far below the size.
        int length = snprintf(file->path, sizeof file->path, "%s/%s", directory, node->name);
        if (length < 0 || static_cast<size_t>(length) >= sizeof file->path) {
            file->status = command_file_status::stat_failed;
            file->error = ENAMETOOLONG;
            continue;
        }
        read = read_command_file(&reader, file, dir_fd, node->name);
    }
    release_command_files_list(names);
    if (!read) {
        release_alias_table(table);
        return -1;
    }
    link_winners(table, false);
    return 0;
}

int load_alias_files(alias_table_t *table, char **paths, int count) {
    *table = alias_table_t{};
    table->files =
        static_cast<command_file_t *>(calloc(static_cast<size_t>(count), sizeof(command_file_t)));
    if (table->files == nullptr && count > 0) {
        return -1;
    }
    reader_t reader{table, 0, 0, 0};
    bool read = true;
    for (int i = 0; i < count && read; ++i) {
        command_file_t *file = &table->files[table->file_count++];
        // A path too long for the record is shown cut and counts as not found.
        snprintf(file->name, sizeof file->name, "%s", paths[i]);
        snprintf(file->path, sizeof file->path, "%s", paths[i]);
        if (strlen(paths[i]) >= sizeof file->path) {
            file->status = command_file_status::stat_failed;
            file->error = ENAMETOOLONG;
            continue;
        }
        read = read_command_file(&reader, file, AT_FDCWD, file->path);
    }
    if (!read) {
        release_alias_table(table);
        return -1;
    }
    link_winners(table, true);
    return 0;
}

void release_alias_table(alias_table_t *table) {
    for (size_t i = 0; i < table->definition_count; ++i) {
        definition_t *definition = &table->definitions[i];
        free(definition->key);
        free(definition->alias);
        free(definition->user);
        free(definition->command);
    }
    free(table->definitions);
    free(table->splits);
    free(table->ignored);
    free(table->files);
    *table = alias_table_t{};
}

const definition_t *find_definition(const alias_table_t *table, const char *alias) {
    for (size_t i = 0; i < table->definition_count; ++i) {
        const definition_t *definition = &table->definitions[i];
        if (definition_in_effect(definition) && strcmp(definition->alias, alias) == 0) {
            return definition;
        }
    }
    return nullptr;
}

bool definition_in_effect(const definition_t *definition) {
    return definition->alias_length > 0 && definition->winner == nullptr;
}
