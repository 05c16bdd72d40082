// The search of one command file for an alias. Command files belong to the administrator;
// they are only read, line by line, and the first matching line wins.
//
// Whoever can change a command file or its directory can make the server run any program as
// root, so both are judged by the descriptor that is open on them (never by the path again):
// owner root and no write permission for group or others, or the request is refused before
// a byte of the file is read. The directory's descriptor is the one that the listing and
// every command file are then taken through, so that the directory judged is the one used.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/common.h"
#include "common/facts.h"
#include "common/log_sink.h"
#include "driver/log_formats.h"
#include "registry/command_line.h"
#include "registry/registry.h"

void release_alias_entry(alias_entry_t *entry) {
    free(entry->command_token);
    free(entry->command_user);
    free(entry->alias);
    *entry = alias_entry_t{};
}

namespace {

// Copies a piece of the line; logs and gives null on failure.
char *copy_piece(const char *text, size_t length, const char *what) {
    char *copy = strndup(text, length);
    if (copy == nullptr) {
        syslog(LOG_ERR, log_copy_failed, what, strerror(errno));
    }
    return copy;
}

int fill_entry(const command_line_t *line, alias_entry_t *entry) {
    *entry = alias_entry_t{};
    entry->command_token = copy_piece(line->path, line->path_length, "command_token");
    if (entry->command_token == nullptr) {
        return -1;
    }
    if (line->user != nullptr) {
        entry->command_user = copy_piece(line->user, line->user_length, "command_user");
        if (entry->command_user == nullptr) {
            release_alias_entry(entry);
            return -1;
        }
    }
    entry->alias = copy_piece(line->alias, line->alias_length, "alias");
    if (entry->alias == nullptr) {
        release_alias_entry(entry);
        return -1;
    }
    entry->run_as_root = names_root(line);
    return 1;
}

}  // namespace

int lookup_alias_in_stream(FILE *stream, const char *alias, alias_entry_t *entry) {
    char line[line_size];
    // A line longer than the buffer is read as several pieces, each parsed by itself; the
    // end of the file and a read error both end the search.
    while (fgets(line, sizeof line, stream) != nullptr) {
        command_line_t parsed{};
        if (parse_command_line(line, alias, &parsed) == 1) {
            return fill_entry(&parsed, entry);
        }
    }
    entry->command_token = nullptr;
    entry->command_user = nullptr;
    entry->alias = nullptr;
    return 0;
}

int get_command_file_path(char *buffer, size_t size, const char *file_name) {
    int length = snprintf(buffer, size, "%s/%s", command_dir, file_name);
    return length < 0 || static_cast<size_t>(length) >= size ? -1 : 0;
}

namespace {

constexpr int command_file_flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr int walk_flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int link_unsafe = -2;

// A descriptor of the directory where a path starts: "/" for an absolute one.
int open_start(int dir_fd, const char *path) {
    if (path[0] == '/') {
        return open("/", walk_flags);
    }
    return dir_fd == AT_FDCWD ? open(".", walk_flags) : fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
}

// Puts the link's target in front of what remains of the path, in `rest`.
bool splice_link(int dir_fd, const char *name, char *rest, size_t size, const char *remaining) {
    char target[line_size];
    ssize_t length = readlinkat(dir_fd, name, target, sizeof target - 1);
    if (length < 0) {
        return false;
    }
    char joined[line_size];
    int fits = snprintf(joined, sizeof joined, "%.*s%s%s", static_cast<int>(length), target,
                        remaining[0] != '\0' ? "/" : "", remaining);
    if (static_cast<size_t>(length) == sizeof target - 1 || fits < 0 ||
        static_cast<size_t>(fits) >= sizeof joined || static_cast<size_t>(fits) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(rest, joined, static_cast<size_t>(fits) + 1);
    return true;
}

// Opens `path` relative to `dir_fd` for reading as open(2) would, one name at a time. Once a
// link has been followed, every directory in which a name is then looked up must be one that
// only root can change: otherwise a user could swap what the link leads to for any root file
// whose content users shape (a log, /proc/self/cmdline). The directories before the first
// link are the caller's to judge. Gives the descriptor, -1 with errno, or link_unsafe with
// `*unsafe` filled.
int open_through_links(int dir_fd, const char *path, struct stat *unsafe) {
    char rest[line_size];
    if (snprintf(rest, sizeof rest, "%s", path) >= static_cast<int>(sizeof rest)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int current = open_start(dir_fd, rest);
    bool through_link = false;
    int links = 0;
    int result = -1;
    while (current >= 0) {
        char *name = rest + strspn(rest, "/");
        size_t length = strcspn(name, "/");
        char after[line_size];
        snprintf(after, sizeof after, "%s", name + length + strspn(name + length, "/"));
        name[length] = '\0';
        const char *entry_name = length == 0 ? "." : name;
        if (through_link && (fstat(current, unsafe) < 0 || is_root_only(unsafe) == 0)) {
            result = link_unsafe;
            break;
        }
        struct stat entry {};
        if (fstatat(current, entry_name, &entry, AT_SYMLINK_NOFOLLOW) < 0) {
            break;
        }
        if (S_ISLNK(entry.st_mode)) {
            if (++links > link_limit) {
                errno = ELOOP;
                break;
            }
            if (!splice_link(current, entry_name, rest, sizeof rest, after)) {
                break;
            }
            through_link = true;
            if (rest[0] == '/') {
                close(current);
                current = open_start(dir_fd, rest);
            }
            continue;
        }
        if (after[0] == '\0') {
            result = openat(current, entry_name, command_file_flags | O_NOFOLLOW);
            break;
        }
        int next = openat(current, entry_name, walk_flags);
        close(current);
        current = next;
        memcpy(rest, after, strlen(after) + 1);
    }
    int error = errno;
    if (current >= 0) {
        close(current);
    }
    errno = error;
    return result;
}

}  // namespace

// The open does not wait on a FIFO swapped in after the status query, and the stream's own
// status is checked again.
FILE *open_command_file_at(int dir_fd, const char *name, command_file_status *status, int *error,
                           struct stat *unsafe) {
    *error = 0;
    struct stat path_status {};
    if (fstatat(dir_fd, name, &path_status, 0) < 0) {
        *status = command_file_status::stat_failed;
        *error = errno;
        return nullptr;
    }
    *status = command_file_status::not_regular;
    if (!S_ISREG(path_status.st_mode)) {
        return nullptr;
    }
    struct stat unsafe_status {};
    int fd = open_through_links(dir_fd, name, unsafe != nullptr ? unsafe : &unsafe_status);
    if (fd == link_unsafe) {
        *status = command_file_status::unsafe_link;
        return nullptr;
    }
    if (fd < 0) {
        *status = command_file_status::open_failed;
        *error = errno;
        return nullptr;
    }
    struct stat open_status {};
    if (fstat(fd, &open_status) < 0 || !S_ISREG(open_status.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE *stream = fdopen(fd, "re");
    if (stream == nullptr) {
        *status = command_file_status::open_failed;
        *error = errno;
        close(fd);
        return nullptr;
    }
    *status = command_file_status::usable;
    return stream;
}

FILE *open_command_file(const char *path, command_file_status *status, int *error) {
    return open_command_file_at(AT_FDCWD, path, status, error, nullptr);
}

int is_root_only(const struct stat *info) {
    return info->st_uid == 0 && (info->st_mode & group_other_write) == 0 ? 1 : 0;
}

int judge_command_dir(bool *opened, struct stat *info) {
    *info = {};
    int fd = open(command_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *opened = fd >= 0;
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, info) < 0) {
        *info = {};
    } else if (is_root_only(info) == 1) {
        return fd;
    }
    close(fd);
    return -1;
}

void log_command_dir_fault(const log_sink_t *sink, bool opened, const struct stat *info) {
    if (!opened) {
        sink_line(sink, LOG_ERR, log_opendir_failed, command_dir);
        return;
    }
    sink_line(sink, LOG_AUTHPRIV | LOG_ALERT, log_command_dir_unsafe, command_dir,
              static_cast<unsigned>(info->st_uid),
              static_cast<unsigned>(info->st_mode & mode_bits));
}

int open_command_dir() {
    bool opened = false;
    struct stat info {};
    int fd = judge_command_dir(&opened, &info);
    if (fd < 0) {
        log_sink_t sink = syslog_sink();
        log_command_dir_fault(&sink, opened, &info);
    }
    return fd;
}

void log_command_file_fault(const log_sink_t *sink, const char *path, command_file_status status,
                            int error, const struct stat *info) {
    switch (status) {
        case command_file_status::stat_failed:
            sink_line(sink, LOG_ERR, log_stat_failed, path, strerror(error));
            return;
        case command_file_status::not_regular:
            sink_line(sink, LOG_ERR, log_not_regular, path);
            return;
        case command_file_status::open_failed:
            sink_line(sink, LOG_ERR, log_open_failed, path, strerror(error));
            return;
        case command_file_status::usable:
        case command_file_status::unsafe_link:
            sink_line(sink, LOG_AUTHPRIV | LOG_ALERT, log_command_file_unsafe, path,
                      static_cast<unsigned>(info->st_uid),
                      static_cast<unsigned>(info->st_mode & mode_bits));
            return;
    }
}

int create_args_from_command_file(int dir_fd, const char *file_name, const char *alias,
                                  alias_entry_t *entry) {
    char path[line_size];
    if (get_command_file_path(path, sizeof path, file_name) < 0) {
        // Directory entry names are far shorter; a path that does not fit is never opened.
        syslog(LOG_ERR, log_stat_failed, path, strerror(ENAMETOOLONG));
        return 0;
    }
    command_file_status status = command_file_status::usable;
    int error = 0;
    struct stat info {};
    FILE *stream = open_command_file_at(dir_fd, file_name, &status, &error, &info);
    // A file that others can change, or one reached through a directory that others can
    // change (`info` is that directory's), ends the lookup.
    bool unsafe =
        status == command_file_status::unsafe_link ||
        (stream != nullptr && (fstat(fileno(stream), &info) < 0 || is_root_only(&info) == 0));
    if (stream == nullptr || unsafe) {
        log_sink_t sink = syslog_sink();
        log_command_file_fault(&sink, path, status, error, &info);
        if (stream != nullptr) {
            fclose(stream);
        }
        return unsafe ? -1 : 0;
    }
    lookup_alias_in_stream(stream, alias, entry);
    fclose(stream);
    return 0;
}

int find_alias(const char *alias, alias_entry_t *entry) {
    *entry = alias_entry_t{};
    int dir_fd = open_command_dir();
    if (dir_fd < 0) {
        return -1;
    }
    node_t *files = create_command_files_list_at(dir_fd);
    if (files == nullptr) {
        close(dir_fd);
        return -1;
    }
    int unsafe = 0;
    for (const node_t *node = files; node != nullptr && unsafe == 0; node = node->next) {
        unsafe = create_args_from_command_file(dir_fd, node->name, alias, entry);
        if (entry->command_token != nullptr) {
            break;
        }
    }
    release_command_files_list(files);
    close(dir_fd);
    // A file without the alias, one refused as unsafe and a failed copy all leave the entry
    // empty; only a match fills it.
    if (unsafe < 0) {
        return -1;
    }
    if (entry->command_token == nullptr) {
        return 0;
    }
    remove_eol(entry->command_token);
    return 1;
}
