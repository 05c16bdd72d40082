// Which argument the administrator's rules do not admit, for the user's line after a refusal by
// the validator. Only the shipped validator's rules are read, with the rules code it runs, and
// only the caller's own argument is ever shown: never a rule's text.

#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "frontend/frontend.h"
#include "registry/registry.h"
#include "rules/rules.h"

namespace {

constexpr size_t shown_argument_max = 64;

// The alias's command path as the server finds it; false when none is found.
bool find_command(const char *alias, char *path, size_t size) {
    alias_entry_t entry{};
    if (find_alias(alias, &entry) != 1) {
        return false;
    }
    bool fits = snprintf(path, size, "%s", entry.command_token) < static_cast<int>(size);
    release_alias_entry(&entry);
    return fits;
}

// How far the rules of the command that name the caller get through the arguments.
struct reach_t {
    const request_t *request;
    size_t furthest;  // arguments admitted in a row by the best rule
    bool wants_more;  // a rule admitted every argument but wants more of them
};

void measure(const rules_line_t *rule, size_t /*line_number*/, void *context) {
    auto *reach = static_cast<reach_t *>(context);
    const request_t *r = reach->request;
    size_t admitted =
        rules_arguments_admitted(rule, const_cast<char *const *>(r->args), r->arg_count);
    if (admitted > reach->furthest) {
        reach->furthest = admitted;
        reach->wants_more = false;
    }
    if (admitted == r->arg_count && rule->word_count > r->arg_count) {
        reach->wants_more = true;
    }
}

void show_argument(const char *argument, char *out, size_t size) {
    char head[shown_argument_max + 1];
    snprintf(head, sizeof head, "%s", argument);
    escape_text(head, out, size);
}

}  // namespace

void describe_validator_refusal(const frontend_t *fe, char *out, size_t size) {
    const request_t *r = &fe->request;
    char command[line_size];
    for (size_t i = 0; i < r->arg_count; ++i) {
        if (has_control_byte(r->args[i])) {
            snprintf(out, size, "argument %zu holds a control byte, which is never admitted",
                     i + 1);
            return;
        }
    }
    if (!shipped_validator_installed() || !find_command(r->alias, command, sizeof command)) {
        snprintf(out, size, "the validator did not admit the arguments");
        return;
    }
    reach_t reach{r, 0, false};
    bool may_run = rules_access(rules_path, r->name, command, measure, &reach);
    char shown[escaped_size(shown_argument_max)];
    if (!may_run) {
        snprintf(out, size, "the administrator's rules do not admit this command for you");
    } else if (reach.furthest < r->arg_count) {
        show_argument(r->args[reach.furthest], shown, sizeof shown);
        snprintf(out, size, "the administrator's rules do not admit argument %zu (\"%s\")",
                 reach.furthest + 1, shown);
    } else if (reach.wants_more) {
        snprintf(out, size, "the administrator's rules want more arguments");
    } else {
        snprintf(out, size, "the validator did not admit the arguments");
    }
}
