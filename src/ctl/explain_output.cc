// The text and JSON output of explain.

#include <cstdio>
#include <cstring>

#include "ctl/explain.h"
#include "driver/log_formats.h"

namespace {

// ---- output -------------------------------------------------------------------------------

void write_auth(json_writer_t *json, const explain_t *ex) {
    json_begin(json, "auth", '{');
    json_bool(json, "search", !ex->search_disabled);
    json_begin(json, "names", '[');
    for (size_t i = 0; i < ex->name_count; ++i) {
        const auth_name_t *entry = &ex->names[i];
        json_begin(json, nullptr, '{');
        json_string(json, "name", entry->name);
        json_string(json, "directory", entry->directory);
        json_bool(json, "directory_exists", entry->directory_exists);
        json_string(json, "token", token_state_name(entry->token));
        json_int(json, "failures", entry->record.failure_count);
        json_int(json, "blocked_until", entry->record.blocked_until);
        json_int(json, "blocked_seconds_left",
                 entry->blocked ? entry->record.blocked_until - ex->now : 0);
        json_int(json, "block_count", entry->record.block_count);
        json_bool(json, "usable", entry->usable);
        json_end(json, '{');
    }
    json_end(json, '[');
    json_end(json, '{');
}

void write_identity(json_writer_t *json, const explain_t *ex) {
    if (!ex->has_identity) {
        json_null(json, "identity");
        return;
    }
    const identity_t *identity = &ex->identity;
    json_begin(json, "identity", '{');
    json_string(json, "mode", identity->mode);
    json_int(json, "uid", identity->uid);
    json_int(json, "gid", identity->gid);
    json_begin(json, "groups", '[');
    for (int i = 0; i < identity->group_count; ++i) {
        json_int(json, nullptr, identity->groups[i]);
    }
    json_end(json, '[');
    json_bool(json, "root_closed", identity->root_closed);
    json_end(json, '{');
}

// The request's arguments, as array items.
void write_arguments(json_writer_t *json, const explain_t *ex) {
    for (int i = 0; i < ex->arg_count; ++i) {
        json_string(json, nullptr, ex->args[i]);
    }
}

void write_entry(json_writer_t *json, const explain_t *ex) {
    const definition_t *found = ex->definition;
    if (found == nullptr) {
        json_null(json, "entry");
        return;
    }
    json_begin(json, "entry", '{');
    json_string(json, "file", found->file->path);
    json_int(json, "line", static_cast<long long>(found->line));
    json_string(json, "command", found->command);
    json_string(json, "mode", identity_mode_name(definition_identity(found)));
    json_string(json, "account", found->root != 0 ? "root" : found->user);
    json_end(json, '{');
}

void write_validator(json_writer_t *json, const explain_t *ex) {
    if (!ex->validator_known) {
        json_null(json, "validator");
        return;
    }
    json_begin(json, "validator", '[');
    json_string(json, nullptr, validator_path);
    json_string(json, nullptr, ex->user);
    json_string(json, nullptr, ex->account.pw_dir);
    json_string(json, nullptr, ex->definition->command);
    write_arguments(json, ex);
    json_end(json, '[');
}

void write_launch(json_writer_t *json, const explain_t *ex) {
    write_validator(json, ex);
    if (ex->validator_known) {
        write_prediction(json, &ex->validator_verdict);
    } else {
        json_null(json, "validator_verdict");
    }
    bool container_known = ex->container_entered || ex->container_marker != nullptr;
    if (container_known) {
        json_begin(json, "container", '{');
        json_bool(json, "entered", ex->container_entered);
        json_string(json, "marker", ex->container_marker);
        json_end(json, '{');
    } else {
        json_null(json, "container");
    }
    write_identity(json, ex);
    json_string(json, "home", ex->has_identity ? ex->account.pw_dir : nullptr);
    json_string(json, "crontab", ex->crontab);
    json_string(json, "pid_file", ex->has_pid_file ? ex->pid_file : nullptr);
    if (ex->has_pid_file) {
        json_bool(json, "pid_file_created", ex->pid_file_created);
    } else {
        json_null(json, "pid_file_created");
    }
    json_string(json, "cwd_enter", ex->cwd_result);
}

}  // namespace

void print_explain(const explain_t *ex) {
    for (size_t i = 0; i < ex->stage_count; ++i) {
        const stage_t *stage = &ex->stages[i];
        printf("%-10s ", stage->name);
        for (const char *c = stage->detail; *c != '\0'; ++c) {
            fputc(*c, stdout);
            if (*c == '\n') {
                printf("%-10s ", "");
            }
        }
        fputc('\n', stdout);
    }
    if (ex->undetermined) {
        printf("%-10s undetermined at stage probe\n", "result");
        return;
    }
    if (ex->refused_stage == nullptr) {
        printf("%-10s reaches the command given a right token\n", "result");
        return;
    }
    printf("%-10s refused at stage %s; standard error: %s\n", "result", ex->refused_stage,
           ex->stderr_line);
    if (ex->line_count == 0) {
        printf("%-10s the server logs nothing\n", "");
    }
    for (size_t i = 0; i < ex->line_count; ++i) {
        printf("%-10s the server logs%s%s: ", "",
               ex->lines[i].forked ? " (from its forked child)" : "",
               ex->lines[i].debug_only ? " (debug flag only)" : "");
        print_shown(stdout, ex->lines[i].text);
        fputc('\n', stdout);
    }
}

void write_explain(const explain_t *ex) {
    json_writer_t writer = json_document(stdout, true);
    json_writer_t *json = &writer;
    json_string(json, "user", ex->user);
    json_string(json, "alias", ex->alias);
    json_begin(json, "args", '[');
    write_arguments(json, ex);
    json_end(json, '[');
    json_string(json, "pid", ex->pid);
    json_string(json, "cwd", ex->cwd);
    const char *outcome = ex->refused_stage == nullptr ? "reaches-command" : "refused";
    json_string(json, "outcome", ex->undetermined ? "undetermined" : outcome);
    json_string(json, "stage", ex->undetermined ? "probe" : ex->refused_stage);
    json_begin(json, "log", '[');
    for (size_t i = 0; i < ex->line_count; ++i) {
        json_begin(json, nullptr, '{');
        json_string(json, "text", ex->lines[i].text);
        json_string(json, "ident", ex->lines[i].forked ? forked_log_ident : log_ident);
        json_bool(json, "debug_only", ex->lines[i].debug_only);
        json_end(json, '{');
    }
    json_end(json, '[');
    json_string(json, "stderr", ex->stderr_line);
    write_entry(json, ex);
    if (ex->has_account) {
        json_begin(json, "account", '{');
        json_string(json, "name", ex->account.pw_name);
        json_int(json, "uid", ex->account.pw_uid);
        json_int(json, "gid", ex->account.pw_gid);
        json_string(json, "home", ex->account.pw_dir);
        json_end(json, '{');
    } else {
        json_null(json, "account");
    }
    if (ex->flags_known) {
        json_begin(json, "flags", '{');
        json_bool(json, "debug", ex->debug);
        json_bool(json, "shared_uid_search", !ex->search_disabled);
        json_end(json, '{');
    } else {
        json_null(json, "flags");
    }
    if (ex->name_count > 0 || ex->refused_stage == nullptr ||
        strcmp(ex->refused_stage, "auth") == 0) {
        write_auth(json, ex);
    } else {
        json_null(json, "auth");
    }
    write_launch(json, ex);
    json_begin(json, "stages", '[');
    for (size_t i = 0; i < ex->stage_count; ++i) {
        json_begin(json, nullptr, '{');
        json_string(json, "stage", ex->stages[i].name);
        json_string(json, "result", ex->stages[i].result);
        json_string(json, "detail", ex->stages[i].detail);
        json_end(json, '{');
    }
    json_end(json, '[');
    json_end(json, '{');
    json_finish(json);
}
