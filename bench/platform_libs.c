/* /bin/true with the server's platform libraries: linked like the server (PIE, immediate
 * binding) against libqor.so.0 and libtholmet.so.0, and so libcap.so.2, it exits at once.
 * Against the floor it shows what loading those libraries costs each request. */
#include "qor.h"
#include "tholmet.h"

int main(void) {
    /* Taken, never called: the loader must still bind them, as it does for the server. */
    qor_t *(*volatile init)(void *(*)(size_t), void (*)(void *)) = init_qor;
    int (*volatile enable)(void) = enable_quota_capability;
    (void)init;
    (void)enable;
    return 0;
}
