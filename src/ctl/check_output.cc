// vornexctl check: the output of the findings, as lines of text or as JSON.

#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "common/facts.h"
#include "ctl/check.h"

void report(check_report_t *out, const finding_t *finding) {
    if (strcmp(finding->severity, "error") == 0) {
        ++out->errors;
    } else if (strcmp(finding->severity, "warning") == 0) {
        ++out->warnings;
    }
    if (!out->as_json) {
        print_shown(stdout, finding->file);
        if (finding->line > 0) {
            printf(":%zu", finding->line);
        }
        printf(": %s: %s [%s]\n", finding->severity, finding->message, finding->code);
        return;
    }
    json_writer_t *json = &out->json;
    json_begin(json, nullptr, '{');
    json_string(json, "file", finding->file);
    json_int_or_null(json, "line", finding->line > 0, static_cast<long long>(finding->line));
    json_string(json, "severity", finding->severity);
    json_string(json, "code", finding->code);
    json_string(json, "message", finding->message);
    json_string(json, finding->subject_key != nullptr ? finding->subject_key : "alias",
                finding->alias);
    if (finding->extra_key != nullptr) {
        json_string(json, finding->extra_key, finding->extra_value);
    }
    if (finding->winner != nullptr) {
        json_string(json, "winner_file", finding->winner->file->path);
        json_int(json, "winner_line", static_cast<long long>(finding->winner->line));
    }
    json_end(json, '{');
}

void report_simple(check_report_t *out, const char *file, size_t line, const char *severity,
                   const char *code, const char *message, const char *alias) {
    finding_t finding{file,  line,    severity, code,    message,
                      alias, nullptr, nullptr,  nullptr, nullptr};
    report(out, &finding);
}

void report_definition(check_report_t *out, const definition_t *definition, const char *severity,
                       const char *code, const char *message, const char *extra_key,
                       const char *extra_value) {
    finding_t finding{definition->file->path, definition->line, severity,    code,    message,
                      definition->alias,      extra_key,        extra_value, nullptr, nullptr};
    report(out, &finding);
}

void write_files(json_writer_t *json, const alias_table_t *table) {
    char mode[time_text_size];
    json_begin(json, "files", '[');
    size_t order = 0;
    for (size_t i = 0; i < table->file_count; ++i) {
        const command_file_t *file = &table->files[i];
        bool counted = file->status == command_file_status::usable;
        json_begin(json, nullptr, '{');
        json_string(json, "path", file->path);
        json_string(json, "name", file->name);
        json_bool(json, "counted", counted);
        if (counted) {
            json_int(json, "order", static_cast<long long>(++order));
            json_int(json, "lines", static_cast<long long>(file->line_count));
        } else {
            json_null(json, "order");
            json_null(json, "lines");
        }
        if (file->has_info) {
            snprintf(mode, sizeof mode, "%04o",
                     static_cast<unsigned>(file->info.st_mode & mode_bits));
            json_int(json, "owner", static_cast<long long>(file->info.st_uid));
            json_string(json, "mode", mode);
        } else {
            json_null(json, "owner");
            json_null(json, "mode");
        }
        json_end(json, '{');
    }
    json_end(json, '[');
}
