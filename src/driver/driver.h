// The request record and the exit routines: every end of the process other than the exec
// of the command goes through these.
#pragma once

#include <pwd.h>

#include "common/common.h"
#include "registry/registry.h"

struct command_request_t {
    int argc;
    char **argv;
    const char *user_name;
    const char *cwd;
    const char *alias;
    const char *pid;
    // Points into the process's initial environment block, which unsetenv does not free.
    const char *token;
    alias_entry_t entry;
    struct passwd account;
    char account_buffer[passwd_buffer_size];
    int shared_uid_search_disabled;
};

[[noreturn]] void exit_with_error(int status, const char *message);
[[noreturn]] void exit_prog(int status);
[[noreturn]] void exit_unauthorized();
[[noreturn]] void exit_err(const char *program);

// 1 when every byte of the text is an ASCII decimal digit (an empty text included).
int is_valid_number(const char *text);

// The launch: validator, container, identity, HOME, crontab aliases, pid file, exec.
[[noreturn]] void launch_command(const command_request_t *request);
