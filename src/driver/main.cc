// The command server: one process serves one request and ends either as the command or
// through the exit routines.

#include <sys/stat.h>

#include "auth/auth.h"
#include "common/common.h"
#include "driver/driver.h"
#include "driver/intake.h"

namespace {

// No file the process creates later carries write permission for group or others.
constexpr mode_t creation_mask = 022;

}  // namespace

int main(int argc, char **argv) {
    int report_fd = take_report_descriptor();
    start_report(report_fd);
    secure_descriptors(report_fd);
    command_request_t request{};
    open_log(log_ident);
    umask(creation_mask);
    check_argument_count(argc, argv);
    take_request(argc, argv, &request);
    check_request(&request);
    resolve_alias(&request);
    look_up_account(&request);
    read_flag_files(&request);
    authenticate_request(&request);
    check_command_path(&request);
    launch_command(&request);
}
