// A child process with a time limit: the children of the tool and of the front-end that take
// another user's identity, whose files that user may make hang.
#pragma once

enum class child_end { ended, killed, lost, not_started };

// Forks a child that runs `body` with `context` (it never returns) and waits for it to end for
// at most `timeout_ms`. A child that is late is killed; one that does not end even then (stuck
// in the kernel) is waited for a moment longer and then left unreaped. `*status` is the wait
// status of a child that ended; `lost` tells that it could not be waited for.
child_end run_bounded_child(void (*body)(const void *context), const void *context, int timeout_ms,
                            int *status);
