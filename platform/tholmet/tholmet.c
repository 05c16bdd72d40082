/* Quota capability. The caller has real and saved uid 0 and a user's effective uid; the
 * change of the effective uid emptied the effective set, while the permitted set still
 * holds CAP_SYS_RESOURCE, so raising it again is allowed. */
#include "tholmet.h"

#include <errno.h>
#include <stddef.h>
#include <sys/capability.h>

#include "build_note.h"

#define THOLMET_API __attribute__((visibility("default")))

VORNEX_BUILD_NOTE;

THOLMET_API int enable_quota_capability(void) {
    cap_t caps = cap_get_proc();
    if (caps == NULL)
        return -1;
    const cap_value_t wanted[] = {CAP_SYS_RESOURCE};
    int result = -1;
    if (cap_set_flag(caps, CAP_EFFECTIVE, 1, wanted, CAP_SET) == 0 && cap_set_proc(caps) == 0) {
        result = 0;
    }
    int saved = errno;
    cap_free(caps);
    errno = saved;
    return result;
}
