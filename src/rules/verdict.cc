// The validator's verdict on one request, and the line it logs. vornexctl explain calls the
// same function, so its prediction and the validator's decision cannot drift apart.
//
// Order: the vector's shape, control bytes in any argument, an absolute command path; then
// the rules file. Every line of the file is read on every request, even after a rule has
// approved, and every line that can concern the request's command is parsed: a line that
// cannot be read refuses the requests for its command (every request, when its command cannot
// be told), so that a typing mistake in a rule never widens what a command may get. The lines
// of other commands are only looked at up to their command path, which keeps a long file cheap.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/escape.h"
#include "common/facts.h"
#include "rules/rules.h"

namespace {

constexpr int min_arguments = 3;
// A value quoted in a log line shows at most this many bytes of the argument.
constexpr size_t log_value_size = 1024;

struct request_t {
    int count;
    char *const *arguments;
    char user[log_value_size];
    char command[log_value_size];
};

void refuse(rules_verdict_t *verdict, const char *source) {
    verdict->approved = false;
    verdict->source = source;
}

// A log line that does not fit is cut: only the quoted values can make it long, and each of
// them is cut already.
void set_log(rules_verdict_t *verdict, int length) {
    if (length < 0 || static_cast<size_t>(length) >= sizeof verdict->log) {
        memcpy(verdict->log + sizeof verdict->log - sizeof "...", "...", sizeof "...");
    }
}

bool check_vector(const request_t *request, rules_verdict_t *verdict) {
    for (int i = 0; i < request->count; ++i) {
        if (has_control_byte(request->arguments[i])) {
            refuse(verdict, "request");
            set_log(verdict, snprintf(verdict->log, sizeof verdict->log,
                                      "Control character in argument %d, user %s, command %s",
                                      i + 1, request->user, request->command));
            return false;
        }
    }
    if (request->arguments[2][0] != '/') {
        refuse(verdict, "request");
        set_log(verdict, snprintf(verdict->log, sizeof verdict->log,
                                  "Command path is not absolute, user %s, command %s",
                                  request->user, request->command));
        return false;
    }
    return true;
}

void refuse_file(rules_verdict_t *verdict, const char *path, const char *why) {
    refuse(verdict, "file");
    set_log(verdict, snprintf(verdict->log, sizeof verdict->log,
                              "Rules file %s %s: every request is refused", path, why));
}

// False when the file refuses everything (the verdict says why); true when it was read, or
// is missing.
bool open_rules(const char *path, rules_reader_t *reader, rules_verdict_t *verdict) {
    struct stat info {};
    int error = 0;
    char why[rules_log_size / 2];
    switch (rules_open(path, reader, &info, &error)) {
        case rules_file_state::usable:
            verdict->file_found = true;
            return true;
        case rules_file_state::missing:
            return true;
        case rules_file_state::open_failed:
            snprintf(why, sizeof why, "cannot be opened (%s)", strerror(error));
            break;
        case rules_file_state::not_regular:
            snprintf(why, sizeof why, "is not a regular file");
            break;
        case rules_file_state::not_root:
        case rules_file_state::writable:
            snprintf(why, sizeof why, "is not safe (owner uid %u, mode %04o)",
                     static_cast<unsigned>(info.st_uid),
                     static_cast<unsigned>(info.st_mode & mode_bits));
            break;
        case rules_file_state::too_large:
            snprintf(why, sizeof why, "is larger than %lld bytes",
                     static_cast<long long>(rules_max_file_size));
            break;
    }
    verdict->file_found = true;
    refuse_file(verdict, path, why);
    return false;
}

struct scan_t {
    rules_reader_t reader;
    rules_line_t line;
    rules_requester_t requester;
    // Called for every rule of the command that names the requester (listings only), and
    // the count of such rules.
    bool listing;
    rules_each_t each;
    void *context;
    size_t named;
};

// True when the line can concern the request's command: a line whose command position holds
// a plain word is another command's line unless that word is the command path.
void refuse_line(rules_verdict_t *verdict, const char *path, size_t line, const char *error,
                 bool whole_file) {
    char why[rules_log_size / 2];
    snprintf(why, sizeof why, "line %zu cannot be read (%s)", line, error);
    verdict->line = line;
    if (whole_file) {
        refuse_file(verdict, path, why);
        return;
    }
    refuse(verdict, "line");
    set_log(verdict,
            snprintf(verdict->log, sizeof verdict->log,
                     "Rules file %s %s: every request for this command is refused", path, why));
}

// Reads every line, and parses those that can concern the request's command. False when a
// line refuses the request (the verdict says which): a line that cannot be read refuses the
// requests for its command, or every request when its command cannot be told.
bool scan_rules(const char *path, const request_t *request, scan_t *scan, bool *has_rule,
                rules_verdict_t *verdict) {
    bool has_default = false;
    const char *command = request->arguments[2];
    size_t approving = 0;
    for (;;) {
        rules_next_t next{};
        rules_next got = rules_next_parsed(&scan->reader, command, &scan->line, &next);
        if (got == rules_next::end) {
            verdict->line = approving;
            return true;
        }
        if (got == rules_next::unreadable || got == rules_next::invalid) {
            // A line too long to be read has no command position that was looked at.
            refuse_line(verdict, path, scan->reader.line_number, next.error,
                        next.kind != rules_line_class::command);
            return false;
        }
        if (got == rules_next::skipped) {
            continue;
        }
        if (scan->line.kind == rules_kind::default_line) {
            if (has_default) {
                refuse_line(verdict, path, scan->reader.line_number, "a second default line", true);
                return false;
            }
            has_default = true;
            verdict->default_value = scan->line.default_value;
            continue;
        }
        if (scan->line.kind != rules_kind::rule || strcmp(scan->line.command, command) != 0) {
            continue;
        }
        *has_rule = true;
        if (scan->listing && rules_who_matches(&scan->line, &scan->requester) != 0) {
            ++scan->named;
            if (scan->each != nullptr) {
                scan->each(&scan->line, scan->reader.line_number, scan->context);
            }
        }
        if (approving == 0 &&
            rules_arguments_match(&scan->line, request->arguments + 3,
                                  static_cast<size_t>(request->count - 3)) != 0 &&
            rules_who_matches(&scan->line, &scan->requester) != 0) {
            approving = scan->reader.line_number;
        }
    }
}

void decide(const char *path, const request_t *request, bool has_rule, rules_verdict_t *verdict) {
    if (verdict->line != 0) {
        verdict->approved = true;
        verdict->source = "rule";
        return;
    }
    if (has_rule) {
        refuse(verdict, "no-match");
        set_log(verdict, snprintf(verdict->log, sizeof verdict->log,
                                  "No rule of %s admits the arguments, user %s, command %s", path,
                                  request->user, request->command));
        return;
    }
    if (verdict->default_value == rules_default::refuse) {
        refuse(verdict, "default");
        set_log(verdict, snprintf(verdict->log, sizeof verdict->log,
                                  "No rule of %s for the command, and the default refuses, "
                                  "user %s, command %s",
                                  path, request->user, request->command));
        return;
    }
    verdict->approved = true;
    verdict->source = "default";
}

}  // namespace

bool shipped_validator_installed() {
    struct stat installed {};
    struct stat ours {};
    return stat(validator_path, &installed) == 0 && stat(validator_program, &ours) == 0 &&
           installed.st_dev == ours.st_dev && installed.st_ino == ours.st_ino;
}

void quote_log_value(const char *text, char *out, size_t size) {
    out[0] = '\'';
    escape_text(text, out + 1, size - 2);
    size_t used = strlen(out);
    out[used] = '\'';
    out[used + 1] = '\0';
}

void evaluate_request(const char *path, int count, char *const *arguments,
                      rules_verdict_t *verdict) {
    verdict->approved = false;
    verdict->source = "request";
    verdict->line = 0;
    verdict->default_value = rules_default::check;
    verdict->file_found = false;
    verdict->log[0] = '\0';
    if (count < min_arguments) {
        snprintf(verdict->log, sizeof verdict->log, "Less than %d arguments passed: %d",
                 min_arguments, count);
        return;
    }
    request_t request{count, arguments, {}, {}};
    quote_log_value(arguments[0], request.user, sizeof request.user);
    quote_log_value(arguments[2], request.command, sizeof request.command);
    if (!check_vector(&request, verdict)) {
        return;
    }
    // About 20 KiB, of fixed size; nothing of it is read before it is written.
    auto *scan = static_cast<scan_t *>(malloc(sizeof(scan_t)));
    if (scan == nullptr) {
        snprintf(verdict->log, sizeof verdict->log, "Out of memory, user %s, command %s",
                 request.user, request.command);
        return;
    }
    bool has_rule = false;
    scan->listing = false;
    scan->requester.name = arguments[0];
    scan->requester.looked_up = false;
    scan->requester.has_account = false;
    bool readable = open_rules(path, &scan->reader, verdict);
    if (readable && verdict->file_found) {
        readable = scan_rules(path, &request, scan, &has_rule, verdict);
        rules_close(&scan->reader);
    }
    free(scan);
    if (readable) {
        decide(path, &request, has_rule, verdict);
    }
}

bool rules_access(const char *path, const char *user, const char *command, rules_each_t each,
                  void *context) {
    char *arguments[] = {const_cast<char *>(user), const_cast<char *>(""),
                         const_cast<char *>(command)};
    request_t request{3, arguments, {}, {}};
    quote_log_value(user, request.user, sizeof request.user);
    quote_log_value(command, request.command, sizeof request.command);
    rules_verdict_t verdict{};
    verdict.default_value = rules_default::check;
    if (!check_vector(&request, &verdict)) {
        return false;
    }
    auto *scan = static_cast<scan_t *>(malloc(sizeof(scan_t)));
    if (scan == nullptr) {
        return false;
    }
    scan->listing = true;
    scan->each = each;
    scan->context = context;
    scan->named = 0;
    scan->requester.name = user;
    scan->requester.looked_up = false;
    scan->requester.has_account = false;
    bool has_rule = false;
    bool readable = open_rules(path, &scan->reader, &verdict);
    if (readable && verdict.file_found) {
        readable = scan_rules(path, &request, scan, &has_rule, &verdict);
        rules_close(&scan->reader);
    }
    // Some rule names the user, or the command has no rule and the default lets it through.
    bool usable =
        readable && (has_rule ? scan->named > 0 : verdict.default_value == rules_default::check);
    free(scan);
    return usable;
}
