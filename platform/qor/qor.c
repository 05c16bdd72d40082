/* Resource containers on cgroup v2.
 *
 * Rules of this file:
 * - the hierarchy is the first cgroup2 mount listed in /proc/self/mountinfo, and its root
 *   directory must really be a cgroup2 file system; everything after that goes through the
 *   descriptor of that root (openat, mkdirat), never through paths built from the mount point;
 * - every open carries O_NOFOLLOW and O_CLOEXEC: no link is followed, and no descriptor of
 *   this library reaches the command that the process later executes;
 * - every group directory opened must be on the cgroup2 file system and belong to root, so
 *   that nothing mounted over it and no group delegated to a user takes a root process in;
 * - the groups get no limits here: the administrator sets them.
 * - buffers are fixed and every formatted length is checked.
 */
#define _GNU_SOURCE
#include "qor.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <linux/magic.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "build_note.h"

#define QOR_API __attribute__((visibility("default")))

VORNEX_BUILD_NOTE;

enum {
    mountinfo_line_size = 4096,
    mount_path_size = 4096,
    id_text_size = 11, /* "4294967295" and the NUL */
    pid_text_size = 21,
    mount_point_field = 4,
    mount_options_field = 5,
};

struct qor {
    void (*release)(void *);
    int root_fd;
};

/* Every container lives below this directory of the hierarchy's root. */
static const char container_base[] = "vornex";

/* Controllers that give a container its limits; a parent that does not offer one refuses
 * it, which is not an error. */
static const char *const wanted_controllers[] = {"+cpu", "+io", "+memory", "+pids"};

static void close_keeping_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

/* Mount points in mountinfo carry space, tab, newline and backslash as \ooo. */
static int unescape_mount_path(const char *in, char *out, size_t size) {
    size_t length = 0;
    while (*in != '\0') {
        char c = *in;
        if (c == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            c = (char)(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0'));
            in += 4;
        } else {
            in++;
        }
        if (length + 1 >= size)
            return -1;
        out[length++] = c;
    }
    out[length] = '\0';
    return 0;
}

/* A mountinfo line: id parent dev root mount-point options [optional...] - fstype source ... */
static int parse_cgroup2_line(char *line, char *path, size_t size) {
    char *save = NULL;
    const char *mount_point = NULL;
    int field = 0;
    for (char *word = strtok_r(line, " \n", &save); word != NULL;
         word = strtok_r(NULL, " \n", &save), field++) {
        if (field == mount_point_field) {
            mount_point = word;
        } else if (field > mount_options_field && strcmp(word, "-") == 0) {
            const char *fstype = strtok_r(NULL, " \n", &save);
            if (mount_point == NULL || fstype == NULL || strcmp(fstype, "cgroup2") != 0) {
                return -1;
            }
            return unescape_mount_path(mount_point, path, size);
        }
    }
    return -1;
}

static void skip_rest_of_line(FILE *stream) {
    int c = 0;
    do {
        c = getc(stream);
    } while (c != '\n' && c != EOF);
}

static int find_cgroup2_mount(char *path, size_t size) {
    FILE *mounts = fopen("/proc/self/mountinfo", "re");
    if (mounts == NULL)
        return -1;
    char line[mountinfo_line_size];
    int found = -1;
    while (found != 0 && fgets(line, sizeof line, mounts) != NULL) {
        if (strchr(line, '\n') == NULL && !feof(mounts)) {
            /* Longer than any mount point this library accepts. */
            skip_rest_of_line(mounts);
            continue;
        }
        found = parse_cgroup2_line(line, path, size);
    }
    fclose(mounts);
    return found;
}

static int open_writable_root(const char *path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct statfs fs;
    if (fstatfs(fd, &fs) < 0) {
        close_keeping_errno(fd);
        return -1;
    }
    if (fs.f_type != CGROUP2_SUPER_MAGIC) {
        /* Something else is mounted over the hierarchy. */
        close(fd);
        errno = ENOENT;
        return -1;
    }
    if (faccessat(fd, ".", W_OK, AT_EACCESS) < 0) {
        close_keeping_errno(fd);
        return -1;
    }
    return fd;
}

QOR_API qor_t *init_qor(void *(*alloc)(size_t), void (*release)(void *)) {
    if (alloc == NULL || release == NULL) {
        errno = EINVAL;
        return NULL;
    }
    char root[mount_path_size];
    if (find_cgroup2_mount(root, sizeof root) < 0) {
        errno = ENOENT;
        return NULL;
    }
    int root_fd = open_writable_root(root);
    if (root_fd < 0)
        return NULL;
    qor_t *handle = alloc(sizeof *handle);
    if (handle == NULL) {
        close(root_fd);
        errno = ENOMEM;
        return NULL;
    }
    handle->release = release;
    handle->root_fd = root_fd;
    return handle;
}

static int write_text_at(int dir_fd, const char *name, const char *text) {
    int fd = openat(dir_fd, name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t length = strlen(text);
    ssize_t written = write(fd, text, length);
    if (written < 0) {
        close_keeping_errno(fd);
        return -1;
    }
    close(fd);
    if ((size_t)written != length) {
        errno = EIO;
        return -1;
    }
    return 0;
}

/* One controller per write: the kernel refuses a whole line for one unknown name. */
static void enable_controllers(int dir_fd) {
    for (size_t i = 0; i < sizeof wanted_controllers / sizeof wanted_controllers[0]; i++) {
        int saved = errno;
        (void)write_text_at(dir_fd, "cgroup.subtree_control", wanted_controllers[i]);
        errno = saved;
    }
}

static int is_roots_cgroup2_dir(int fd) {
    struct statfs fs;
    struct stat status;
    if (fstatfs(fd, &fs) < 0 || fstat(fd, &status) < 0)
        return 0;
    return fs.f_type == CGROUP2_SUPER_MAGIC && status.st_uid == 0;
}

static int open_child_cgroup(int parent_fd, const char *name) {
    enable_controllers(parent_fd);
    if (mkdirat(parent_fd, name, 0755) < 0 && errno != EEXIST)
        return -1;
    int fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && !is_roots_cgroup2_dir(fd)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

static int move_self_into(int cgroup_fd) {
    char pid_text[pid_text_size];
    int length = snprintf(pid_text, sizeof pid_text, "%ld", (long)getpid());
    if (length < 0 || (size_t)length >= sizeof pid_text) {
        errno = EOVERFLOW;
        return -1;
    }
    return write_text_at(cgroup_fd, "cgroup.procs", pid_text);
}

QOR_API int qor_enter_flags(qor_t *handle, uint32_t id, uint32_t *cookie, int flags) {
    (void)flags;
    if (handle == NULL || cookie == NULL) {
        errno = EINVAL;
        return -1;
    }
    char id_text[id_text_size];
    int length = snprintf(id_text, sizeof id_text, "%" PRIu32, id);
    if (length < 0 || (size_t)length >= sizeof id_text) {
        errno = EOVERFLOW;
        return -1;
    }
    int base_fd = open_child_cgroup(handle->root_fd, container_base);
    if (base_fd < 0)
        return -1;
    int id_fd = open_child_cgroup(base_fd, id_text);
    close_keeping_errno(base_fd);
    if (id_fd < 0)
        return -1;
    int result = move_self_into(id_fd);
    close_keeping_errno(id_fd);
    if (result == 0)
        *cookie = id;
    return result;
}

QOR_API void destroy_qor(qor_t *handle) {
    if (handle == NULL)
        return;
    close_keeping_errno(handle->root_fd);
    int saved = errno;
    handle->release(handle);
    errno = saved;
}
