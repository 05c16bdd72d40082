/* Resource containers: each container is known by an unsigned 32-bit id and is a cgroup
 * "vornex/<id>" below the cgroup v2 hierarchy of the host. */
#ifndef VORNEX_PLATFORM_QOR_H
#define VORNEX_PLATFORM_QOR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qor qor_t;

/* Finds the writable cgroup v2 hierarchy. The handle is allocated with `alloc` and later
 * released with `release`. Returns NULL when there is no writable hierarchy or the
 * allocation failed. */
qor_t *init_qor(void *(*alloc)(size_t), void (*release)(void *));

/* Moves the calling process into the container `id`, creating it when missing. `cookie`
 * receives the id. `flags` is accepted for compatibility and does not change the outcome.
 * Returns 0 when the process is in the container, -1 with errno set otherwise. The
 * membership outlasts the handle and execv. */
int qor_enter_flags(qor_t *handle, uint32_t id, uint32_t *cookie, int flags);

/* Releases the handle with the release function given to init_qor. NULL is ignored. */
void destroy_qor(qor_t *handle);

#ifdef __cplusplus
}
#endif

#endif
