// The intake stages that main runs in order; each ends the process on failure.
#pragma once

#include "driver/driver.h"

// Closes inherited descriptors beyond the standard three and opens any of those that is closed.
void secure_descriptors();
void check_argument_count(int argc, char **argv);
void take_request(int argc, char **argv, command_request_t *request);
void check_request(const command_request_t *request);
void resolve_alias(command_request_t *request);
void look_up_account(command_request_t *request);
void read_flag_files(command_request_t *request);
// Run after authentication: a command path must not depend on the request's working directory.
void check_command_path(const command_request_t *request);
