// Entry into the requesting uid's resource container. The membership outlasts the handle and
// the exec of the command.

#include <cstdlib>

#include <syslog.h>

#include "driver/driver.h"
#include "driver/log_formats.h"
#include "proc/proc.h"
#include "qor.h"

namespace {

constexpr int qor_flags = 6;

qor_t *init_qor_generic() {
    return init_qor(malloc, free);
}

[[noreturn]] void fail_container() {
    set_end(end_kind::container);
    exit_prog(1);
}

}  // namespace

void enter_qor(uint32_t id) {
    qor_t *handle = init_qor_generic();
    if (handle == nullptr) {
        syslog(LOG_ERR, log_container_init_failed);
        fail_container();
    }
    uint32_t cookie = 0;
    int result = qor_enter_flags(handle, id, &cookie, qor_flags);
    destroy_qor(handle);
    if (result != 0) {
        syslog(LOG_ERR, log_container_enter_failed, id);
        fail_container();
    }
}
