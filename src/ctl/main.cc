// vornexctl: checks the command files, lists the aliases, explains a request stage by stage,
// shows or lifts the lockout of a name, and issues, rotates and revokes token files. Run by
// root only.

#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "ctl/ctl.h"

namespace {

// Files that reset creates (the lock file, the temporary auth log) carry no write
// permission for group or others, as the server's do.
constexpr mode_t creation_mask = 022;
constexpr const char ctl_log_ident[] = "vornexctl";
constexpr const char json_option[] = "--json";

constexpr const char usage[] =
    "usage: vornexctl check [--json] [--root DIR] [FILE...]\n"
    "       vornexctl check [--json] --users [--all]\n"
    "       vornexctl list [--json] [USER]\n"
    "       vornexctl explain [--json] [--pid PID] [--cwd DIR] USER ALIAS [ARG...]\n"
    "       vornexctl status [--json] [NAME...]\n"
    "       vornexctl reset [--json] NAME...\n"
    "       vornexctl token issue [--json] [--rotate] NAME... | --all\n"
    "       vornexctl token rotate [--json] NAME...\n"
    "       vornexctl token revoke [--json] [--purge [--uid UID] [--force]] NAME...\n";

struct subcommand_t {
    const char *name;
    int (*run)(int argc, char **argv, bool json);
    bool logs;  // writes to syslog; the others read only and log nothing
};

constexpr subcommand_t subcommands[] = {
    {"check", run_check, false},   {"list", run_list, false},  {"explain", run_explain, false},
    {"status", run_status, false}, {"reset", run_reset, true}, {"token", run_token, true},
};

[[noreturn]] void exit_usage() {
    fputs(usage, stderr);
    exit(status_usage);
}

// Both the real and the effective uid must be root: the tool reads root's files and takes
// the server's locks, and is never meant to run set-uid.
void require_root() {
    if (getuid() != 0 || geteuid() != 0) {
        fputs("vornexctl: must be run as root\n", stderr);
        exit(status_usage);
    }
}

const subcommand_t *find_subcommand(int argc, char **argv) {
    if (argc < 2) {
        exit_usage();
    }
    if (strcmp(argv[1], "help") == 0 || strcmp(argv[1], "--help") == 0) {
        fputs(usage, stdout);
        exit(status_fine);
    }
    for (const subcommand_t &command : subcommands) {
        if (strcmp(argv[1], command.name) == 0) {
            return &command;
        }
    }
    print_error(argv[1], "no such subcommand");
    exit_usage();
}

// "--json" counts anywhere before a "--"; it is taken out, and the words after it move up in
// their order. The "--" itself stays for the subcommand, which knows its own options.
int take_json_option(int argc, char **argv, bool *json) {
    int kept = 0;
    bool operands_only = false;
    for (int i = 0; i < argc; ++i) {
        operands_only = operands_only || strcmp(argv[i], "--") == 0;
        if (!operands_only && strcmp(argv[i], json_option) == 0) {
            *json = true;
            continue;
        }
        argv[kept++] = argv[i];
    }
    return kept;
}

// Output that did not reach standard output is a failure of its own.
int finish_output(int status) {
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        fputs("vornexctl: cannot write the output\n", stderr);
        return status_usage;
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    require_root();
    umask(creation_mask);
    // Whoever started the tool may have left SIGCHLD ignored; the children that explain and
    // token start would then vanish without a status to wait for.
    signal(SIGCHLD, SIG_DFL);
    openlog(ctl_log_ident, LOG_PID, LOG_AUTHPRIV);
    // "--json" may also come before the subcommand's name.
    bool json = false;
    argc = 1 + take_json_option(argc - 1, argv + 1, &json);
    const subcommand_t *command = find_subcommand(argc, argv);
    // The shared code logs what the server would log; the tool itself never logs at debug,
    // so this mask keeps every line of the read-only subcommands out of syslog.
    if (!command->logs) {
        setlogmask(LOG_MASK(LOG_DEBUG));
    }
    int status = command->run(argc - 2, argv + 2, json);
    closelog();
    return finish_output(status);
}
