// Token authentication of a request.
#pragma once

#include "driver/driver.h"

// Returns only when the request's token is accepted; otherwise ends through exit_prog(1).
void authenticate_request(const command_request_t *request);
