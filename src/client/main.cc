// vornex [-u NAME] ALIAS [ARG...]: sends one request to the front-end, with the caller's own
// standard input, output and error, and ends as the command ended. The client has no special
// rights; it reads the name's token file as its owner and sends nothing to a socket whose
// peer is not root, so a planted socket never receives a token.

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "auth/token_path.h"
#include "client/client.h"
#include "common/common.h"
#include "common/escape.h"
#include "common/facts.h"
#include "wire/wire.h"

namespace {

constexpr const char usage_text[] =
    "usage: vornex [-u NAME] ALIAS [ARG...]\n"
    "       vornex [-u NAME] -l [--json] [ALIAS]\n"
    "       vornex --version | --help\n";
constexpr const char help_text[] =
    "Runs the command that the administrator approved as ALIAS, through the front-end,\n"
    "with your own standard input, output and error.\n"
    "\n"
    "  -u NAME    send the request as NAME, an account of your own uid\n"
    "  -l         list the aliases you may request; with ALIAS, the arguments it admits\n"
    "  --json     the listing as JSON\n"
    "  --version  print the version\n"
    "  --help     print this help\n";
// A stop goes to the command first; the client stops once the front-end says the command has.
constexpr int job_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
// The caller's language and time zone go along; the front-end decides which of them pass.
constexpr const char *passed_variables[env_entry_count_max] = {"LANG", "LANGUAGE", "LC_MESSAGES",
                                                               "LC_TIME", "TZ"};
// The send buffer holds the largest request with room for the message's own overhead.
constexpr int send_buffer_slack = 4096;

struct client_t {
    const char *name_option;
    bool list;
    bool json;
    int first_arg;  // index of ALIAS in argv
    int argc;
    char **argv;
    struct passwd entry;
    char passwd_buffer[passwd_buffer_size];
    char token[line_size];
    char cwd[cwd_length_max + 1];
    char env_storage[env_entry_count_max][env_entry_length_max + 1];
    const char *env[env_entry_count_max];
    size_t env_count;
    unsigned char message[request_size_max];
    size_t message_size;
    const char *socket_path;
    int connection;
    int signals;
    int stop_pending;  // the stop signal sent on, until the command has stopped (0: none)
    reply_t reply;
};

// One line "vornex: WHAT: DETAIL" on standard error, then the status.
[[noreturn]] void exit_with(int status, const char *what, const char *detail) {
    fprintf(stderr, "vornex: %s: %s\n", what, detail);
    exit(status);
}

[[noreturn]] void exit_usage(const char *problem) {
    fprintf(stderr, "vornex: %s\n%s", problem, usage_text);
    exit(status_usage);
}

[[noreturn]] void exit_unreachable(const char *path, const char *detail) {
    fprintf(stderr, "vornex: cannot reach %s: %s\n", path, detail);
    exit(status_unreachable);
}

// The record is mapped on its own: fresh pages read as zero and are touched only as far as a
// request uses its buffers (on the stack they would be probed page by page at start, and
// zeroed, for a request that uses a few hundred bytes of them).
client_t *new_client() {
    void *record =
        mmap(nullptr, sizeof(client_t), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (record == MAP_FAILED) {
        exit_with(status_refused, "cannot start", strerror(errno));
    }
    return static_cast<client_t *>(record);
}

void parse_options(int argc, char **argv, client_t *c) {
    c->argc = argc;
    c->argv = argv;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (strcmp(argv[i], "--version") == 0 && argc == 2) {
            printf("vornex %s\n", VORNEX_VERSION);
            exit(0);
        }
        if (strcmp(argv[i], "--help") == 0 && argc == 2) {
            printf("%s\n%s", usage_text, help_text);
            exit(0);
        }
        if (strcmp(argv[i], "-l") == 0 && !c->list) {
            c->list = true;
            continue;
        }
        if (strcmp(argv[i], "--json") == 0 && !c->json) {
            c->json = true;
            continue;
        }
        if (strcmp(argv[i], "-u") == 0 && i + 1 < argc && c->name_option == nullptr) {
            c->name_option = argv[++i];
            continue;
        }
        exit_usage("unknown or misplaced option");
    }
    if (c->json && !c->list) {
        exit_usage("--json goes with -l");
    }
    if (c->list && i + 1 < argc) {
        exit_usage("-l takes at most one alias");
    }
    if (i >= argc && !c->list) {
        exit_usage("no alias given");
    }
    c->first_arg = i;
}

// The command gets these three descriptors; a closed one is replaced by /dev/null so that no
// other descriptor can take its number.
void ensure_standard_fds() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
            exit(status_refused);
        }
    }
}

void look_up_name(client_t *c) {
    struct passwd *found = nullptr;
    int error = c->name_option != nullptr ? getpwnam_r(c->name_option, &c->entry, c->passwd_buffer,
                                                       sizeof c->passwd_buffer, &found)
                                          : getpwuid_r(getuid(), &c->entry, c->passwd_buffer,
                                                       sizeof c->passwd_buffer, &found);
    if (error != 0 || found == nullptr) {
        exit_with(status_refused, "no such account in the password database",
                  c->name_option != nullptr ? c->name_option : "your uid");
    }
    // Checked before any token file is read: the front-end would refuse the name anyway.
    if (c->entry.pw_uid != getuid()) {
        fprintf(stderr, "vornex: %s is not an account of your uid\n", c->name_option);
        exit(status_refused);
    }
}

// The limits of a request, each named when it is passed: the command line must change.
void check_limits(const client_t *c) {
    const char *alias = c->argv[c->first_arg];
    if (strlen(alias) > alias_length_max) {
        fprintf(stderr, "vornex: the alias is too long: at most %zu bytes\n", alias_length_max);
        exit(status_usage);
    }
    auto count = static_cast<size_t>(c->argc - c->first_arg - 1);
    if (count > arg_count_max) {
        fprintf(stderr, "vornex: too many arguments: at most %zu\n", arg_count_max);
        exit(status_usage);
    }
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t length = strlen(c->argv[c->first_arg + 1 + static_cast<int>(i)]);
        if (length > arg_length_max) {
            fprintf(stderr, "vornex: argument %zu is too long: at most %zu bytes\n", i + 1,
                    arg_length_max);
            exit(status_usage);
        }
        total += length;
    }
    if (total > args_total_max) {
        fprintf(stderr, "vornex: the arguments are too long together: at most %zu bytes\n",
                args_total_max);
        exit(status_usage);
    }
}

// The token file is the user's own (0400): its first line counts, as in the server. One read
// of at most a line's bytes is the whole file or more than the line (a regular file reads short
// only at its end).
void read_token(client_t *c) {
    char path[PATH_MAX];
    get_token_path(path, sizeof path, c->entry.pw_uid, c->entry.pw_name);
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat status {};
    bool opened = fd >= 0 && fstat(fd, &status) == 0;
    bool regular = opened && S_ISREG(status.st_mode);
    ssize_t got = regular ? read(fd, c->token, sizeof c->token - 1) : -1;
    const char *why = opened && !regular ? "not a regular file" : strerror(errno);
    if (fd >= 0) {
        close(fd);
    }
    if (got < 0) {
        fprintf(stderr, "vornex: cannot read the token file %s: %s; ask the administrator\n", path,
                why);
        exit(status_refused);
    }
    c->token[got] = '\0';
    char *line_end = static_cast<char *>(memchr(c->token, '\n', static_cast<size_t>(got)));
    if (line_end != nullptr) {
        line_end[1] = '\0';
    }
    remove_eol(c->token);
}

void connect_frontend(client_t *c) {
    const char *path = getenv(socket_env_name);
    c->socket_path = path != nullptr && path[0] != '\0' ? path : default_socket_path;
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    size_t path_length = strlen(c->socket_path);
    if (path_length >= sizeof address.sun_path) {
        exit_unreachable(c->socket_path, strerror(ENAMETOOLONG));
    }
    memcpy(address.sun_path, c->socket_path, path_length + 1);
    c->connection = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (c->connection < 0 ||
        connect(c->connection, reinterpret_cast<const struct sockaddr *>(&address),
                sizeof address) < 0) {
        exit_unreachable(c->socket_path, strerror(errno));
    }
    struct ucred peer {};
    socklen_t length = sizeof peer;
    if (getsockopt(c->connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) < 0 || peer.uid != 0) {
        exit_unreachable(c->socket_path, "the socket does not belong to root; nothing was sent");
    }
    // The kernel caps the size asked for; a request larger than what it grants fails to send
    // and is reported then.
    int buffer = static_cast<int>(c->message_size) + send_buffer_slack;
    setsockopt(c->connection, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
}

// Signals to pass on are read from a descriptor from here on, so that the client ends only
// when the request has ended, and stops only once the command has.
void catch_signals(client_t *c) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : forwarded_signals) {
        sigaddset(&set, s);
    }
    for (int s : job_signals) {
        sigaddset(&set, s);
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);
    c->signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (c->signals < 0) {
        exit_with(status_refused, "signalfd", strerror(errno));
    }
}

// Variables longer than the front-end would take are not sent at all.
void collect_env(client_t *c) {
    for (const char *name : passed_variables) {
        const char *value = getenv(name);
        if (value == nullptr) {
            continue;
        }
        char *entry = c->env_storage[c->env_count];
        int length = snprintf(entry, sizeof c->env_storage[0], "%s=%s", name, value);
        if (length > 0 && static_cast<size_t>(length) <= env_entry_length_max) {
            c->env[c->env_count] = entry;
            ++c->env_count;
        }
    }
}

// The whole request is encoded before anything is sent, so that a request too large, or one
// the front-end would refuse for a control byte, ends before the front-end is contacted.
void build_request(client_t *c) {
    collect_env(c);
    if (getcwd(c->cwd, sizeof c->cwd) == nullptr) {
        exit_with(status_refused, "cannot tell the working directory", strerror(errno));
    }
    if (has_control_byte(c->argv[c->first_arg])) {
        exit_with(status_refused, "the alias holds a control byte",
                  "no request was sent; use the alias's plain name");
    }
    if (has_control_byte(c->cwd)) {
        exit_with(status_refused, "the working directory's path holds a control byte",
                  "no request was sent; change to another directory");
    }
    const char *term = getenv("TERM");
    request_t fields{c->entry.pw_name,
                     c->cwd,
                     c->argv[c->first_arg],
                     c->token,
                     term != nullptr && strlen(term) <= term_length_max ? term : "",
                     c->env_count,
                     c->env,
                     static_cast<size_t>(c->argc - c->first_arg - 1),
                     c->argv + c->first_arg + 1};
    c->message_size = encode_request(&fields, c->message, sizeof c->message);
    explicit_bzero(c->token, sizeof c->token);
    if (c->message_size == 0) {
        // Every bound was checked before; only a field the user does not choose is left.
        exit_with(status_refused, "cannot encode the request", "a field is too long");
    }
}

void send_request(client_t *c) {
    int fds[request_fd_count] = {0, 1, 2};
    alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof fds)] = {};
    struct iovec vector {
        c->message, c->message_size
    };
    struct msghdr header {};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    struct cmsghdr *rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof fds);
    memcpy(CMSG_DATA(rights), fds, sizeof fds);
    ssize_t sent = sendmsg(c->connection, &header, MSG_NOSIGNAL);
    explicit_bzero(c->message, c->message_size);
    // A front-end that refused at once (too many requests of this uid) may have gone already;
    // its reply is still read below.
    if (sent < 0 && errno != EPIPE && errno != ECONNRESET) {
        exit_unreachable(c->socket_path, strerror(errno));
    }
}

void send_signal(const client_t *c, int signal_number) {
    unsigned char message[signal_message_size];
    encode_signal(signal_number, message);
    send(c->connection, message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Whether the client is in its terminal's foreground process group: the controlling terminal,
// else the first of the standard descriptors that is a terminal. Without one, or when the
// terminal does not tell, the client counts as in the foreground.
bool in_foreground() {
    int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    pid_t group = tty >= 0 ? tcgetpgrp(tty) : -1;
    if (tty >= 0) {
        close(tty);
    }
    for (int fd = 0; fd < 3 && group < 0; ++fd) {
        if (isatty(fd) != 0) {
            group = tcgetpgrp(fd);
        }
    }
    return group < 0 || group == getpgrp();
}

// Stops the client by `signal_number` (a shell tells by it how the job stopped) and returns
// once the client is continued. The signal is blocked and its action the default one: raised,
// then let through. A group that the kernel does not stop (an orphaned one, or the signal
// ignored since the start) stops by SIGSTOP; a continued client has SIGCONT pending.
void stop_self(int signal_number) {
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    raise(signal_number);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    sigprocmask(SIG_BLOCK, &one, nullptr);
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGCONT) == 0) {
        raise(SIGSTOP);
    }
}

// A stop is passed on and answered by the front-end; a continuation continues the command
// only in the foreground: sent to the background, the client stops again at once, so that the
// command never reads the terminal's input there. A stopped client that is sent a terminating
// signal and continued (as a shell kills a stopped job) lets the command go on to take it: the
// signals that came while the client was stopped are read together, the lower numbers first.
void pass_on_signals(client_t *c) {
    struct signalfd_siginfo info {};
    bool terminating = false;
    while (read(c->signals, &info, sizeof info) == sizeof info) {
        auto signal_number = static_cast<int>(info.ssi_signo);
        if (signal_number == SIGCONT) {
            c->stop_pending = 0;
            if (!terminating && !in_foreground()) {
                stop_self(SIGTTIN);
                continue;
            }
        } else if (signal_number == SIGTSTP || signal_number == SIGTTIN ||
                   signal_number == SIGTTOU) {
            c->stop_pending = signal_number;
        } else if (signal_number != SIGWINCH) {
            terminating = true;
        }
        send_signal(c, signal_number);
    }
}

void wait_for_outcome(client_t *c) {
    for (;;) {
        struct pollfd p[2] = {{c->connection, POLLIN, 0}, {c->signals, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) {
            exit_unreachable(c->socket_path, strerror(errno));
        }
        if ((p[1].revents & POLLIN) != 0) {
            pass_on_signals(c);
        }
        if (p[0].revents == 0) {
            continue;
        }
        unsigned char message[reply_size_max];
        ssize_t got = recv(c->connection, message, sizeof message, 0);
        if (got < 0 && errno == ECONNRESET) {
            // A front-end that refused before reading the request closed the connection with
            // the request unread; the kernel reports that first, the reply is still queued.
            got = recv(c->connection, message, sizeof message, MSG_DONTWAIT);
        }
        if (got > 0 && is_stopped_message(message, static_cast<size_t>(got))) {
            // An answer to a stop that a continuation overtook is stale.
            if (c->stop_pending != 0) {
                stop_self(c->stop_pending);
                c->stop_pending = 0;
            }
            continue;
        }
        if (got > 0 && decode_reply(message, static_cast<size_t>(got), &c->reply) == 0) {
            return;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        exit_unreachable(c->socket_path, "the front-end ended without telling the outcome");
    }
}

// The server writes a pid file for every ordinary request; it is the user's to remove.
// A path that does not fit PATH_MAX could not have been created either.
void remove_pid_file(const client_t *c) {
    char path[PATH_MAX];
    char pid[24];
    snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    int length = snprintf(path, sizeof path, pid_file_format,
                          c->entry.pw_dir != nullptr ? c->entry.pw_dir : "", pid);
    if (length > 0 && static_cast<size_t>(length) < sizeof path) {
        unlink(path);
    }
}

// A refused descriptor is named. When it is standard error, the line goes to the terminal,
// if there is one: the status is what tells in any case.
[[noreturn]] void exit_descriptor_refused(int number, const char *shown) {
    constexpr const char *names[request_fd_count] = {"standard input", "standard output",
                                                     "standard error"};
    const char *name = number >= 0 && number < request_fd_count ? names[number] : "a descriptor";
    if (number != STDERR_FILENO) {
        fprintf(stderr, "vornex: %s is refused: %s; nothing was started\n", name, shown);
        exit(status_refused);
    }
    int tty = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
        dprintf(tty, "vornex: %s is refused: %s; nothing was started\n", name, shown);
        close(tty);
    }
    _exit(status_refused);
}

// The front-end composes its message with every byte taken from a user or a file already
// escaped: it is shown as it is when it is plain printable ASCII, and escaped whole otherwise,
// so that no control byte of a front-end gone wrong reaches the terminal.
void show_message(const char *text, char *out, size_t size) {
    bool printable = true;
    for (const char *p = text; *p != '\0' && printable; ++p) {
        auto byte = static_cast<unsigned char>(*p);
        printable = byte >= 0x20 && byte < 0x7f;
    }
    if (printable) {
        snprintf(out, size, "%s", text);
    } else {
        escape_text(text, out, size);
    }
}

// Ends as the command ended: its status, or death by the same signal.
[[noreturn]] void finish(const client_t *c) {
    bool refused = c->reply.kind == reply_kind::refused;
    // A refusal the server reported comes after the server's own line: the front-end's line
    // in the user's terms, status 1 whatever the server's status was.
    bool reported = c->reply.kind == reply_kind::exited && c->reply.end != end_kind::none &&
                    c->reply.end != end_kind::crontab_check && c->reply.text[0] != '\0';
    if (refused || reported) {
        char shown[escaped_size(reply_text_max)];
        show_message(c->reply.text, shown, sizeof shown);
        if (c->reply.end == end_kind::descriptor) {
            exit_descriptor_refused(c->reply.number, shown);
        }
        if (reported || c->reply.end == end_kind::killed) {
            fprintf(stderr, "vornex: %s\n", shown);
            exit(status_refused);
        }
        exit_with(status_refused, "refused", shown);
    }
    fflush(stdout);
    if (c->reply.kind == reply_kind::signalled) {
        int signal_number = c->reply.value;
        struct rlimit no_core {
            0, 0
        };
        setrlimit(RLIMIT_CORE, &no_core);
        signal(signal_number, SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal_number);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(signal_number);
        _exit(128 + (signal_number & 0x7f));
    }
    _exit(c->reply.value & 0xff);
}

}  // namespace

int main(int argc, char **argv) {
    client_t *client = new_client();
    parse_options(argc, argv, client);
    ensure_standard_fds();
    if (client->list) {
        look_up_name(client);
        connect_frontend(client);
        return list_aliases(client->connection, client->entry.pw_name,
                            client->first_arg < argc ? argv[client->first_arg] : nullptr,
                            client->json);
    }
    check_limits(client);
    look_up_name(client);
    read_token(client);
    build_request(client);
    connect_frontend(client);
    catch_signals(client);
    send_request(client);
    wait_for_outcome(client);
    remove_pid_file(client);
    finish(client);
}
