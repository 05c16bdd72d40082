// The request record and the exit routines: every end of the process other than the exec
// of the command goes through these.
#pragma once

#include <pwd.h>

#include <cstdint>

#include "common/common.h"
#include "common/report.h"
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

// The report that a front-end may ask for (VORNEX_REPORT_FD): once it is started, every exit
// routine sends the end that a stage set just before calling it, ahead of the line on
// standard error. The end defaults to refused for exit_unauthorized, to crontab-check for
// exit_prog(0) and to internal otherwise. Without a report descriptor nothing is sent.
void start_report(int fd);
void set_end(end_kind kind);
// The end with its fields; the texts must stay readable until the exit routine has run.
void set_end_with(end_kind kind, int32_t number, const char *text, const char *detail);
// One record now; it never waits and never fails the request.
void send_report(end_kind kind, int32_t number, const char *text, const char *detail);

[[noreturn]] void exit_with_error(int status, const char *message);
[[noreturn]] void exit_prog(int status);
[[noreturn]] void exit_unauthorized();
[[noreturn]] void exit_err(const char *program);

// The launch: validator, container, identity, HOME, crontab aliases, pid file, exec.
[[noreturn]] void launch_command(const command_request_t *request);
