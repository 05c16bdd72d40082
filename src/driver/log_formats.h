// The format of every line that the server logs. vornexctl explain formats its predictions
// with the very same ones, so that a reworded line cannot drift between the server and the
// tool. Request values only ever go in as arguments.
#pragma once

constexpr const char forked_log_ident[] = "vornex.command.server.forked";

// Which command files count and the alias lookup.
constexpr const char log_opendir_failed[] =
    "opendir: Path '%s' does not exist or could not be read";
constexpr const char log_command_dir_unsafe[] =
    "Command directory %s is not safe (owner uid %u, mode %o), refusing the request";
constexpr const char log_stat_failed[] = "Unable to stat file '%s': %s";
constexpr const char log_not_regular[] = "File '%s' is not a regular file";
constexpr const char log_open_failed[] = "Unable to open file '%s' for reading: %s";
constexpr const char log_command_file_unsafe[] =
    "Command file %s is not safe (owner uid %u, mode %o), refusing the request";
constexpr const char log_alias_not_found[] = "Can't find alias: user: %s, command: %s";

// The request and the requesting account.
constexpr const char log_empty_arguments[] =
    "Empty arguments are not allowed: user: %s, cwd: %s, command: %s, pid: %s";
constexpr const char log_pid_not_number[] = "Only valid numbers allowed as pid value, pid: %s";
constexpr const char log_getpwnam_failed[] = "getpwnam_r: %s";
constexpr const char log_no_user_info[] = "Can't get user info %s";
constexpr const char log_root_refused[] = "Can't run program as root";
constexpr const char log_no_home[] = "Can't get home directory for user %s";
constexpr const char log_command_not_absolute[] = "Command path %s is not absolute, user %s";

// Token checks, the auth log and its lock. In the texts that begin with "Can`" the character
// after "Can" is a grave accent, not an apostrophe.
constexpr const char log_no_lock_file[] = "Can`t open auth lock file %s for user %s";
constexpr const char log_no_auth_log[] = "Can`t open auth log file %s for user %s";
constexpr const char log_token_missing[] = "File %s not exists, user: %s";
constexpr const char log_token_incorrect[] = "Token is incorrect for user %s";
constexpr const char log_token_owner[] =
    "owner of file %s:%d and data from socket %s:%d are different, user: %s";
constexpr const char log_token_mode[] =
    "file %s mode should be 0400 (octal), but it is %o, user: %s";
constexpr const char log_invalid_token[] = "Invalid ferrymate command token for user: %s (UID: %d)";
constexpr const char log_rename_failed[] =
    "failed to rename auth log file from %s to %s for user %s";
constexpr const char log_temp_removed[] = "temporary auth log %s was removed not renamed";
constexpr const char log_no_passwd_info[] = "Can't get passwd info for user %s";

// The launch. log_execv_failed is logged by a forked child under forked_log_ident.
constexpr const char log_cant_start[] = "Can't start program %s";
constexpr const char log_execv_failed[] = "Error in execv (%s)";
constexpr const char log_pid_file_failed[] = "Unable to create pid file %s: %s";
constexpr const char log_chdir_failed[] = "Failed to change directory to '%s': %s";

// Failure paths that the tool does not predict: they depend on the running process.
constexpr const char log_too_few_arguments[] = "Less then 5 arguments passed";
constexpr const char log_user_argument[] = "User -> %s";
constexpr const char log_unsetenv_failed[] =
    "failed to unset VORNEX_TOKEN environment variable: %s";
constexpr const char log_report_unsetenv_failed[] =
    "failed to unset VORNEX_REPORT_FD environment variable: %s";
constexpr const char log_token_variable_missing[] =
    "VORNEX_TOKEN environment variable is missing or empty, value: %s";
constexpr const char log_argument_missing[] =
    "One of the arguments missing: user: %s, cwd: %s, command: %s, pid: %s";
constexpr const char log_allocation_failed[] = "Can't allocate memory %u bytes, user %s";
constexpr const char log_initgroups_failed[] =
    "Can't init groups of process for user %s with additional group %u. Current user ID %u, euser "
    "ID %u, group ID %u, egroup ID %u";
constexpr const char log_setgid_user_failed[] =
    "Can't change process permissions for group %s. Current group ID %u, egroup ID %u";
constexpr const char log_setuid_user_failed[] =
    "Can't change process permissions for user %s. Current user ID %u, euser ID %u";
constexpr const char log_setgid_failed[] =
    "Can't change process permissions to GID %u. Current group ID %u, egroup ID %u, user %s";
constexpr const char log_setuid_failed[] =
    "Can't change process permissions to UID %u. Current user ID %u, euser ID %u, user %s";
constexpr const char log_seteuid_root_failed[] =
    "Can't change process permissions to EUID 0. Current user ID %u, euser ID %u, user %s";
constexpr const char log_capability_failed[] = "set CAP_SYS_RESOURCE failed: %s";
constexpr const char log_pid_file_write_error[] = "Write error for pid file %s: %s";
constexpr const char log_pid_file_short_write[] = "Failed to write %u bytes to pid file %s";
constexpr const char log_pid_file_close_failed[] = "Failed to close pid file %s: %s";
constexpr const char log_container_init_failed[] = "init_qor_generic() failed.";
constexpr const char log_container_enter_failed[] = "qor_enter_flags() failed for qor id %u.";
constexpr const char log_child_failed[] = "Error while executing %s (%d)";
constexpr const char log_fork_failed[] = "Unable to fork (%s)";
constexpr const char log_waitpid_failed[] = "waitpid() failed for child %s (%s)";
constexpr const char log_token_fstat_failed[] = "fstat failed for file %s, user: %s";
constexpr const char log_temp_not_removed[] = "failed to remove temporary auth log %s";
constexpr const char log_lock_failed[] = "Lock file (%s) error: %s";
constexpr const char log_unlock_failed[] = "Unlock auth log file (fileno: %d) error: %s";
constexpr const char log_auth_log_write_failed[] = "Can`t write to auth log file %s for user %s";
constexpr const char log_auth_log_flush_failed[] = "Can`t flush to auth log file %s for user %s";
constexpr const char log_fdatasync_failed[] = "fdatasync failed for auth log file %s for user %s";
constexpr const char log_copy_failed[] = "Failed to allocate memory for %s: %s";
constexpr const char log_node_failed[] = "Failed to allocate memory for node_t: %s";
constexpr const char log_node_name_failed[] =
    "Failed to allocate memory for the new node's data: %s";
