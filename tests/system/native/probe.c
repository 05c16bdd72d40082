/* Probe: a command (or validator) for system tests that reports what it observes.
 *
 * One run appends one JSON object as one line to "$PROBE_DIR/<basename of argv[0]>.jsonl":
 * argv, pid, ppid, uid and gid (real, effective, saved), groups, cwd, env, fds (descriptor
 * to link target), caps (the Cap* lines of /proc/self/status), sigign and sigblk, umask,
 * cgroup (the text of /proc/self/cgroup) and last setuid0: "ok" or the errno name of a
 * setuid(0) tried after everything else was recorded. Strings are byte strings: '"' and
 * '\' are escaped, control bytes and bytes from 0x80 on are written as \u00XX, so a test
 * gets the bytes back with .encode("latin-1").
 *
 * Then "$PROBE_DIR/<basename>.stdout", when present, is copied to standard output, and the
 * exit status is the number in "$PROBE_DIR/<basename>.exit", when present, else 0. Without
 * PROBE_DIR nothing is written and the status is 0. Linked statically, so no library path
 * or preload of a test reaches it.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum {
    path_size = 4096,
    line_size = 4096,
    status_copy_size = 65536,
    report_failed_status = 125,
};

struct buffer {
    char *data;
    size_t length;
    size_t capacity;
    int failed;
};

static void append_bytes(struct buffer *out, const char *bytes, size_t count) {
    if (out->failed)
        return;
    if (out->length + count + 1 > out->capacity) {
        size_t capacity = out->capacity ? out->capacity : 4096;
        while (out->length + count + 1 > capacity)
            capacity *= 2;
        char *grown = realloc(out->data, capacity);
        if (grown == NULL) {
            out->failed = 1;
            return;
        }
        out->data = grown;
        out->capacity = capacity;
    }
    memcpy(out->data + out->length, bytes, count);
    out->length += count;
    out->data[out->length] = '\0';
}

static void append_text(struct buffer *out, const char *text) {
    append_bytes(out, text, strlen(text));
}

__attribute__((format(printf, 2, 3))) static void append_format(struct buffer *out,
                                                                const char *format, ...) {
    char text[line_size];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0 || (size_t)length >= sizeof text) {
        out->failed = 1;
        return;
    }
    append_bytes(out, text, (size_t)length);
}

static void append_json_bytes(struct buffer *out, const char *bytes, size_t count) {
    append_text(out, "\"");
    for (size_t i = 0; i < count; i++) {
        unsigned char byte = (unsigned char)bytes[i];
        if (byte == '"' || byte == '\\') {
            char escaped[2] = {'\\', (char)byte};
            append_bytes(out, escaped, sizeof escaped);
        } else if (byte < 0x20 || byte >= 0x7f) {
            append_format(out, "\\u%04x", byte);
        } else {
            append_bytes(out, (const char *)&bytes[i], 1);
        }
    }
    append_text(out, "\"");
}

static void append_json_string(struct buffer *out, const char *text) {
    if (text == NULL) {
        append_text(out, "null");
    } else {
        append_json_bytes(out, text, strlen(text));
    }
}

static void append_string_array(struct buffer *out, char *const *strings) {
    append_text(out, "[");
    for (size_t i = 0; strings != NULL && strings[i] != NULL; i++) {
        if (i > 0)
            append_text(out, ",");
        append_json_string(out, strings[i]);
    }
    append_text(out, "]");
}

static void append_ids(struct buffer *out) {
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    getresuid(&ruid, &euid, &suid);
    getresgid(&rgid, &egid, &sgid);
    append_format(out, ",\"uid\":[%u,%u,%u],\"gid\":[%u,%u,%u]", ruid, euid, suid, rgid, egid,
                  sgid);
    append_text(out, ",\"groups\":[");
    int count = getgroups(0, NULL);
    gid_t *groups = count > 0 ? calloc((size_t)count, sizeof *groups) : NULL;
    if (groups != NULL) {
        count = getgroups(count, groups);
        for (int i = 0; i < count; i++)
            append_format(out, "%s%u", i > 0 ? "," : "", groups[i]);
        free(groups);
    }
    append_text(out, "]");
}

static void append_cwd(struct buffer *out) {
    char cwd[path_size];
    append_text(out, ",\"cwd\":");
    append_json_string(out, getcwd(cwd, sizeof cwd));
}

static void append_fds(struct buffer *out) {
    append_text(out, ",\"fds\":{");
    DIR *dir = opendir("/proc/self/fd");
    if (dir != NULL) {
        int listing_fd = dirfd(dir);
        int first = 1;
        for (struct dirent *entry = readdir(dir); entry != NULL; entry = readdir(dir)) {
            if (entry->d_name[0] == '.' || atoi(entry->d_name) == listing_fd)
                continue;
            char target[path_size];
            ssize_t length = readlinkat(listing_fd, entry->d_name, target, sizeof target - 1);
            target[length < 0 ? 0 : length] = '\0';
            append_text(out, first ? "" : ",");
            append_json_string(out, entry->d_name);
            append_text(out, ":");
            append_json_string(out, target);
            first = 0;
        }
        closedir(dir);
    }
    append_text(out, "}");
}

/* Copies the value of the status line "<key>:\t<value>" as a JSON string. */
static void append_status_value(struct buffer *out, const char *status, const char *key) {
    size_t key_length = strlen(key);
    for (const char *line = status; line != NULL && *line != '\0';) {
        const char *end = strchr(line, '\n');
        size_t length = end ? (size_t)(end - line) : strlen(line);
        if (length > key_length && strncmp(line, key, key_length) == 0 && line[key_length] == ':') {
            const char *value = line + key_length + 1;
            while (*value == '\t' || *value == ' ')
                value++;
            append_json_bytes(out, value, length - (size_t)(value - line));
            return;
        }
        line = end ? end + 1 : NULL;
    }
    append_text(out, "null");
}

/* Reads a whole small file; NULL when it cannot be read. The caller frees the result. */
static char *read_file(const char *path, size_t *length_out) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    struct buffer content = {0};
    char chunk[line_size];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        append_bytes(&content, chunk, (size_t)got);
    close(fd);
    append_bytes(&content, "", 0);
    if (got < 0 || content.failed) {
        free(content.data);
        return NULL;
    }
    if (length_out != NULL)
        *length_out = content.length;
    return content.data;
}

static void append_status(struct buffer *out) {
    static const char *const caps[] = {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"};
    char *status = read_file("/proc/self/status", NULL);
    append_text(out, ",\"caps\":{");
    for (size_t i = 0; i < sizeof caps / sizeof caps[0]; i++) {
        append_format(out, "%s\"%s\":", i > 0 ? "," : "", caps[i]);
        append_status_value(out, status, caps[i]);
    }
    append_text(out, "},\"sigign\":");
    append_status_value(out, status, "SigIgn");
    append_text(out, ",\"sigblk\":");
    append_status_value(out, status, "SigBlk");
    append_text(out, ",\"umask\":");
    append_status_value(out, status, "Umask");
    free(status);
    char *cgroup = read_file("/proc/self/cgroup", NULL);
    append_text(out, ",\"cgroup\":");
    append_json_string(out, cgroup);
    free(cgroup);
}

static void append_setuid_result(struct buffer *out) {
    const char *result = "ok";
    if (setuid(0) < 0) {
        result = strerrorname_np(errno);
        if (result == NULL)
            result = "unknown";
    }
    append_text(out, ",\"setuid0\":");
    append_json_string(out, result);
}

static int build_path(char *path, size_t size, const char *dir, const char *name,
                      const char *suffix) {
    int length = snprintf(path, size, "%s/%s%s", dir, name, suffix);
    return length < 0 || (size_t)length >= size ? -1 : 0;
}

static int write_all(int fd, const char *bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return -1;
        bytes += written;
        count -= (size_t)written;
    }
    return 0;
}

/* The report is readable and appendable by every identity a test runs the probe under. */
static int open_report(const char *path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        fchmod(fd, 0666);
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    return open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
}

static int save_report(const char *path, const struct buffer *report) {
    if (report->failed)
        return -1;
    int fd = open_report(path);
    if (fd < 0)
        return -1;
    int result = write_all(fd, report->data, report->length);
    if (close(fd) < 0)
        result = -1;
    return result;
}

static void copy_stdout(const char *path) {
    size_t length = 0;
    char *content = read_file(path, &length);
    if (content == NULL)
        return;
    (void)write_all(STDOUT_FILENO, content, length);
    free(content);
}

static int read_exit_status(const char *path) {
    char *content = read_file(path, NULL);
    if (content == NULL)
        return 0;
    int status = atoi(content);
    free(content);
    return status & 0xff;
}

int main(int argc, char **argv) {
    (void)argc;
    const char *dir = getenv("PROBE_DIR");
    if (dir == NULL)
        return 0;
    const char *name = argv[0] != NULL ? argv[0] : "probe";
    const char *slash = strrchr(name, '/');
    if (slash != NULL)
        name = slash + 1;
    char report_path[path_size], stdout_path[path_size], exit_path[path_size];
    if (build_path(report_path, sizeof report_path, dir, name, ".jsonl") < 0 ||
        build_path(stdout_path, sizeof stdout_path, dir, name, ".stdout") < 0 ||
        build_path(exit_path, sizeof exit_path, dir, name, ".exit") < 0) {
        return report_failed_status;
    }

    struct buffer report = {0};
    append_text(&report, "{\"argv\":");
    append_string_array(&report, argv);
    append_format(&report, ",\"pid\":%ld,\"ppid\":%ld", (long)getpid(), (long)getppid());
    append_ids(&report);
    append_cwd(&report);
    append_text(&report, ",\"env\":");
    append_string_array(&report, environ);
    append_fds(&report);
    append_status(&report);
    append_setuid_result(&report);
    append_text(&report, "}\n");

    if (save_report(report_path, &report) < 0) {
        static const char message[] = "probe: cannot write its report\n";
        (void)write_all(STDERR_FILENO, message, sizeof message - 1);
        return report_failed_status;
    }
    free(report.data);
    copy_stdout(stdout_path);
    return read_exit_status(exit_path);
}
