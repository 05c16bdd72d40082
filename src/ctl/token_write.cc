// What `token` writes and removes.
//
// - A token file is never written in place: the new one goes to a temporary file in the same
//   directory, created exclusively and without following a link, gets its owner and mode on
//   its descriptor, is forced to disk and only then renamed over the old one, and the
//   directory is synced, so a request reads the old token or the new one, never a part.
// - The pid-file directory lies in the user's home, which the user controls. It is made by a
//   child that has taken the user's groups, gid and effective uid; its real and saved uid stay
//   0, so the user can neither signal nor trace it, and it is killed after a few seconds.
// - A tree is removed relative to directory descriptors, never through a link.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/child.h"
#include "common/facts.h"
#include "ctl/users.h"

namespace {

constexpr mode_t token_mode = 0400;
constexpr mode_t pid_dir_mode = 0700;
constexpr size_t temp_name_size = 64;
constexpr int temp_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr const char hex_digits[] = "0123456789abcdef";
constexpr unsigned nibble_bits = 4;
constexpr unsigned nibble_mask = 0xf;
// How long the child that makes the pid-file directory may take.
constexpr int pid_dir_timeout_ms = 5000;
constexpr int first_unused_fd = 3;
constexpr int fallback_fd_limit = 1024;  // closed one by one where close_range is missing
// How long a run waits for another one that sets up names of the same uid, in steps.
constexpr int lock_polls = 3000;
constexpr long lock_poll_nanoseconds = 10L * 1000 * 1000;

// What the child reports through its exit status.
enum pid_dir_result : int {
    pid_dir_created = 0,
    pid_dir_existed,
    pid_dir_missing,
    pid_dir_no_identity,
    pid_dir_home_missing,
    pid_dir_no_home,
    pid_dir_parent_link,
    pid_dir_parent_not_dir,
    pid_dir_parent_foreign,
    pid_dir_parent_open,
    pid_dir_link,
    pid_dir_not_dir,
    pid_dir_foreign,
    pid_dir_open,
    pid_dir_not_made,
    pid_dir_result_count,
};

struct pid_dir_meaning_t {
    pid_dir_state state;
    const char *reason;
};

constexpr pid_dir_meaning_t pid_dir_meanings[pid_dir_result_count] = {
    {pid_dir_state::created, nullptr},
    {pid_dir_state::existed, nullptr},
    {pid_dir_state::missing, nullptr},
    {pid_dir_state::problem, "the user's identity cannot be taken"},
    {pid_dir_state::no_home, "the home directory does not exist"},
    {pid_dir_state::problem, "the home directory cannot be entered as the user"},
    {pid_dir_state::planted, "~/.vornex is a link: nothing is created through it"},
    {pid_dir_state::planted, "~/.vornex is not a directory: nothing is created there"},
    {pid_dir_state::unsafe, "~/.vornex is not the user's: nothing is created there"},
    {pid_dir_state::unsafe,
     "~/.vornex is writable by group or others: whoever else can write it can put a link or "
     "a directory of their own where the pid files go"},
    {pid_dir_state::planted, "~/.vornex/tmp is a link: nothing is created through it"},
    {pid_dir_state::planted, "~/.vornex/tmp is not a directory"},
    {pid_dir_state::unsafe, "~/.vornex/tmp is not the user's"},
    {pid_dir_state::unsafe,
     "~/.vornex/tmp is writable by group or others: whoever else can write it can put a link "
     "at a pid file's name"},
    {pid_dir_state::problem, "the user cannot create it"},
};

struct pid_dir_level_t {
    const char *name;
    int link_result;
    int not_dir_result;
    int foreign_result;
    int open_result;
};

constexpr pid_dir_level_t pid_dir_levels[] = {
    {pid_parent_name, pid_dir_parent_link, pid_dir_parent_not_dir, pid_dir_parent_foreign,
     pid_dir_parent_open},
    {pid_dir_name, pid_dir_link, pid_dir_not_dir, pid_dir_foreign, pid_dir_open},
};

void set_error(char *error, size_t size, const char *what) {
    format_cut(error, size, "%s: %s", what, strerror(errno));
}

int write_all(int fd, const char *text, size_t length) {
    while (length > 0) {
        ssize_t done = write(fd, text, length);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return -1;
        }
        text += done;
        length -= static_cast<size_t>(done);
    }
    return 0;
}

// Creates the temporary file; one left by an earlier run of the same process id is root's
// (only root writes this directory) and is removed first.
int create_temp(int dot_fd, const char *name) {
    int fd = openat(dot_fd, name, temp_flags, token_mode);
    if (fd < 0 && errno == EEXIST && unlinkat(dot_fd, name, 0) == 0) {
        fd = openat(dot_fd, name, temp_flags, token_mode);
    }
    return fd;
}

int fill_temp(int fd, uint32_t uid, uint32_t gid, const char *text, char *error, size_t size) {
    if (write_all(fd, text, strlen(text)) < 0) {
        set_error(error, size, "the token cannot be written");
        return -1;
    }
    if (fchown(fd, uid, gid) < 0 || fchmod(fd, token_mode) < 0) {
        set_error(error, size, "the owner or mode cannot be set");
        return -1;
    }
    if (fdatasync(fd) < 0) {
        set_error(error, size, "the token cannot be forced to disk");
        return -1;
    }
    return 0;
}

// Each step in the child is one test; the first that fails names the result. Without
// `create` nothing is made and a missing level ends the walk.
int open_user_dir(int parent, const pid_dir_level_t *level, uid_t uid, bool create, bool *made,
                  int *fd) {
    if (!create) {
        struct stat info {};
        if (fstatat(parent, level->name, &info, AT_SYMLINK_NOFOLLOW) < 0) {
            return errno == ENOENT ? pid_dir_missing : pid_dir_not_made;
        }
    } else if (mkdirat(parent, level->name, pid_dir_mode) == 0) {
        *made = true;
    } else if (errno != EEXIST) {
        return pid_dir_not_made;
    }
    *fd = openat(parent, level->name, state_dir_flags);
    if (*fd < 0) {
        struct stat info {};
        if (fstatat(parent, level->name, &info, AT_SYMLINK_NOFOLLOW) < 0) {
            return pid_dir_not_made;
        }
        if (S_ISLNK(info.st_mode)) {
            return level->link_result;
        }
        return S_ISDIR(info.st_mode) ? pid_dir_not_made : level->not_dir_result;
    }
    // Both levels are the user's alone: anyone else who could write one could put a link at
    // the name of a pid file the server is about to write.
    struct stat info {};
    if (fstat(*fd, &info) < 0 || info.st_uid != uid) {
        return level->foreign_result;
    }
    if ((info.st_mode & group_other_write) != 0) {
        return level->open_result;
    }
    return pid_dir_created;
}

[[noreturn]] void run_pid_dir_child(const account_t *account, const gid_t *groups, int count,
                                    bool create) {
    // Nothing of root's stays open in a process that acts as the user: no directory of
    // /var/vornex, and no lock that a child stuck in the kernel would hold on to.
    if (close_range(first_unused_fd, ~0U, 0) < 0) {
        for (int fd = first_unused_fd; fd < fallback_fd_limit; ++fd) {
            close(fd);
        }
    }
    bool ready = chdir("/") == 0 && setgroups(static_cast<size_t>(count), groups) == 0 &&
                 setgid(account->gid) == 0 && seteuid(account->uid) == 0;
    if (!ready) {
        _exit(pid_dir_no_identity);
    }
    int home = open(account->home, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (home < 0) {
        _exit(errno == ENOENT || errno == ENOTDIR ? pid_dir_home_missing : pid_dir_no_home);
    }
    bool made = false;
    int parent = home;
    int result = pid_dir_created;
    for (const pid_dir_level_t &level : pid_dir_levels) {
        int fd = -1;
        result = open_user_dir(parent, &level, account->uid, create, &made, &fd);
        if (result != pid_dir_created) {
            break;
        }
        parent = fd;
    }
    _exit(result == pid_dir_created && !made ? pid_dir_existed : result);
}

void pause_briefly() {
    struct timespec step {
        0, lock_poll_nanoseconds
    };
    nanosleep(&step, nullptr);
}

struct pid_dir_child_t {
    const account_t *account;
    const gid_t *groups;
    int count;
    bool create;
};

void pid_dir_child(const void *context) {
    const auto *c = static_cast<const pid_dir_child_t *>(context);
    run_pid_dir_child(c->account, c->groups, c->count, c->create);
}

}  // namespace

int make_token_text(char *text, size_t size) {
    unsigned char bytes[token_random_bytes];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t done = getrandom(bytes + got, sizeof bytes - got, 0);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            explicit_bzero(bytes, sizeof bytes);
            return -1;
        }
        got += static_cast<size_t>(done);
    }
    if (size < token_text_size) {
        return -1;
    }
    for (size_t i = 0; i < sizeof bytes; ++i) {
        text[2 * i] = hex_digits[bytes[i] >> nibble_bits];
        text[2 * i + 1] = hex_digits[bytes[i] & nibble_mask];
    }
    text[2 * sizeof bytes] = '\n';
    text[2 * sizeof bytes + 1] = '\0';
    explicit_bzero(bytes, sizeof bytes);
    return 0;
}

int write_token_file(int dot_fd, uint32_t uid, uint32_t gid, const char *text, char *error,
                     size_t size) {
    char temp[temp_name_size];
    snprintf(temp, sizeof temp, "%s.new.%u", token_leaf_name(), static_cast<unsigned>(getpid()));
    int fd = create_temp(dot_fd, temp);
    if (fd < 0) {
        set_error(error, size, "the temporary token file cannot be created");
        return -1;
    }
    int result = fill_temp(fd, uid, gid, text, error, size);
    if (close(fd) < 0 && result == 0) {
        set_error(error, size, "the temporary token file cannot be closed");
        result = -1;
    }
    if (result == 0 && renameat(dot_fd, temp, dot_fd, token_leaf_name()) < 0) {
        set_error(error, size, "the token file cannot be replaced");
        result = -1;
    }
    if (result < 0) {
        unlinkat(dot_fd, temp, 0);
        return -1;
    }
    if (fsync(dot_fd) < 0) {
        set_error(error, size, "the directory cannot be synced");
        return -1;
    }
    return 0;
}

int lock_uid_tokens(uint32_t uid, const char *name, bool *timed_out) {
    *timed_out = false;
    state_dirs_t dirs{};
    bool missing = false;
    char error[message_size];
    if (open_state_dirs(uid, name, state_level::prefix, true, &dirs, &missing, error,
                        sizeof error) < 0) {
        return -1;
    }
    int fd = state_fd(&dirs, state_level::prefix);
    bool busy = true;
    for (int i = 0; busy && i < lock_polls; ++i) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return fd;
        }
        busy = errno == EWOULDBLOCK || errno == EINTR;
        pause_briefly();
    }
    *timed_out = busy;
    close(fd);
    return -1;
}

pid_dir_state prepare_pid_directory(const account_t *account, bool create, const char **reason) {
    *reason = "the user's groups cannot be found";
    gid_t *groups = nullptr;
    int count = find_groups(account->name, account->gid, &groups);
    if (count < 0) {
        return pid_dir_state::problem;
    }
    pid_dir_child_t context{account, groups, count, create};
    int status = 0;
    child_end end = run_bounded_child(pid_dir_child, &context, pid_dir_timeout_ms, &status);
    free(groups);
    int result = WIFEXITED(status) ? WEXITSTATUS(status) : pid_dir_result_count;
    if (end != child_end::ended || result >= pid_dir_result_count) {
        *reason = end == child_end::not_started ? "no child process can be started"
                  : end == child_end::killed
                      ? "the child that makes it did not finish in time and was killed"
                      : "the child that makes it failed";
        return pid_dir_state::problem;
    }
    *reason = pid_dir_meanings[result].reason;
    return pid_dir_meanings[result].state;
}

bool has_home(const account_t *account) {
    const char *reason = nullptr;
    return account->home[0] != '\0' &&
           prepare_pid_directory(account, false, &reason) != pid_dir_state::no_home;
}

int remove_tree(int dir_fd, int depth) {
    DIR *dir = open_listing(dir_fd);
    if (dir == nullptr) {
        return -1;
    }
    int result = 0;
    for (const struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir)) {
        if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0) {
            continue;
        }
        struct stat info {};
        if (fstatat(dir_fd, item->d_name, &info, AT_SYMLINK_NOFOLLOW) < 0) {
            result = -1;
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            int sub = depth > 0 ? openat(dir_fd, item->d_name, state_dir_flags) : -1;
            if (sub < 0 || remove_tree(sub, depth - 1) < 0) {
                result = -1;
            }
            if (sub >= 0) {
                close(sub);
            }
        }
        if (unlinkat(dir_fd, item->d_name, S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) < 0) {
            result = -1;
        }
    }
    closedir(dir);
    return result;
}
