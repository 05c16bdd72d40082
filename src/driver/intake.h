// The intake stages that main runs in order; each ends the process on failure.
#pragma once

#include "driver/driver.h"

// The descriptor that VORNEX_REPORT_FD names when it is a Unix socket beyond the standard
// three, now close-on-exec; -1 otherwise.
int take_report_descriptor();
// Closes inherited descriptors beyond the standard three but the report descriptor (-1 for
// none) and opens any of the three that is closed.
void secure_descriptors(int report_fd);
void check_argument_count(int argc, char **argv);
void take_request(int argc, char **argv, command_request_t *request);
void check_request(const command_request_t *request);
void resolve_alias(command_request_t *request);
void look_up_account(command_request_t *request);
void read_flag_files(command_request_t *request);
// Run after authentication: a command path must not depend on the request's working directory.
void check_command_path(const command_request_t *request);
