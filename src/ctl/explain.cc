// vornexctl explain: a dry run of one request through the server's stages, in the server's
// order, stopping where the server would stop, with the lines the server would log there.
//
// It changes nothing: the auth logs are read without their lock (the server replaces them
// whole by rename), no file is created (not even a missing lock file), the token file is
// looked at through an O_PATH descriptor and never read, and nothing is executed. What the
// final identity meets (the pid file, the working directory, the command) is tried by a
// child process that takes that identity, opens nothing for creation, and only reports. The
// child takes only the effective ids, so that its real and saved uid stay 0 and the user
// whose identity it takes can neither stop nor kill it; and it is killed when it has not
// ended in time, so that explain never waits without a bound.

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <pwd.h>

#include "ctl/explain.h"

namespace {

constexpr const char default_pid[] = "1";

// When the lines run out, the last one is used again: the lines of a stage stay complete
// up to the limit, which no request of a sane system reaches.
log_line_t *add_log_line(explain_t *ex, bool debug_only) {
    log_line_t *line = &ex->lines[max_log_lines - 1];
    if (ex->line_count < max_log_lines) {
        line = &ex->lines[ex->line_count++];
    }
    line->debug_only = debug_only;
    line->forked = false;
    line->text[0] = '\0';
    return line;
}

// Keeps a line of the server's as the prediction; the priority is not shown.
__attribute__((format(printf, 3, 0))) void record(explain_t *ex, bool debug_only,
                                                  const char *format, va_list arguments) {
    log_line_t *line = add_log_line(ex, debug_only);
    format_cut_list(line->text, sizeof line->text, format, arguments);
}

__attribute__((format(printf, 3, 0))) void record_line(void *context, int /*priority*/,
                                                       const char *format, va_list arguments) {
    record(static_cast<explain_t *>(context), false, format, arguments);
}

__attribute__((format(printf, 3, 0))) void record_debug_line(void *context, int /*priority*/,
                                                             const char *format,
                                                             va_list arguments) {
    record(static_cast<explain_t *>(context), true, format, arguments);
}

// ---- options ------------------------------------------------------------------------------

// A "--" after the first operand still ends the options of the command line: it is taken
// out, and every word after it is an argument of the request.
int drop_separator(int argc, char **argv) {
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            memmove(argv + i, argv + i + 1, sizeof *argv * static_cast<size_t>(argc - i - 1));
            return argc - 1;
        }
    }
    return argc;
}

bool take_options(explain_t *ex, int argc, char **argv) {
    int i = 0;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if ((strcmp(argv[i], "--pid") == 0 || strcmp(argv[i], "--cwd") == 0) && i + 1 < argc) {
            if (argv[i][2] == 'p') {
                ex->pid = argv[i + 1];
            } else {
                ex->cwd = argv[i + 1];
                ex->cwd_given = true;
            }
            ++i;
            continue;
        }
        if (argv[i][0] == '-' && argv[i][1] == '-') {
            print_error(argv[i], "unknown option");
            return false;
        }
        argc = i + drop_separator(argc - i, argv + i);
        break;
    }
    if (argc - i < 2) {
        print_error("explain", "needs USER and ALIAS");
        return false;
    }
    ex->user = argv[i];
    ex->alias = argv[i + 1];
    ex->args = argv + i + 2;
    ex->arg_count = argc - i - 2;
    return true;
}

// Without --cwd the request runs in the user's home directory ("/" for a name without an
// account: the request fails before the directory matters).
void default_cwd(explain_t *ex) {
    if (ex->cwd_given) {
        return;
    }
    struct passwd *found = nullptr;
    if (getpwnam_r(ex->user, &ex->account, ex->account_buffer, sizeof ex->account_buffer, &found) ==
            0 &&
        found != nullptr && found->pw_dir != nullptr) {
        ex->cwd = found->pw_dir;
        return;
    }
    ex->cwd = "/";
}

void release_explain(explain_t *ex) {
    for (size_t i = 0; i < ex->name_count; ++i) {
        free(ex->names[i].name);
    }
    release_alias_table(&ex->table);
    free(ex->identity.groups);
    free(ex);
}

}  // namespace

// ---- recording ----------------------------------------------------------------------------

stage_t *add_stage(explain_t *ex, const char *name, const char *result) {
    if (ex->stage_count == max_stages) {
        return &ex->stages[max_stages - 1];
    }
    stage_t *stage = &ex->stages[ex->stage_count++];
    stage->name = name;
    stage->result = result;
    stage->detail[0] = '\0';
    return stage;
}

// Appends text to a stage's detail; cut at the end of the buffer.
void append(stage_t *stage, const char *text) {
    size_t used = strlen(stage->detail);
    format_cut(stage->detail + used, sizeof stage->detail - used, "%s", text);
}

// Appends formatted text to a stage's detail, the text itself cut at message_size.
// NOLINTNEXTLINE(cert-dcl50-cpp): variadic for the format attribute's check
void append_format(stage_t *stage, const char *format, ...) {
    char text[message_size];
    va_list arguments;
    va_start(arguments, format);
    format_cut_list(text, sizeof text, format, arguments);
    va_end(arguments);
    append(stage, text);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): variadic for the format attribute's check
stage_t *add_stage_with(explain_t *ex, const char *name, const char *result, const char *format,
                        ...) {
    stage_t *stage = add_stage(ex, name, result);
    va_list arguments;
    va_start(arguments, format);
    format_cut_list(stage->detail, sizeof stage->detail, format, arguments);
    va_end(arguments);
    return stage;
}

// A line the server would log, formatted with the server's own format.
// NOLINTNEXTLINE(cert-dcl50-cpp): variadic for the format attribute's check
log_line_t *add_log(explain_t *ex, bool debug_only, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    record(ex, debug_only, format, arguments);
    va_end(arguments);
    return &ex->lines[ex->line_count - 1];
}

log_sink_t prediction_sink(explain_t *ex) {
    return log_sink_t{record_line, ex};
}

log_sink_t debug_prediction_sink(explain_t *ex) {
    return log_sink_t{record_debug_line, ex};
}

bool refuse(explain_t *ex, const char *stage, const char *message) {
    ex->refused_stage = stage;
    ex->stderr_line = message;
    return false;
}

int run_explain(int argc, char **argv, bool json) {
    auto *ex = static_cast<explain_t *>(calloc(1, sizeof(explain_t)));
    if (ex == nullptr) {
        print_error("explain", strerror(errno));
        return status_usage;
    }
    ex->pid = default_pid;
    if (!take_options(ex, argc, argv)) {
        free(ex);
        return status_usage;
    }
    ex->now = static_cast<int64_t>(time(nullptr));
    default_cwd(ex);
    // The home directory found for the default is kept apart from the account stage's own.
    char cwd[passwd_buffer_size];
    if (!ex->cwd_given) {
        format_cut(cwd, sizeof cwd, "%s", ex->cwd);
        ex->cwd = cwd;
    }
    if (!explain_stages(ex)) {
        print_error("explain", "the final identity cannot be tried in a child process");
        release_explain(ex);
        return status_usage;
    }
    if (json) {
        write_explain(ex);
    } else {
        print_explain(ex);
    }
    int status = ex->refused_stage == nullptr && !ex->undetermined ? status_fine : status_problems;
    release_explain(ex);
    return status;
}
