// vornexctl explain: the default validator's verdict, predicted with the validator's own
// code when the installed validator is that program; any other validator is not predicted.

#include <cstdlib>
#include <cstring>

#include "ctl/ctl.h"

namespace {

constexpr int validator_fixed_arguments = 3;

}  // namespace

bool predict_validator(const char *user, const char *home, const char *command, char **args,
                       int arg_count, validator_prediction_t *out) {
    out->predicted = shipped_validator_installed();
    if (!out->predicted) {
        return true;
    }
    size_t count = static_cast<size_t>(arg_count) + validator_fixed_arguments;
    auto **vector = static_cast<char **>(calloc(count + 1, sizeof(char *)));
    if (vector == nullptr) {
        out->predicted = false;
        return true;
    }
    vector[0] = const_cast<char *>(user);
    vector[1] = const_cast<char *>(home);
    vector[2] = const_cast<char *>(command);
    for (int i = 0; i < arg_count; ++i) {
        vector[validator_fixed_arguments + i] = args[i];
    }
    evaluate_request(rules_path, static_cast<int>(count), vector, &out->verdict);
    free(vector);
    return out->verdict.approved;
}

void describe_prediction(const validator_prediction_t *prediction, char *text, size_t size) {
    const rules_verdict_t *verdict = &prediction->verdict;
    if (!prediction->predicted) {
        format_cut(text, size,
                   "\n  runs as root in /; its exit status 0 approves (not predicted: "
                   "the installed validator is not vornex's own)");
    } else if (verdict->approved && strcmp(verdict->source, "rule") == 0) {
        format_cut(text, size, "\n  approves: the rule at %s:%zu admits the arguments", rules_path,
                   verdict->line);
    } else if (verdict->approved) {
        format_cut(text, size,
                   "\n  approves: no rule for the command%s, and the default rule admits "
                   "an absolute path without control bytes",
                   verdict->file_found ? "" : " (no rules file)");
    } else if (verdict->line != 0) {
        format_cut(text, size, "\n  refuses (%s, line %zu): %s logs: %s", verdict->source,
                   verdict->line, validator_ident, verdict->log);
    } else {
        format_cut(text, size, "\n  refuses (%s): %s logs: %s", verdict->source, validator_ident,
                   verdict->log);
    }
}

void write_prediction(json_writer_t *json, const validator_prediction_t *prediction) {
    json_begin(json, "validator_verdict", '{');
    json_bool(json, "predicted", prediction->predicted);
    if (!prediction->predicted) {
        json_end(json, '{');
        return;
    }
    const rules_verdict_t *verdict = &prediction->verdict;
    json_bool(json, "approved", verdict->approved);
    json_string(json, "source", verdict->source);
    json_string(json, "file", rules_path);
    json_int_or_null(json, "line", verdict->line != 0, static_cast<long long>(verdict->line));
    json_string(json, "ident", validator_ident);
    json_string(json, "log", verdict->approved ? nullptr : verdict->log);
    json_end(json, '{');
}
