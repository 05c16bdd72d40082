// The facts of an installation that more than one program states: where the per-user state
// lies, the pid file of a request, the masks that modes are judged and shown with, how far a
// path is followed through links, the installed programs and the way in's socket, limits and
// signals. Every program includes this header; nothing here is
// linked.
#pragma once

#include <csignal>
#include <cstdint>

#include <sys/types.h>

// The per-user state: "/var/vornex/<prefix>/<name>/", the prefix being the uid modulo
// uid_prefix_count as two decimal digits ("00" to "99").
constexpr const char state_root[] = "/var/vornex";
constexpr uint32_t uid_prefix_count = 100;

// The pid file of a request, written as the requesting user: "<home>/.vornex/tmp/
// .vornex.proxy.<pid>", formatted from the home directory and the pid as text. Its directory,
// one level at a time.
constexpr const char pid_file_format[] = "%s/.vornex/tmp/.vornex.proxy.%s";
constexpr const char pid_parent_name[] = ".vornex";
constexpr const char pid_dir_name[] = "tmp";

// A mode as it is shown: the permission bits with set-id and sticky bits.
constexpr mode_t mode_bits = 07777;
// What the token file check compares with its mode: the permission bits alone (set-id and
// sticky bits are not examined).
constexpr mode_t token_check_bits = 0777;
// Write permission for the owner, the group and others; a file or directory that root alone
// may change is root's and has neither of the last two.
constexpr mode_t owner_write = 0200;
constexpr mode_t group_write = 020;
constexpr mode_t other_write = 02;
constexpr mode_t group_other_write = group_write | other_write;

// As many links as the kernel follows on one path.
constexpr int link_limit = 40;

// The installed programs. The server's validator is found at validator_path; the shipped
// validator, validator_program, is installed when that path leads to it.
constexpr const char server_path[] = "/usr/libexec/vornex/vornex-command-server";
constexpr const char frontend_path[] = "/usr/libexec/vornex/vornex-frontend";
constexpr const char validator_program[] = "/usr/libexec/vornex/vornex-check-params";
constexpr const char validator_path[] = "/usr/share/vornex/check_params.py";

// The way in: the socket the service listens on, in the runtime directory that also holds
// the per-uid slot files; how many live requests a uid may have unless the listener is told
// otherwise (vornex.service passes the same number); the signals the client passes on and the
// front-end delivers to the command, once it runs.
constexpr const char run_dir[] = "/run/vornex";
constexpr const char default_socket_path[] = "/run/vornex/vornex.sock";
constexpr int per_uid_default = 8;
constexpr int forwarded_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGWINCH};
