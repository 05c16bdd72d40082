/* Quota capability: lets a process whose effective uid is a user's, while its real and
 * saved uid are still 0, exceed that user's disk quota. */
#ifndef VORNEX_PLATFORM_THOLMET_H
#define VORNEX_PLATFORM_THOLMET_H

#ifdef __cplusplus
extern "C" {
#endif

/* Raises CAP_SYS_RESOURCE in the effective set from the permitted set. Returns 0, or -1
 * with errno set (EPERM when the permitted set lacks it). */
int enable_quota_capability(void);

#ifdef __cplusplus
}
#endif

#endif
