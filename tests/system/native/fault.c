/* Fault preload for system tests: libvornexfault.so, loaded through LD_PRELOAD.
 *
 * VORNEX_FAULT="name[:n][@error][,...]" fails calls. Without n every call of that name
 * fails; with n only the n-th (1-based). error replaces the default errno: an errno name
 * ("EACCES") or a positive number; for write and fwrite also "short": the call writes one
 * unit less than asked and reports that count.
 * VORNEX_FAULT_KILL="name[:n][,...]": the process SIGKILLs itself at that call, before
 * making it.
 * VORNEX_FAULT_PATH="text": calls that carry a path or a descriptor (all but the identity,
 * password, malloc and fork calls) are counted and failed only when the path, or for a
 * descriptor its link in /proc/self/fd, contains the text. rename counts when either path
 * does; fflush(NULL) never does.
 * VORNEX_FAULT_EXE="text": the preload acts only in processes whose /proc/self/exe link
 * contains the text, so a validator or command that the server runs is left alone.
 * VORNEX_FAULT_TRACE=file: each counted call (of a name that has a rule, in scope of
 * VORNEX_FAULT_PATH) appends "<pid> <name> <n>" and "size=<bytes>", "path=<path>
 * [to=<path>]" or "fd=<fd> path=<link>". A first run with a rule whose n is never reached
 * (malloc:999999) tells a test the n of the call it wants.
 * A malformed entry ends the process with status 127 and a line on standard error.
 *
 * name        symbols interposed                          failure
 * write       write                                       -1, EIO
 * fwrite      fwrite fwrite_unlocked                      short count, EIO
 *             fputs fputs_unlocked fputc putc             EOF, EIO
 * fflush      fflush fflush_unlocked fclose               EOF, EIO; the buffer is dropped,
 *                                                         fclose still closes the stream
 * fdatasync   fdatasync                                   -1, EIO
 * rename      rename                                      -1, EIO
 * flock       flock                                       -1, ENOLCK
 * unlink      unlink                                      -1, EIO
 * initgroups  initgroups                                  -1, EPERM
 * setgid      setgid                                      -1, EPERM
 * setuid      setuid                                      -1, EPERM
 * seteuid     seteuid                                     -1, EPERM
 * getpwnam_r  getpwnam_r                                  returns EIO, result NULL
 * malloc      malloc (free passes through)                NULL, ENOMEM
 * fork        fork                                        -1, EAGAIN
 * chdir       chdir                                       -1, EIO
 * open        open open64 __open_2 __open64_2             -1, EIO
 *
 * Only calls through these symbols are seen: glibc's internal calls (stdio reaching write,
 * fopen reaching open) and the stdio functions that headers expand inline (fputc_unlocked,
 * putc_unlocked) are not. Counters are per process and per name; a forked child inherits
 * them, an exec starts afresh. The preload is for single-threaded programs. A sanitizer
 * runtime linked into the executable (clang's static ASan runtime) binds the executable's
 * own malloc first, so malloc faults need the shared runtime (gcc) or no sanitizer.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#define SHIM_API __attribute__((visibility("default")))

/* Optimised builds get a macro of this name; the real function is interposed below. */
#undef fwrite_unlocked

/* Not declared without fortification, but called by fortified programs. */
SHIM_API int __open_2(const char *path, int flags);
SHIM_API int __open64_2(const char *path, int flags);

enum call {
    call_write,
    call_fwrite,
    call_fflush,
    call_fdatasync,
    call_rename,
    call_flock,
    call_unlink,
    call_initgroups,
    call_setgid,
    call_setuid,
    call_seteuid,
    call_getpwnam_r,
    call_malloc,
    call_fork,
    call_chdir,
    call_open,
    call_count
};

static const char *const call_names[call_count] = {
    "write",  "fwrite", "fflush",  "fdatasync",  "rename", "flock", "unlink", "initgroups",
    "setgid", "setuid", "seteuid", "getpwnam_r", "malloc", "fork",  "chdir",  "open"};

static const int default_errors[call_count] = {EIO,   EIO,   EIO,   EIO, EIO,    ENOLCK, EIO, EPERM,
                                               EPERM, EPERM, EPERM, EIO, ENOMEM, EAGAIN, EIO, EIO};

enum {
    max_rules = 32,
    filter_size = 1024,
    link_size = 4096,
    trace_line_size = 8192,
    arena_size = 65536,
    arena_alignment = 16,
    max_errno = 4096,
    bad_config_status = 127,
    short_write = -1, /* error value of a rule that asks for a short count */
};

struct rule {
    enum call call;
    unsigned long nth; /* 0: every call */
    int error;
    int kill;
};

struct fault_state {
    int configured;
    int enabled;
    size_t rule_count;
    struct rule rules[max_rules];
    unsigned long counts[call_count];
    int has_path_filter;
    char path_filter[filter_size];
    int has_trace;
    char trace_path[filter_size];
};

static struct fault_state state;

static void write_stderr(const char *text, size_t length) {
    syscall(SYS_write, STDERR_FILENO, text, length);
}

__attribute__((noreturn)) static void reject_config(const char *variable, const char *entry,
                                                    size_t length) {
    static const char prefix[] = "vornex fault preload: bad entry in ";
    write_stderr(prefix, sizeof prefix - 1);
    write_stderr(variable, strlen(variable));
    write_stderr(": ", 2);
    write_stderr(entry, length);
    write_stderr("\n", 1);
    syscall(SYS_exit_group, bad_config_status);
    __builtin_unreachable();
}

static int find_call(const char *name, size_t length) {
    for (int i = 0; i < call_count; i++) {
        if (strlen(call_names[i]) == length && strncmp(call_names[i], name, length) == 0)
            return i;
    }
    return -1;
}

static int parse_number(const char *text, size_t length, unsigned long *value) {
    if (length == 0 || length > 9)
        return -1;
    unsigned long number = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        number = number * 10 + (unsigned long)(text[i] - '0');
    }
    *value = number;
    return 0;
}

static int parse_error(const char *text, size_t length, enum call call, int *error) {
    unsigned long number;
    if (parse_number(text, length, &number) == 0) {
        *error = (int)number;
        return number > 0 && number < max_errno ? 0 : -1;
    }
    if (length == 5 && strncmp(text, "short", 5) == 0) {
        *error = short_write;
        return call == call_write || call == call_fwrite ? 0 : -1;
    }
    for (int value = 1; value < max_errno; value++) {
        const char *name = strerrorname_np(value);
        if (name != NULL && strlen(name) == length && strncmp(name, text, length) == 0) {
            *error = value;
            return 0;
        }
    }
    return -1;
}

/* One entry: name[:n][@error] (no @error for kill rules). */
static int parse_rule(const char *entry, size_t length, int kill, struct rule *rule) {
    size_t name_end = strcspn(entry, ":@,");
    if (name_end > length)
        name_end = length;
    int call = find_call(entry, name_end);
    if (call < 0)
        return -1;
    rule->call = (enum call)call;
    rule->nth = 0;
    rule->error = default_errors[call];
    rule->kill = kill;
    const char *rest = entry + name_end;
    size_t rest_length = length - name_end;
    if (rest_length > 0 && rest[0] == ':') {
        size_t digits = strcspn(rest + 1, "@,");
        if (digits > rest_length - 1)
            digits = rest_length - 1;
        if (parse_number(rest + 1, digits, &rule->nth) < 0 || rule->nth == 0)
            return -1;
        rest += 1 + digits;
        rest_length -= 1 + digits;
    }
    if (rest_length > 0 && rest[0] == '@' && !kill) {
        return parse_error(rest + 1, rest_length - 1, rule->call, &rule->error);
    }
    return rest_length == 0 ? 0 : -1;
}

static void parse_rules(const char *variable, int kill) {
    const char *list = getenv(variable);
    while (list != NULL && *list != '\0') {
        size_t length = strcspn(list, ",");
        if (length > 0) {
            if (state.rule_count == max_rules ||
                parse_rule(list, length, kill, &state.rules[state.rule_count]) < 0) {
                reject_config(variable, list, length);
            }
            state.rule_count++;
        }
        list += length;
        if (*list == ',')
            list++;
    }
}

/* Bounded text building without stdio, usable inside malloc. */
struct text {
    char *data;
    size_t length;
    size_t size;
};

static void add_text(struct text *out, const char *piece) {
    size_t length = strlen(piece);
    if (length > out->size - 1 - out->length)
        length = out->size - 1 - out->length;
    memcpy(out->data + out->length, piece, length);
    out->length += length;
    out->data[out->length] = '\0';
}

static void add_number(struct text *out, unsigned long number) {
    char digits[24];
    size_t at = sizeof digits - 1;
    digits[at] = '\0';
    do {
        digits[--at] = (char)('0' + number % 10);
        number /= 10;
    } while (number > 0);
    add_text(out, digits + at);
}

static int read_link(const char *link_path, char *target, size_t size) {
    long length = syscall(SYS_readlinkat, AT_FDCWD, link_path, target, size - 1);
    if (length < 0)
        return -1;
    target[length] = '\0';
    return 0;
}

static int read_fd_link(int fd, char *target, size_t size) {
    char link_path[64];
    struct text path = {link_path, 0, sizeof link_path};
    if (fd < 0)
        return -1;
    add_text(&path, "/proc/self/fd/");
    add_number(&path, (unsigned long)fd);
    return read_link(link_path, target, size);
}

static void copy_setting(const char *variable, char *out, size_t size, int *present) {
    const char *value = getenv(variable);
    if (value == NULL)
        return;
    size_t length = strlen(value);
    if (length >= size)
        reject_config(variable, value, length);
    memcpy(out, value, length + 1);
    *present = 1;
}

static void configure(void) {
    /* Early allocations of the dynamic loader come before the environment is visible. */
    if (state.configured || environ == NULL)
        return;
    state.configured = 1;
    const char *exe_filter = getenv("VORNEX_FAULT_EXE");
    char exe[link_size];
    if (exe_filter != NULL &&
        (read_link("/proc/self/exe", exe, sizeof exe) < 0 || strstr(exe, exe_filter) == NULL)) {
        return;
    }
    parse_rules("VORNEX_FAULT", 0);
    parse_rules("VORNEX_FAULT_KILL", 1);
    copy_setting("VORNEX_FAULT_PATH", state.path_filter, sizeof state.path_filter,
                 &state.has_path_filter);
    copy_setting("VORNEX_FAULT_TRACE", state.trace_path, sizeof state.trace_path, &state.has_trace);
    state.enabled = state.rule_count > 0;
}

static int has_rule(enum call call) {
    configure();
    if (!state.enabled)
        return 0;
    for (size_t i = 0; i < state.rule_count; i++) {
        if (state.rules[i].call == call)
            return 1;
    }
    return 0;
}

/* One line per counted call: "<pid> <name> <number>[ <detail>]". The file is made
 * appendable for everyone, so calls made after a change of identity are traced too. */
static void trace_call(enum call call, unsigned long number, const char *detail) {
    char line[trace_line_size];
    struct text out = {line, 0, sizeof line - 1}; /* room for the newline */
    add_number(&out, (unsigned long)syscall(SYS_getpid));
    add_text(&out, " ");
    add_text(&out, call_names[call]);
    add_text(&out, " ");
    add_number(&out, number);
    if (detail != NULL) {
        add_text(&out, " ");
        add_text(&out, detail);
    }
    line[out.length++] = '\n';
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, state.trace_path, flags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
        syscall(SYS_fchmod, fd, 0666);
    } else {
        fd = (int)syscall(SYS_openat, AT_FDCWD, state.trace_path, flags);
    }
    if (fd < 0)
        return;
    syscall(SYS_write, fd, line, out.length);
    syscall(SYS_close, fd);
}

/* Counts one call in scope; returns 0 to make it, or the error to fail it with. */
static int count_call(enum call call, const char *detail) {
    unsigned long number = ++state.counts[call];
    if (state.has_trace)
        trace_call(call, number, detail);
    for (size_t i = 0; i < state.rule_count; i++) {
        const struct rule *rule = &state.rules[i];
        if (rule->call != call || (rule->nth != 0 && rule->nth != number))
            continue;
        if (rule->kill) {
            syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
            for (;;)
                pause();
        }
        return rule->error;
    }
    return 0;
}

static int decide_plain(enum call call) {
    return has_rule(call) ? count_call(call, NULL) : 0;
}

static int decide_size(enum call call, size_t size) {
    if (!has_rule(call))
        return 0;
    char detail[40];
    struct text out = {detail, 0, sizeof detail};
    add_text(&out, "size=");
    add_number(&out, size);
    return count_call(call, detail);
}

static int path_in_scope(const char *path) {
    return !state.has_path_filter || (path != NULL && strstr(path, state.path_filter) != NULL);
}

static int decide_paths(enum call call, const char *path, const char *other_path) {
    if (!has_rule(call))
        return 0;
    if (!path_in_scope(path) && (other_path == NULL || !path_in_scope(other_path)))
        return 0;
    char detail[trace_line_size];
    struct text out = {detail, 0, sizeof detail};
    add_text(&out, "path=");
    add_text(&out, path != NULL ? path : "(null)");
    if (other_path != NULL) {
        add_text(&out, " to=");
        add_text(&out, other_path);
    }
    return count_call(call, detail);
}

static int decide_fd(enum call call, int fd) {
    if (!has_rule(call))
        return 0;
    char target[link_size] = "";
    if ((state.has_path_filter || state.has_trace) && read_fd_link(fd, target, sizeof target) < 0) {
        target[0] = '\0';
        if (state.has_path_filter)
            return 0;
    }
    if (state.has_path_filter && strstr(target, state.path_filter) == NULL)
        return 0;
    char detail[trace_line_size];
    struct text out = {detail, 0, sizeof detail};
    add_text(&out, "fd=");
    if (fd < 0) {
        add_text(&out, "-");
    }
    add_number(&out, (unsigned long)(fd < 0 ? -(long)fd : fd));
    add_text(&out, " path=");
    add_text(&out, target);
    return count_call(call, detail);
}

static int decide_stream(enum call call, FILE *stream) {
    if (stream == NULL)
        return state.has_path_filter ? 0 : decide_plain(call);
    return decide_fd(call, fileno(stream));
}

static void *next_symbol(const char *name) {
    void *symbol = dlsym(RTLD_NEXT, name);
    if (symbol == NULL) {
        static const char message[] = "vornex fault preload: no next definition of ";
        write_stderr(message, sizeof message - 1);
        write_stderr(name, strlen(name));
        write_stderr("\n", 1);
        syscall(SYS_exit_group, bad_config_status);
    }
    return symbol;
}

static void *resolve_next(const char *name, void **slot) {
    if (*slot == NULL)
        *slot = next_symbol(name);
    return *slot;
}

/* The next definition of `name`, looked up on first use. */
#define NEXT(name) ((__typeof__(&name))resolve_next(#name, &real_##name))
#define DECLARE_NEXT(name) static void *real_##name

DECLARE_NEXT(write);
DECLARE_NEXT(fwrite);
DECLARE_NEXT(fwrite_unlocked);
DECLARE_NEXT(fputs);
DECLARE_NEXT(fputs_unlocked);
DECLARE_NEXT(fputc);
DECLARE_NEXT(putc);
DECLARE_NEXT(fflush);
DECLARE_NEXT(fflush_unlocked);
DECLARE_NEXT(fclose);
DECLARE_NEXT(fdatasync);
DECLARE_NEXT(rename);
DECLARE_NEXT(flock);
DECLARE_NEXT(unlink);
DECLARE_NEXT(initgroups);
DECLARE_NEXT(setgid);
DECLARE_NEXT(setuid);
DECLARE_NEXT(seteuid);
DECLARE_NEXT(getpwnam_r);
DECLARE_NEXT(malloc);
DECLARE_NEXT(free);
DECLARE_NEXT(fork);
DECLARE_NEXT(chdir);
DECLARE_NEXT(open);
DECLARE_NEXT(open64);
DECLARE_NEXT(__open_2);
DECLARE_NEXT(__open64_2);

/* Serves allocations made while the next malloc is being looked up (dlsym may allocate);
 * free ignores its blocks. */
static unsigned char arena[arena_size] __attribute__((aligned(arena_alignment)));
static size_t arena_used;
/* volatile: dlsym is declared a leaf function, so the compiler would drop a plain store made
 * around the call, and with it the guard against re-entry through dlsym's own allocations. */
static volatile int resolving_allocator;

static void *arena_alloc(size_t size) {
    size_t rounded = (size + arena_alignment - 1) & ~(size_t)(arena_alignment - 1);
    if (rounded < size || rounded > arena_size - arena_used)
        return NULL;
    void *block = arena + arena_used;
    arena_used += rounded;
    return block;
}

static int in_arena(const void *pointer) {
    uintptr_t address = (uintptr_t)pointer;
    return address >= (uintptr_t)arena && address < (uintptr_t)arena + arena_size;
}

SHIM_API void *malloc(size_t size) {
    if (real_malloc == NULL) {
        if (resolving_allocator)
            return arena_alloc(size);
        resolving_allocator = 1;
        real_malloc = next_symbol("malloc");
        resolving_allocator = 0;
    }
    int error = decide_size(call_malloc, size);
    if (error != 0) {
        errno = error;
        return NULL;
    }
    return ((__typeof__(&malloc))real_malloc)(size);
}

SHIM_API void free(void *pointer) {
    if (pointer == NULL || in_arena(pointer))
        return;
    if (real_free == NULL) {
        if (resolving_allocator)
            return; /* a leak, rather than a recursion */
        resolving_allocator = 1;
        real_free = next_symbol("free");
        resolving_allocator = 0;
    }
    ((__typeof__(&free))real_free)(pointer);
}

SHIM_API ssize_t write(int fd, const void *buffer, size_t count) {
    int error = decide_fd(call_write, fd);
    if (error == short_write)
        return NEXT(write)(fd, buffer, count > 0 ? count - 1 : 0);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(write)(fd, buffer, count);
}

SHIM_API size_t fwrite(const void *buffer, size_t size, size_t count, FILE *stream) {
    int error = decide_stream(call_fwrite, stream);
    if (error == short_write)
        return NEXT(fwrite)(buffer, size, count > 0 ? count - 1 : 0, stream);
    if (error != 0) {
        errno = error;
        return 0;
    }
    return NEXT(fwrite)(buffer, size, count, stream);
}

SHIM_API size_t fwrite_unlocked(const void *buffer, size_t size, size_t count, FILE *stream) {
    int error = decide_stream(call_fwrite, stream);
    if (error == short_write) {
        return NEXT(fwrite_unlocked)(buffer, size, count > 0 ? count - 1 : 0, stream);
    }
    if (error != 0) {
        errno = error;
        return 0;
    }
    return NEXT(fwrite_unlocked)(buffer, size, count, stream);
}

/* Character and string writes have no short count: "short" fails them like an error. */
static int stream_write_error(FILE *stream) {
    int error = decide_stream(call_fwrite, stream);
    return error == short_write ? EIO : error;
}

SHIM_API int fputs(const char *text, FILE *stream) {
    int error = stream_write_error(stream);
    if (error != 0) {
        errno = error;
        return EOF;
    }
    return NEXT(fputs)(text, stream);
}

SHIM_API int fputs_unlocked(const char *text, FILE *stream) {
    int error = stream_write_error(stream);
    if (error != 0) {
        errno = error;
        return EOF;
    }
    return NEXT(fputs_unlocked)(text, stream);
}

SHIM_API int fputc(int c, FILE *stream) {
    int error = stream_write_error(stream);
    if (error != 0) {
        errno = error;
        return EOF;
    }
    return NEXT(fputc)(c, stream);
}

SHIM_API int putc(int c, FILE *stream) {
    int error = stream_write_error(stream);
    if (error != 0) {
        errno = error;
        return EOF;
    }
    return NEXT(putc)(c, stream);
}

/* A failed flush loses the buffered bytes, as a failed write underneath would. */
SHIM_API int fflush(FILE *stream) {
    int error = decide_stream(call_fflush, stream);
    if (error != 0) {
        if (stream != NULL)
            __fpurge(stream);
        errno = error;
        return EOF;
    }
    return NEXT(fflush)(stream);
}

SHIM_API int fflush_unlocked(FILE *stream) {
    int error = decide_stream(call_fflush, stream);
    if (error != 0) {
        if (stream != NULL)
            __fpurge(stream);
        errno = error;
        return EOF;
    }
    return NEXT(fflush_unlocked)(stream);
}

SHIM_API int fclose(FILE *stream) {
    int error = decide_stream(call_fflush, stream);
    if (error != 0) {
        __fpurge(stream);
        NEXT(fclose)(stream);
        errno = error;
        return EOF;
    }
    return NEXT(fclose)(stream);
}

SHIM_API int fdatasync(int fd) {
    int error = decide_fd(call_fdatasync, fd);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(fdatasync)(fd);
}

SHIM_API int rename(const char *old_path, const char *new_path) {
    int error = decide_paths(call_rename, old_path, new_path);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(rename)(old_path, new_path);
}

SHIM_API int flock(int fd, int operation) {
    int error = decide_fd(call_flock, fd);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(flock)(fd, operation);
}

SHIM_API int unlink(const char *path) {
    int error = decide_paths(call_unlink, path, NULL);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(unlink)(path);
}

SHIM_API int chdir(const char *path) {
    int error = decide_paths(call_chdir, path, NULL);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(chdir)(path);
}

/* Sets errno and tells whether the call is to fail. */
static int fails_plain(enum call call) {
    int error = decide_plain(call);
    if (error != 0) {
        errno = error;
    }
    return error != 0;
}

SHIM_API int initgroups(const char *user, gid_t group) {
    return fails_plain(call_initgroups) ? -1 : NEXT(initgroups)(user, group);
}

SHIM_API int setgid(gid_t gid) {
    return fails_plain(call_setgid) ? -1 : NEXT(setgid)(gid);
}

SHIM_API int setuid(uid_t uid) {
    return fails_plain(call_setuid) ? -1 : NEXT(setuid)(uid);
}

SHIM_API int seteuid(uid_t uid) {
    return fails_plain(call_seteuid) ? -1 : NEXT(seteuid)(uid);
}

SHIM_API int getpwnam_r(const char *name, struct passwd *entry, char *buffer, size_t size,
                        struct passwd **result) {
    int error = decide_plain(call_getpwnam_r);
    if (error != 0) {
        *result = NULL;
        return error;
    }
    return NEXT(getpwnam_r)(name, entry, buffer, size, result);
}

SHIM_API pid_t fork(void) {
    return fails_plain(call_fork) ? -1 : NEXT(fork)();
}

static int wants_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

SHIM_API int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    int error = decide_paths(call_open, path, NULL);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(open)(path, flags, mode);
}

SHIM_API int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    int error = decide_paths(call_open, path, NULL);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(open64)(path, flags, mode);
}

SHIM_API int __open_2(const char *path, int flags) {
    int error = decide_paths(call_open, path, NULL);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(__open_2)(path, flags);
}

SHIM_API int __open64_2(const char *path, int flags) {
    int error = decide_paths(call_open, path, NULL);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return NEXT(__open64_2)(path, flags);
}
