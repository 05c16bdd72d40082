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
    int length = 0;
    if (!prediction->predicted) {
        length = snprintf(text, size,
                          "\n  runs as root in /; its exit status 0 approves (not predicted: "
                          "the installed validator is not vornex's own)");
    } else if (verdict->approved && strcmp(verdict->source, "rule") == 0) {
        length = snprintf(text, size, "\n  approves: the rule at %s:%zu admits the arguments",
                          rules_path, verdict->line);
    } else if (verdict->approved) {
        length = snprintf(text, size,
                          "\n  approves: no rule for the command%s, and the default rule admits "
                          "an absolute path without control bytes",
                          verdict->file_found ? "" : " (no rules file)");
    } else if (verdict->line != 0) {
        length = snprintf(text, size, "\n  refuses (%s, line %zu): %s logs: %s", verdict->source,
                          verdict->line, validator_ident, verdict->log);
    } else {
        length = snprintf(text, size, "\n  refuses (%s): %s logs: %s", verdict->source,
                          validator_ident, verdict->log);
    }
    mark_cut(text, size, length);
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
    if (verdict->line != 0) {
        json_int(json, "line", static_cast<long long>(verdict->line));
    } else {
        json_null(json, "line");
    }
    json_string(json, "ident", validator_ident);
    json_string(json, "log", verdict->approved ? nullptr : verdict->log);
    json_end(json, '{');
}
