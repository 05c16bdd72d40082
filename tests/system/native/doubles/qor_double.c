/* Recording double of libqor.so.0. Each call logs one line; a line is exactly
 *   "init_qor", "qor_enter_flags id=<id> flags=<flags>", "destroy_qor"
 * when the call is as the command server must make it, and gets " key=value" notes
 * appended when it is not: alloc=other or release=other (not malloc and free),
 * handle=null or handle=bad (not a live handle of init_qor), cookie=null, euid=<n> (not
 * called as root). VORNEX_DOUBLE_FAIL makes init_qor return NULL and qor_enter_flags
 * return -1, both with errno EPERM. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "double_log.h"
#include "qor.h"

#define DOUBLE_API __attribute__((visibility("default")))

enum { note_size = 256, live_magic = 0x716f7231, dead_magic = 0x64656164 };

struct qor {
    unsigned magic;
    void (*release)(void *);
};

static void append_note(char *line, size_t size, const char *note) {
    size_t used = strnlen(line, size);
    (void)snprintf(line + used, size - used, " %s", note);
}

static const char *check_handle(const qor_t *handle) {
    if (handle == NULL)
        return "handle=null";
    return handle->magic == live_magic ? NULL : "handle=bad";
}

static void note_euid(char *line, size_t size) {
    if (geteuid() == 0)
        return;
    char note[note_size];
    (void)snprintf(note, sizeof note, "euid=%u", geteuid());
    append_note(line, size, note);
}

DOUBLE_API qor_t *init_qor(void *(*alloc)(size_t), void (*release)(void *)) {
    char line[note_size] = "init_qor";
    if (alloc != malloc)
        append_note(line, sizeof line, "alloc=other");
    if (release != free)
        append_note(line, sizeof line, "release=other");
    note_euid(line, sizeof line);
    double_log_line(line);
    if (double_should_fail("init_qor") || alloc == NULL) {
        errno = EPERM;
        return NULL;
    }
    qor_t *handle = alloc(sizeof *handle);
    if (handle == NULL)
        return NULL;
    handle->magic = live_magic;
    handle->release = release;
    return handle;
}

DOUBLE_API int qor_enter_flags(qor_t *handle, uint32_t id, uint32_t *cookie, int flags) {
    char line[note_size];
    (void)snprintf(line, sizeof line, "qor_enter_flags id=%u flags=%d", id, flags);
    const char *handle_note = check_handle(handle);
    if (handle_note != NULL)
        append_note(line, sizeof line, handle_note);
    if (cookie == NULL)
        append_note(line, sizeof line, "cookie=null");
    note_euid(line, sizeof line);
    double_log_line(line);
    if (handle_note != NULL || cookie == NULL) {
        errno = EINVAL;
        return -1;
    }
    if (double_should_fail("qor_enter_flags")) {
        errno = EPERM;
        return -1;
    }
    *cookie = id;
    return 0;
}

DOUBLE_API void destroy_qor(qor_t *handle) {
    char line[note_size] = "destroy_qor";
    const char *handle_note = check_handle(handle);
    if (handle_note != NULL)
        append_note(line, sizeof line, handle_note);
    note_euid(line, sizeof line);
    double_log_line(line);
    if (handle_note != NULL)
        return;
    handle->magic = dead_magic;
    handle->release(handle);
}
