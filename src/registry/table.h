// Every command file and every definition in them, in the order the lookup consults them: what
// the administrator's tool checks and lists and what the front-end lists for a caller.
#pragma once

#include <cstddef>

#include <sys/stat.h>

#include "common/common.h"
#include "registry/registry.h"

struct command_file_t {
    char name[line_size];
    char path[line_size];
    command_file_status status;
    int error;         // system error number of a failed stat or open
    struct stat info;  // of the open file when usable, else of the path when stat worked
    bool has_info;
    size_t line_count;  // physical lines
};

struct definition_t {
    const command_file_t *file;
    size_t line;  // physical line, from 1
    bool tail;    // read from a piece after the first of a split line
    char *key;    // the whole key before the "="
    size_t alias_length;
    char *alias;
    char *user;                  // null without a user part
    char *command;               // after the lookup's line-ending cut
    int root;                    // the user part is exactly "root"
    const definition_t *winner;  // the earlier definition of the same alias, or null
};

// A physical line that was read as several pieces.
struct split_line_t {
    const command_file_t *file;
    size_t line;
    const char *tail_alias;  // the first alias a tail piece defines, or null (owned elsewhere)
};

// A line that is not blank, no comment ("#" first) and holds no "=": it defines nothing.
struct ignored_line_t {
    const command_file_t *file;
    size_t line;
};

struct alias_table_t {
    command_file_t *files;
    size_t file_count;
    definition_t *definitions;
    size_t definition_count;
    split_line_t *splits;
    size_t split_count;
    ignored_line_t *ignored;
    size_t ignored_count;
};

// Lists the command files of the directory open at `dir_fd` as the lookup does and reads every
// one of them through that descriptor; `directory` is the directory's path, for the files'
// paths. -1 when the directory cannot be listed or memory runs out. The descriptor stays the
// caller's.
int load_alias_table_at(alias_table_t *table, int dir_fd, const char *directory);
// Reads the given files, each by itself, with the lookup's line reading; a definition wins
// over later ones of the same alias in its own file only. -1 when memory runs out.
int load_alias_files(alias_table_t *table, char **paths, int count);
void release_alias_table(alias_table_t *table);
// The definition that a request for `alias` resolves to, or null.
const definition_t *find_definition(const alias_table_t *table, const char *alias);
// A definition that a request can resolve to: its alias is not empty and no earlier
// definition of it wins.
bool definition_in_effect(const definition_t *definition);
