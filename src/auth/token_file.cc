// Where a name's files lie, which names share a uid, and the test of a presented token against
// its token file.
//
// The token file is never written here. Its path is opened without opening the file (O_PATH),
// so that a link to a device or to a root-only file planted by whoever controls the directory
// has no effect and reveals nothing; the rules are checked on that descriptor, and only a file
// that belongs to the requesting uid and carries exactly the permission bits 0400 is then
// opened for reading, through the same descriptor, and checked again to be the same file. Of
// its content only the first line counts.

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "common/common.h"
#include "common/facts.h"
#include "common/log_sink.h"
#include "driver/log_formats.h"

namespace {

constexpr mode_t token_file_mode = 0400;
// "/proc/self/fd/" and a descriptor number.
constexpr size_t fd_link_size = 32;

// The look of an open token file by the owner and mode rules alone: usable, unreadable (its
// status, with the system error), wrong_owner or wrong_mode.
token_file_look look_by_rules(int fd, uint32_t uid, struct stat *status, int *error) {
    if (fstat(fd, status) < 0) {
        *error = errno;
        return token_file_look::unreadable;
    }
    switch (classify_token_file(status, uid)) {
        case token_file_state::wrong_owner:
            return token_file_look::wrong_owner;
        case token_file_state::wrong_mode:
            return token_file_look::wrong_mode;
        case token_file_state::usable:
            break;
    }
    return token_file_look::usable;
}

}  // namespace

void get_prefix(uint32_t uid, char *out) {
    // Two digits and the NUL always fit the three bytes.
    snprintf(out, prefix_size, "%02u", uid % uid_prefix_count);
}

void get_auth_log_path(char *buffer, int size, uint32_t uid, const char *name,
                       const char *file_name) {
    char prefix[prefix_size];
    get_prefix(uid, prefix);
    // A path cut short would name another file: one that does not fit is left empty, and
    // opening the empty path fails.
    int length = snprintf(buffer, static_cast<size_t>(size), "%s/%s/%s/%s", state_root, prefix,
                          name, file_name);
    if (length < 0 || length >= size) {
        buffer[0] = '\0';
    }
}

bool walk_uid_names(uint32_t uid, bool (*visit)(void *context, const char *name), void *context) {
    struct passwd entry {};
    char buffer[passwd_buffer_size];
    struct passwd *found = nullptr;
    // An entry that does not fit the buffer ends the walk like the end of the database.
    while (getpwent_r(&entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        if (found->pw_uid == uid && visit(context, found->pw_name)) {
            return true;
        }
    }
    return false;
}

void get_user_dir_path(char *buffer, int size, uint32_t uid, const char *name) {
    char prefix[prefix_size];
    get_prefix(uid, prefix);
    int length = snprintf(buffer, static_cast<size_t>(size), "%s/%s/%s", state_root, prefix, name);
    if (length < 0 || length >= size) {
        buffer[0] = '\0';
    }
}

bool find_user_dir(char *buffer, int size, uint32_t uid, const char *name) {
    get_user_dir_path(buffer, size, uid, name);
    struct stat info {};
    return buffer[0] != '\0' && stat(buffer, &info) == 0 && S_ISDIR(info.st_mode);
}

void get_token_path(char *buffer, int size, uint32_t uid, const char *name) {
    get_auth_log_path(buffer, size, uid, name, token_file_name);
}

int open_token_path(const char *path) {
    return open(path, O_PATH | O_CLOEXEC);
}

token_file_state classify_token_file(const struct stat *status, uint32_t uid) {
    if (status->st_uid != uid) {
        return token_file_state::wrong_owner;
    }
    if ((status->st_mode & token_check_bits) != token_file_mode) {
        return token_file_state::wrong_mode;
    }
    return token_file_state::usable;
}

token_file_look look_at_token_file(const char *path, uint32_t uid, struct stat *status,
                                   int *error) {
    *status = {};
    *error = 0;
    int fd = open_token_path(path);
    if (fd < 0) {
        *error = errno;
        return token_file_look::missing;
    }
    token_file_look look = look_by_rules(fd, uid, status, error);
    close(fd);
    if (look == token_file_look::usable && !S_ISREG(status->st_mode)) {
        return token_file_look::not_regular;
    }
    return look;
}

void log_token_file_fault(const log_sink_t *sink, token_file_look look, const char *path,
                          const struct stat *status, uint32_t uid, const char *user_name,
                          const char *name) {
    switch (look) {
        case token_file_look::missing:
            sink_line(sink, LOG_ERR, log_token_missing, path, name);
            return;
        case token_file_look::unreadable:
            sink_line(sink, LOG_ERR, log_token_fstat_failed, path, name);
            return;
        case token_file_look::wrong_owner:
            sink_line(sink, LOG_ERR, log_token_owner, path, static_cast<int>(status->st_uid),
                      user_name, static_cast<int>(uid), name);
            return;
        case token_file_look::wrong_mode:
            sink_line(sink, LOG_ERR, log_token_mode, path,
                      static_cast<unsigned>(status->st_mode & token_check_bits), name);
            return;
        case token_file_look::not_regular:
        case token_file_look::usable:
            return;
    }
}

int check_tokenfile_perms(int fd, uint32_t uid, int debug, const char *path, const char *user_name,
                          const char *alternative_name) {
    struct stat status {};
    int error = 0;
    token_file_look look = look_by_rules(fd, uid, &status, &error);
    if (look == token_file_look::usable) {
        return 0;
    }
    if (debug != 0) {
        log_sink_t sink = syslog_sink();
        log_token_file_fault(&sink, look, path, &status, uid, user_name,
                             alternative_name != nullptr ? alternative_name : user_name);
    }
    return -1;
}

FILE *reopen_token_file(int path_fd) {
    char link[fd_link_size];
    // A descriptor number always fits.
    snprintf(link, sizeof link, "/proc/self/fd/%d", path_fd);
    int fd = open(link, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return nullptr;
    }
    struct stat checked {};
    struct stat opened {};
    if (fstat(path_fd, &checked) < 0 || fstat(fd, &opened) < 0 || checked.st_dev != opened.st_dev ||
        checked.st_ino != opened.st_ino) {
        close(fd);
        return nullptr;
    }
    FILE *stream = fdopen(fd, "re");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

int cmp_const(const char *a, const char *b, size_t limit) {
    // The length is not hidden; only the position of a differing byte is.
    if (strlen(a) != strlen(b)) {
        return 1;
    }
    unsigned char difference = 0;
    for (size_t i = 0; i < limit; ++i) {
        if (a[i] == '\0' && b[i] == '\0') {
            break;
        }
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference;
}

void read_token_line(FILE *file, char *line, bool *cut) {
    // At the end of the file, or when nothing can be read, the line stays empty.
    if (fgets(line, line_size, file) == nullptr) {
        line[0] = '\0';
    }
    if (cut != nullptr) {
        // A line that filled the buffer is whole when only its ending is left behind.
        size_t length = strlen(line);
        int next = length == line_size - 1 && line[length - 1] != '\n' ? fgetc(file) : EOF;
        *cut = next != EOF && next != '\n' && next != '\r';
    }
    remove_eol(line);
}

int check_token_value_with_tokenfile(const char *token, FILE *file, int debug, const char *name) {
    char line[line_size] = {};
    read_token_line(file, line, nullptr);
    bool accepted = token[0] != '\0' && cmp_const(token, line, line_size) == 0;
    explicit_bzero(line, sizeof line);
    if (accepted) {
        return 0;
    }
    if (debug != 0) {
        syslog(LOG_ERR, log_token_incorrect, name);
    }
    return -1;
}
