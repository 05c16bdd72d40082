// Command registry: which command files count, in which order, and the lookup of an alias.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <sys/stat.h>

#include "common/log_sink.h"

constexpr const char command_dir[] = "/etc/vornex";
constexpr const char main_command_file[] = "proxy.commands";

struct node_t {
    char *name;
    node_t *next;
};

struct alias_entry_t {
    char *command_token;
    char *command_user;
    char *alias;
    int32_t run_as_root;
};

// 1 when `suffix` ends `string`, byte for byte; 0 otherwise or when either is null.
int str_ends_with(const char *string, const char *suffix);

// A new unlinked node holding a copy of `name`; on failure releases the list at `head`.
node_t *create_node(const char *name, node_t *head);

// The additional command files of the directory open at `dir_fd`, in directory order, then
// "proxy.commands"; null on failure. The descriptor stays open and is the caller's.
node_t *create_command_files_list_at(int dir_fd);

void release_command_files_list(node_t *head);

// Why a command file could not be opened. unsafe_link: a link on the way to it leads through a
// directory that someone other than root can change.
enum class command_file_status { usable, stat_failed, not_regular, open_failed, unsafe_link };

// Forms "/etc/vornex/<name>" into `buffer`; -1 when it does not fit.
int get_command_file_path(char *buffer, size_t size, const char *file_name);

// Opens a command file the way the lookup does, without logging: the status of the path must
// name a regular file, and so must the status of the open descriptor. On failure `*status`
// tells the stage and `*error` the system error number (0 for a file that is not regular).
// Links are followed, but every directory that a link leads through must be one that only
// root can change; for one that is not, `*status` is unsafe_link.
FILE *open_command_file(const char *path, command_file_status *status, int *error);
// The same for a name taken relative to the directory open at `dir_fd`; on unsafe_link,
// `*unsafe` (when not null) is the status of the directory at fault.
FILE *open_command_file_at(int dir_fd, const char *name, command_file_status *status, int *error,
                           struct stat *unsafe);

// 1 when only root can change what `info` describes: owned by uid 0, and no write permission
// for group or others.
int is_root_only(const struct stat *info);

// The judgement of open_command_dir without a line: the descriptor when only root can change
// the directory; -1 otherwise, with `*opened` telling whether it could be opened at all and
// `*info` its status (all zero when it could not be read).
int judge_command_dir(bool *opened, struct stat *info);
// Opens the directory of the command files and judges it by that descriptor: the descriptor
// (close-on-exec) when only root can change it, which the listing and every command file
// are then taken through; -1, logged, when it cannot be opened or anyone else can change it
// (an alert).
int open_command_dir();

// The line of a command directory that cannot be opened (`opened` false) or that someone
// other than root can change, `info` its status (an alert).
void log_command_dir_fault(const log_sink_t *sink, bool opened, const struct stat *info);
// The line of a command file that the lookup cannot use, by the status its opening gave; a
// usable file is logged only when someone other than root can change it, and then, like an
// unsafe link, as an alert with the owner and mode of `info`.
void log_command_file_fault(const log_sink_t *sink, const char *path, command_file_status status,
                            int error, const struct stat *info);

// Looks `alias` up in one command file of the directory open at `dir_fd`; the outcome is in
// `entry`. -1 when the file opened can be changed by someone other than root (an alert is
// logged and nothing of it is read), else 0.
int create_args_from_command_file(int dir_fd, const char *file_name, const char *alias,
                                  alias_entry_t *entry);

// Reads command lines from `stream` until one matches `alias`: 1 and `entry` filled with heap
// copies on a match, 0 with the entry's strings null when nothing matched, -1 when a copy
// failed (logged; the entry is left empty).
int lookup_alias_in_stream(FILE *stream, const char *alias, alias_entry_t *entry);

void release_alias_entry(alias_entry_t *entry);

// The lookup of a request: the command directory judged by its descriptor, then each command
// file in order until one defines `alias`, stopping at one that someone other than root can
// change. 1 and `entry` filled (the command path without its line ending); 0 when no file
// defines it; -1 when the directory cannot be used or a file is not safe (logged). The entry
// is empty unless 1.
int find_alias(const char *alias, alias_entry_t *entry);
