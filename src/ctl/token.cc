// vornexctl token: issues, rotates and revokes the tokens of names, and prepares every
// directory a name needs: the per-user directory with its ".vornex" (root's, 0755) and the
// pid-file directory in the home (the user's, 0700).
//
// The server's shared-uid search tries every name of a uid in the database's order and counts
// a mismatch against each name it tries before the right one, so all names of one uid get the
// same token: `issue` and `rotate` write one token to the token files of all of them. The
// token itself is never printed or logged.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pwd.h>

#include "ctl/token.h"

// ---- output ---------------------------------------------------------------------------------

namespace {

bool has_failed(const token_outcome_t *outcome) {
    return outcome->failed || strcmp(outcome->result, "error") == 0;
}

void print_outcome(const token_outcome_t *outcome) {
    char name[shown_size];
    char path[shown_size];
    escape_text(outcome->name, name, sizeof name);
    char uid[time_text_size] = "no account";
    if (outcome->has_uid) {
        snprintf(uid, sizeof uid, "uid %u", outcome->uid);
    }
    if (strcmp(outcome->result, "error") != 0) {
        printf("%s (%s): %s", name, uid, outcome->result);
        if (outcome->token_file[0] != '\0') {
            printf(" %s", escape_text(outcome->token_file, path, sizeof path));
        }
        printf("\n");
    }
    if (has_failed(outcome)) {
        fflush(stdout);
        print_error(outcome->name, outcome->error);
    }
    if (outcome->pid_result != nullptr && strcmp(outcome->pid_result, "created") == 0) {
        printf("%s (%s): created %s\n", name, uid,
               escape_text(outcome->pid_directory, path, sizeof path));
    }
    for (int i = 0; i < outcome->warning_count; ++i) {
        printf("%s (%s): warning: %s\n", name, uid, outcome->warnings[i]);
    }
}

void write_outcome(json_writer_t *json, const token_outcome_t *outcome) {
    json_begin(json, nullptr, '{');
    json_string(json, "name", outcome->name);
    json_int_or_null(json, "uid", outcome->has_uid, outcome->uid);
    json_string(json, "result", outcome->result);
    json_string(json, "token_file", outcome->token_file[0] != '\0' ? outcome->token_file : nullptr);
    json_string(json, "pid_directory",
                outcome->pid_directory[0] != '\0' ? outcome->pid_directory : nullptr);
    json_string(json, "pid_directory_result", outcome->pid_result);
    json_string(json, "still_served_by", outcome->served_by);
    json_string(json, "error", has_failed(outcome) ? outcome->error : nullptr);
    json_begin(json, "warnings", '[');
    for (int i = 0; i < outcome->warning_count; ++i) {
        json_string(json, nullptr, outcome->warnings[i]);
    }
    json_end(json, '[');
    json_end(json, '{');
}

}  // namespace

void add_warning(token_outcome_t *outcome, const char *text) {
    if (outcome->warning_count < warnings_max) {
        char *slot = outcome->warnings[outcome->warning_count++];
        snprintf(slot, message_size, "%s", text);
    }
}

void fail(token_outcome_t *outcome, const char *text) {
    outcome->result = "error";
    snprintf(outcome->error, sizeof outcome->error, "%s", text);
}

void emit(token_run_t *run, const token_outcome_t *outcome) {
    if (has_failed(outcome)) {
        run->status = status_problems;
    }
    if (run->as_json) {
        write_outcome(&run->json, outcome);
    } else {
        print_outcome(outcome);
    }
}

// ---- tokens ---------------------------------------------------------------------------------

bool read_usable_token(const account_t *account, char *text, size_t size) {
    token_inspection_t inspection{};
    bool usable = read_token_of(account, &inspection);
    if (usable) {
        snprintf(text, size, "%s\n", inspection.first_line);
    }
    explicit_bzero(inspection.first_line, sizeof inspection.first_line);
    return usable;
}

namespace {

constexpr int decimal = 10;

// ---- options --------------------------------------------------------------------------------

bool parse_uid(const char *text, uint32_t *uid) {
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, decimal);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0 && value <= UINT32_MAX &&
           (*uid = static_cast<uint32_t>(value), true);
}

bool take_flag(token_options_t *options, int argc, char **argv, int *i) {
    const char *word = argv[*i];
    if (strcmp(word, "--rotate") == 0) {
        options->rotate = true;
    } else if (strcmp(word, "--all") == 0) {
        options->all = true;
    } else if (strcmp(word, "--purge") == 0) {
        options->purge = true;
    } else if (strcmp(word, "--force") == 0) {
        options->force = true;
    } else if (strcmp(word, "--uid") == 0 && *i + 1 < argc &&
               parse_uid(argv[*i + 1], &options->uid)) {
        options->has_uid = true;
        ++*i;
    } else {
        print_error(word, "unknown option or missing value");
        return false;
    }
    return true;
}

// The names move to the front of argv, in their order; options may come anywhere before "--".
bool take_options(token_options_t *options, int argc, char **argv) {
    options->names = argv;
    bool operands_only = false;
    for (int i = 0; i < argc; ++i) {
        if (!operands_only && strcmp(argv[i], "--") == 0) {
            operands_only = true;
        } else if (!operands_only && argv[i][0] == '-' && argv[i][1] == '-') {
            if (!take_flag(options, argc, argv, &i)) {
                return false;
            }
        } else {
            argv[options->name_count++] = argv[i];
        }
    }
    return true;
}

bool parse_action(token_options_t *options, const char *word) {
    if (strcmp(word, "issue") == 0) {
        options->action = token_action_t::issue;
    } else if (strcmp(word, "rotate") == 0) {
        options->action = token_action_t::rotate;
        options->rotate = true;
    } else if (strcmp(word, "revoke") == 0) {
        options->action = token_action_t::revoke;
    } else {
        print_error(word, "no such token subcommand (issue, rotate, revoke)");
        return false;
    }
    return true;
}

// Every combination that makes no sense is a usage error, before anything is touched.
const char *check_options(const token_options_t *options) {
    bool revoke = options->action == token_action_t::revoke;
    if (options->all && options->action != token_action_t::issue) {
        return "--all is for issue only";
    }
    if (options->all == (options->name_count > 0)) {
        return options->all ? "--all takes no names" : "needs at least one name";
    }
    if (options->rotate && revoke) {
        return "--rotate is for issue only";
    }
    if (!revoke && (options->purge || options->force || options->has_uid)) {
        return "--purge, --force and --uid are for revoke only";
    }
    if (!options->purge && (options->force || options->has_uid)) {
        return "--force and --uid go with --purge";
    }
    return nullptr;
}

void run_names(token_run_t *run) {
    const token_options_t *options = &run->options;
    if (options->all) {
        issue_all(run);
        return;
    }
    for (int i = 0; i < options->name_count; ++i) {
        if (options->action == token_action_t::revoke) {
            revoke_named(run, options->names[i]);
        } else {
            issue_named(run, options->names[i]);
        }
    }
}

}  // namespace

int run_token(int argc, char **argv, bool json) {
    token_run_t run{};
    if (argc == 0 || !parse_action(&run.options, argv[0]) ||
        !take_options(&run.options, argc - 1, argv + 1)) {
        if (argc == 0) {
            print_error("token", "needs issue, rotate or revoke");
        }
        return status_usage;
    }
    const char *misuse = check_options(&run.options);
    if (misuse != nullptr) {
        print_error("token", misuse);
        return status_usage;
    }
    if (load_marked_accounts("token", &run.accounts, &run.done) < 0) {
        return status_usage;
    }
    run.as_json = json;
    run.json = begin_list_document(json, "action", argv[0], "names");
    run_names(&run);
    end_list_document(&run.json, json);
    free(run.done);
    release_accounts(&run.accounts);
    return run.status;
}
