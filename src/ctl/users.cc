// The accounts and the per-user directories, as `token` and `check --users` see them.
//
// Below /var/vornex nothing is reached through a path: every level is opened relative to its
// parent's descriptor with O_NOFOLLOW and O_DIRECTORY, so a link or a file that someone
// planted is found and reported, never followed. A directory that is not root's or that group
// or others may write is not trusted either: whoever can write it can swap what lies below.

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "common/facts.h"
#include "ctl/users.h"

namespace {

constexpr mode_t state_dir_mode = 0755;
constexpr int file_flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr size_t initial_accounts = 64;
constexpr int decimal = 10;
constexpr int initial_group_count = 64;
constexpr int group_list_attempts = 4;

bool add_account(account_list_t *list, size_t *capacity, const struct passwd *entry) {
    if (list->count == *capacity) {
        size_t wanted = *capacity == 0 ? initial_accounts : 2 * *capacity;
        auto *grown = static_cast<account_t *>(realloc(list->items, wanted * sizeof(account_t)));
        if (grown == nullptr) {
            return false;
        }
        list->items = grown;
        *capacity = wanted;
    }
    account_t *account = &list->items[list->count];
    account->name = strdup(entry->pw_name);
    account->home = strdup(entry->pw_dir != nullptr ? entry->pw_dir : "");
    account->uid = entry->pw_uid;
    account->gid = entry->pw_gid;
    ++list->count;
    return account->name != nullptr && account->home != nullptr;
}

// "UID_MIN 1000": the key at the start of a line, white space, a decimal number and nothing
// but white space after it. Any other value ("-1", "1000x", "0x3e8", one beyond 32 bits) is
// passed over and the earlier value stays.
bool read_defs_value(const char *line, const char *key, uint32_t *value) {
    size_t length = strlen(key);
    if (strncmp(line, key, length) != 0 || isspace(static_cast<unsigned char>(line[length])) == 0) {
        return false;
    }
    const char *digits = line + length + strspn(line + length, " \t");
    char *end = nullptr;
    errno = 0;
    unsigned long number = strtoul(digits, &end, decimal);
    if (isdigit(static_cast<unsigned char>(digits[0])) == 0 || errno != 0 || number > UINT32_MAX ||
        end[strspn(end, " \t\r\n")] != '\0') {
        return true;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

void describe_level(char *error, size_t size, const char *path, const char *problem) {
    char shown_path[shown_size];
    format_cut(error, size, "%s %s: left alone", escape_text(path, shown_path, sizeof shown_path),
               problem);
}

// Opens one level; creates it first when asked. Tells why a level is not trusted.
int open_level(int parent, const char *component, bool create, bool *missing, const char *path,
               char *error, size_t size) {
    if (create && mkdirat(parent, component, state_dir_mode) < 0 && errno != EEXIST) {
        describe_level(error, size, path, strerror(errno));
        return -1;
    }
    struct stat info {};
    int reason = 0;
    level_look look = level_look::usable;
    int fd = open_state_level(parent, component, &info, &reason, &look);
    *missing = look == level_look::missing;
    if (look == level_look::usable) {
        return fd;
    }
    // In the order of the looks, from missing on.
    static constexpr const char *problems[] = {"does not exist", "is a link", "is not a directory"};
    char problem[message_size];
    if (look == level_look::unsafe) {
        snprintf(problem, sizeof problem,
                 "is owned by uid %u with mode %04o, not root's and writable by root only",
                 static_cast<unsigned>(info.st_uid),
                 static_cast<unsigned>(info.st_mode & mode_bits));
        close(fd);
    } else {
        snprintf(problem, sizeof problem, "%s",
                 look == level_look::failed ? strerror(reason)
                                            : problems[static_cast<size_t>(look) - 1]);
    }
    describe_level(error, size, path, problem);
    return -1;
}

bool append_path(char *path, size_t size, const char *component) {
    size_t used = strlen(path);
    int length = snprintf(path + used, size - used, "/%s", component);
    return length >= 0 && static_cast<size_t>(length) < size - used;
}

// /var is the system's; /var/vornex is held to the same rules as every level below it.
int open_top(bool create, bool *missing, const char *path, char *error, size_t size) {
    int var = open("/var", state_dir_flags & ~O_NOFOLLOW);
    if (var < 0) {
        describe_level(error, size, "/var", strerror(errno));
        return -1;
    }
    int top = open_level(var, state_root + strlen("/var/"), create, missing, path, error, size);
    close(var);
    return top;
}

// ".vornex/.vornex.token" in two pieces.
void split_token_name(char *dot, size_t size) {
    const char *slash = strchr(token_file_name, '/');
    size_t length = static_cast<size_t>(slash - token_file_name);
    snprintf(dot, size, "%.*s", static_cast<int>(length), token_file_name);
}

}  // namespace

// An entry too large for the buffer is read again with a larger one: stopping there would
// hide every account after it.
int load_accounts(account_list_t *list) {
    *list = {};
    size_t capacity = 0;
    struct passwd entry {};
    struct passwd *found = nullptr;
    size_t size = passwd_buffer_size;
    char *buffer = static_cast<char *>(malloc(size));
    bool fine = buffer != nullptr;
    setpwent();
    while (fine) {
        int error = getpwent_r(&entry, buffer, size, &found);
        if (error == ERANGE && size < passwd_buffer_max) {
            size *= 2;
            char *grown = static_cast<char *>(realloc(buffer, size));
            fine = grown != nullptr;
            buffer = fine ? grown : buffer;
        } else if (error != 0 || found == nullptr) {
            fine = error == 0 || error == ENOENT;
            break;
        } else {
            fine = add_account(list, &capacity, found);
        }
    }
    endpwent();
    free(buffer);
    if (!fine) {
        release_accounts(list);
        return -1;
    }
    return 0;
}

int load_marked_accounts(const char *subcommand, account_list_t *list, bool **marks) {
    *marks = nullptr;
    if (load_accounts(list) == 0 &&
        (*marks = static_cast<bool *>(calloc(list->count + 1, sizeof(bool)))) != nullptr) {
        return 0;
    }
    release_accounts(list);
    print_error(subcommand, "the password database cannot be read");
    return -1;
}

void release_accounts(account_list_t *list) {
    for (size_t i = 0; i < list->count; ++i) {
        free(list->items[i].name);
        free(list->items[i].home);
    }
    free(list->items);
    *list = {};
}

const account_t *find_listed_account(const account_list_t *list, const char *name) {
    for (size_t i = 0; i < list->count; ++i) {
        if (strcmp(list->items[i].name, name) == 0) {
            return &list->items[i];
        }
    }
    return nullptr;
}

void parse_uid_range(FILE *defs, uid_range_t *range) {
    range->min = default_uid_min;
    range->max = default_uid_max;
    char line[line_size];
    bool line_start = true;
    while (fgets(line, sizeof line, defs) != nullptr) {
        // The rest of a line longer than the buffer is not the start of another line.
        bool whole = strchr(line, '\n') != nullptr || feof(defs) != 0;
        const char *start = line + strspn(line, " \t");
        if (line_start && whole && !read_defs_value(start, "UID_MIN", &range->min)) {
            read_defs_value(start, "UID_MAX", &range->max);
        }
        line_start = whole;
    }
}

bool in_uid_range(const uid_range_t *range, uint32_t uid) {
    return uid != 0 && uid >= range->min && uid <= range->max;
}

void read_uid_range(uid_range_t *range) {
    FILE *defs = fopen(login_defs_path, "re");
    if (defs == nullptr) {
        range->min = default_uid_min;
        range->max = default_uid_max;
        return;
    }
    parse_uid_range(defs, range);
    fclose(defs);
}

bool is_usable_name(const char *name) {
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
           strchr(name, '/') == nullptr;
}

int open_state_level(int parent, const char *component, struct stat *info, int *error,
                     level_look *look) {
    *info = {};
    *error = 0;
    int fd = openat(parent, component, state_dir_flags);
    if (fd < 0) {
        *error = errno;
        bool there = fstatat(parent, component, info, AT_SYMLINK_NOFOLLOW) == 0;
        if (there && S_ISLNK(info->st_mode)) {
            *look = level_look::link;
        } else if (*error == ENOENT) {
            *look = level_look::missing;
        } else if (*error == ENOTDIR || (there && !S_ISDIR(info->st_mode))) {
            *look = level_look::not_directory;
        } else {
            *look = level_look::failed;
        }
        return -1;
    }
    if (fstat(fd, info) < 0) {
        *error = errno;
        *look = level_look::failed;
        close(fd);
        return -1;
    }
    bool trusted = info->st_uid == 0 && (info->st_mode & group_other_write) == 0;
    *look = trusted ? level_look::usable : level_look::unsafe;
    return fd;
}

int open_state_dirs(uint32_t uid, const char *name, state_level level, bool create,
                    state_dirs_t *dirs, bool *missing, char *error, size_t size) {
    char prefix[prefix_size];
    char dot[line_size];
    get_prefix(uid, prefix);
    split_token_name(dot, sizeof dot);
    const char *components[state_levels] = {prefix, name, dot};
    *missing = false;
    for (int &fd : dirs->fds) {
        fd = -1;
    }
    snprintf(dirs->path, sizeof dirs->path, "%s", state_root);
    int top = open_top(create, missing, dirs->path, error, size);
    int parent = top;
    int last = static_cast<int>(level);
    for (int i = 0; parent >= 0 && i <= last && i < state_levels; ++i) {
        int fd = -1;
        if (append_path(dirs->path, sizeof dirs->path, components[i])) {
            fd = open_level(parent, components[i], create, missing, dirs->path, error, size);
        } else {
            describe_level(error, size, state_root, "path too long");
        }
        dirs->fds[i] = fd;
        parent = fd;
    }
    if (top >= 0) {
        close(top);
    }
    if (parent < 0) {
        close_state_dirs(dirs);
        return -1;
    }
    return 0;
}

void close_state_dirs(state_dirs_t *dirs) {
    for (int &fd : dirs->fds) {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
}

DIR *open_listing(int dir_fd) {
    int listing = openat(dir_fd, ".", state_dir_flags);
    DIR *items = listing < 0 ? nullptr : fdopendir(listing);
    if (items == nullptr && listing >= 0) {
        close(listing);
    }
    return items;
}

int state_fd(const state_dirs_t *dirs, state_level level) {
    return dirs->fds[static_cast<int>(level)];
}

const char *token_leaf_name() {
    return strchr(token_file_name, '/') + 1;
}

void inspect_token(int dot_fd, uint32_t uid, token_inspection_t *inspection) {
    *inspection = {};
    inspection->state = token_check::unreadable;
    if (fstatat(dot_fd, token_leaf_name(), &inspection->info, AT_SYMLINK_NOFOLLOW) < 0) {
        if (errno == ENOENT) {
            inspection->state = token_check::missing;
        }
        return;
    }
    if (!S_ISREG(inspection->info.st_mode)) {
        inspection->state = token_check::not_regular;
        return;
    }
    switch (classify_token_file(&inspection->info, uid)) {
        case token_file_state::wrong_owner:
            inspection->state = token_check::wrong_owner;
            return;
        case token_file_state::wrong_mode:
            inspection->state = token_check::wrong_mode;
            return;
        case token_file_state::usable:
            break;
    }
    int fd = openat(dot_fd, token_leaf_name(), file_flags);
    struct stat opened {};
    if (fd < 0 || fstat(fd, &opened) < 0 || opened.st_ino != inspection->info.st_ino ||
        opened.st_dev != inspection->info.st_dev) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    FILE *file = fdopen(fd, "re");
    if (file == nullptr) {
        close(fd);
        return;
    }
    read_token_line(file, inspection->first_line, &inspection->cut);
    fclose(file);
    inspection->state =
        inspection->first_line[0] == '\0' ? token_check::empty : token_check::usable;
}

bool read_token_of(const account_t *account, token_inspection_t *inspection) {
    *inspection = {};
    inspection->state = token_check::missing;
    state_dirs_t dirs{};
    bool missing = false;
    char error[message_size];
    if (open_state_dirs(account->uid, account->name, state_level::dot, false, &dirs, &missing,
                        error, sizeof error) < 0) {
        return false;
    }
    inspect_token(state_fd(&dirs, state_level::dot), account->uid, inspection);
    close_state_dirs(&dirs);
    return inspection->state == token_check::usable;
}

bool has_revoked_mark(int user_fd) {
    struct stat info {};
    return fstatat(user_fd, revoked_mark_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode) && info.st_uid == 0;
}

bool make_pid_dir_path(const char *home, char *buffer, size_t size) {
    int length = snprintf(buffer, size, "%s/%s/%s", home, pid_parent_name, pid_dir_name);
    return length >= 0 && static_cast<size_t>(length) < size;
}

lookup_t look_up_uid(const char *name, uint32_t *uid) {
    struct passwd entry {};
    char buffer[passwd_buffer_size];
    struct passwd *found = nullptr;
    int error = getpwnam_r(name, &entry, buffer, sizeof buffer, &found);
    if (error == ERANGE) {
        return lookup_t::unreadable;
    }
    if (error != 0 || found == nullptr) {
        return lookup_t::none;
    }
    *uid = found->pw_uid;
    return lookup_t::found;
}

int find_groups(const char *name, gid_t gid, gid_t **groups) {
    // A first guess; getgrouplist tells the count it needs when the guess is too small, and
    // the database may grow between two calls.
    int count = initial_group_count;
    for (int attempt = 0; attempt < group_list_attempts; ++attempt) {
        auto *list = static_cast<gid_t *>(calloc(static_cast<size_t>(count), sizeof(gid_t)));
        if (list == nullptr) {
            return -1;
        }
        int wanted = count;
        if (getgrouplist(name, gid, list, &wanted) >= 0) {
            *groups = list;
            return wanted;
        }
        free(list);
        if (wanted <= count) {
            return -1;
        }
        count = wanted;
    }
    return -1;
}
