// Process services: running a child to completion, entering a resource container.
#pragma once

#include <cstdint>

// Runs `program` with `argv` as a child and waits for it: its exit status, 128 plus the
// signal that killed it, or -1 when it could not be forked or waited for.
int fork_execv(const char *program, char *const argv[], int quiet);

// Folds a wait status as fork_execv does; logs under the program's name where it says so.
int fold_wait_status(const char *program, int status);

// Moves the process into the resource container of `id`; ends the process on failure.
void enter_qor(uint32_t id);
