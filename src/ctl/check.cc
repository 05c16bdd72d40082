// vornexctl check: what the server will make of the command files, line by line, with the
// mistakes that the server itself never reports.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>

#include "common/common.h"
#include "common/facts.h"
#include "ctl/check.h"

bool rooted(const check_report_t *out, const char *path, char *buffer, size_t size) {
    int length = snprintf(buffer, size, "%s%s", out->root, path);
    return length >= 0 && static_cast<size_t>(length) < size;
}

namespace {

// Anyone who can write a command file or its directory can make the server run any program
// as root.
void check_owner_and_mode(check_report_t *out, const char *path, const struct stat *info,
                          const char *owner_code, const char *writable_code) {
    char message[message_size];
    if (info->st_uid != 0) {
        snprintf(message, sizeof message,
                 "owned by uid %u, not root: its owner can make the server run any program as "
                 "root",
                 static_cast<unsigned>(info->st_uid));
        report_simple(out, path, 0, "error", owner_code, message, nullptr);
    }
    if ((info->st_mode & group_other_write) != 0) {
        snprintf(message, sizeof message,
                 "writable by group or others (mode %04o): whoever can write it can make the "
                 "server run any program as root",
                 static_cast<unsigned>(info->st_mode & mode_bits));
        report_simple(out, path, 0, "error", writable_code, message, nullptr);
    }
}

void check_directory(check_report_t *out) {
    char directory[line_size];
    struct stat info {};
    if (rooted(out, command_dir, directory, sizeof directory) && stat(directory, &info) == 0) {
        check_owner_and_mode(out, directory, &info, "dir-owner", "dir-writable");
    }
}

void check_file(check_report_t *out, const command_file_t *file, size_t order) {
    char message[message_size];
    if (out->given_files) {
        // Owner and mode are those of the copy given, not of the file once deployed.
        snprintf(message, sizeof message, "read, %zu lines", file->line_count);
        report_simple(out, file->path, 0, "note", "read", message, nullptr);
        return;
    }
    switch (file->status) {
        case command_file_status::usable:
            snprintf(message, sizeof message,
                     "counted (precedence %zu), %zu lines, owner uid %u, mode %04o", order,
                     file->line_count, static_cast<unsigned>(file->info.st_uid),
                     static_cast<unsigned>(file->info.st_mode & mode_bits));
            report_simple(out, file->path, 0, "note", "counted", message, nullptr);
            check_owner_and_mode(out, file->path, &file->info, "owner", "writable");
            return;
        case command_file_status::stat_failed:
            if (file->error == ENOENT && strcmp(file->name, main_command_file) == 0) {
                report_simple(out, file->path, 0, "warning", "main-missing",
                              "the main command file does not exist: only the additional "
                              "command files count",
                              nullptr);
                return;
            }
            snprintf(message, sizeof message, "cannot be queried (%s): the server passes over it",
                     strerror(file->error));
            report_simple(out, file->path, 0, "warning", "not-regular", message, nullptr);
            return;
        case command_file_status::not_regular:
            report_simple(out, file->path, 0, "warning", "not-regular",
                          "not a regular file: the server passes over it", nullptr);
            return;
        case command_file_status::open_failed:
            snprintf(message, sizeof message,
                     "cannot be opened for reading (%s): the server passes over it",
                     strerror(file->error));
            report_simple(out, file->path, 0, "error", "unreadable", message, nullptr);
            return;
        case command_file_status::unsafe_link:
            snprintf(message, sizeof message,
                     "a link on the way to it leads through a directory owned by uid %u with "
                     "mode %04o: someone other than root can change what is read, and the "
                     "server refuses every request that reaches it",
                     static_cast<unsigned>(file->info.st_uid),
                     static_cast<unsigned>(file->info.st_mode & mode_bits));
            report_simple(out, file->path, 0, "error", "unsafe-link", message, nullptr);
            return;
    }
}

// Names that look like command files but do not count: "proxy.commands" in any letter case
// somewhere in the name, without the exact ending.
void check_uncounted_names(check_report_t *out) {
    char directory[line_size];
    if (!rooted(out, command_dir, directory, sizeof directory)) {
        return;
    }
    DIR *dir = opendir(directory);
    if (dir == nullptr) {
        return;
    }
    for (const struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir)) {
        if (strcasestr(item->d_name, main_command_file) == nullptr ||
            str_ends_with(item->d_name, main_command_file) == 1) {
            continue;
        }
        char path[line_size];
        if (snprintf(path, sizeof path, "%s/%s", directory, item->d_name) >=
            static_cast<int>(sizeof path)) {
            continue;
        }
        report_simple(out, path, 0, "note", "not-counted",
                      "does not count: only names that end in \"proxy.commands\" are command "
                      "files",
                      nullptr);
    }
    closedir(dir);
}

void check_flags_and_markers(check_report_t *out) {
    char path[line_size];
    if (rooted(out, debug_flag_file, path, sizeof path) && file_exists(path)) {
        report_simple(out, path, 0, "note", "flag",
                      "flag file present: the server logs its diagnostic lines", nullptr);
    }
    if (rooted(out, disable_duid_flag_file, path, sizeof path) && file_exists(path)) {
        report_simple(out, path, 0, "note", "flag",
                      "flag file present: only the requesting user's own token file counts, "
                      "there is no shared-uid search",
                      nullptr);
    }
    static constexpr const char *markers[] = {edition_tavo_marker, edition_quellan_marker};
    for (const char *marker : markers) {
        if (rooted(out, marker, path, sizeof path) && file_exists(path)) {
            report_simple(out, path, 0, "note", "marker",
                          "edition marker present: the server does not enter resource "
                          "containers",
                          nullptr);
        }
    }
}

void report_rules_finding(void *context, const rules_finding_t *finding) {
    report_simple(static_cast<check_report_t *>(context), finding->file, finding->line,
                  finding->severity, finding->code, finding->message, finding->alias);
}

void check_table(check_report_t *out, const alias_table_t *table) {
    if (!out->given_files) {
        check_directory(out);
    }
    size_t order = 0;
    size_t split = 0;
    size_t ignored = 0;
    size_t next = 0;
    // File by file in the server's order; within a file, line by line.
    for (size_t i = 0; i < table->file_count; ++i) {
        const command_file_t *file = &table->files[i];
        check_file(out, file, file->status == command_file_status::usable ? ++order : 0);
        for (; next < table->definition_count && table->definitions[next].file == file; ++next) {
            const definition_t *definition = &table->definitions[next];
            check_lines_up_to(out, table, file, definition->line, &split, &ignored);
            check_definition(out, definition);
        }
        check_lines_up_to(out, table, file, SIZE_MAX, &split, &ignored);
    }
    if (out->given_files) {
        return;
    }
    check_validator(out);
    check_uncounted_names(out);
    check_flags_and_markers(out);
    check_rules(table, report_rules_finding, out);
}

struct check_options_t {
    char root[line_size];  // without a trailing "/"; "" for the live system
    char **files;
    int file_count;
};

// [--root DIR] [FILE...]; false (reported) on a usage error.
bool parse_check_arguments(int argc, char **argv, check_options_t *options) {
    int first = 0;
    options->root[0] = '\0';
    if (argc >= 1 && strcmp(argv[0], "--root") == 0) {
        struct stat info {};
        if (argc < 2 || argv[1][0] == '\0' || stat(argv[1], &info) < 0 || !S_ISDIR(info.st_mode) ||
            strlen(argv[1]) >= sizeof options->root) {
            print_error("check", "--root needs an existing directory");
            return false;
        }
        snprintf(options->root, sizeof options->root, "%s", argv[1]);
        size_t length = strlen(options->root);
        while (length > 0 && options->root[length - 1] == '/') {
            options->root[--length] = '\0';
        }
        first = 2;
    }
    if (first < argc && strcmp(argv[first], "--") == 0) {
        ++first;
    } else if (first < argc && argv[first][0] == '-') {
        print_error(argv[first], "no such option of check");
        return false;
    }
    options->files = argv + first;
    options->file_count = argc - first;
    return true;
}

// A file named on the command line that cannot be read as a command file is a usage error.
bool given_files_readable(const alias_table_t *table) {
    for (size_t i = 0; i < table->file_count; ++i) {
        const command_file_t *file = &table->files[i];
        if (file->status != command_file_status::usable) {
            print_error(file->path, "cannot be read as a command file");
            return false;
        }
    }
    return true;
}

int load_checked_table(const check_options_t *options, alias_table_t *table) {
    if (options->file_count > 0) {
        if (load_alias_files(table, options->files, options->file_count) < 0) {
            print_error("check", "out of memory");
            return -1;
        }
        if (!given_files_readable(table)) {
            release_alias_table(table);
            return -1;
        }
        return 0;
    }
    if (load_alias_table_under(table, options->root) < 0) {
        char directory[line_size];
        format_cut(directory, sizeof directory, "%s%s", options->root, command_dir);
        print_error(directory, "cannot be listed or read");
        return -1;
    }
    return 0;
}

}  // namespace

int run_check(int argc, char **argv, bool json) {
    if (argc > 0 && strcmp(argv[0], "--users") == 0) {
        return run_check_users(argc - 1, argv + 1, json);
    }
    check_options_t options{};
    if (!parse_check_arguments(argc, argv, &options)) {
        return status_usage;
    }
    alias_table_t table{};
    if (load_checked_table(&options, &table) < 0) {
        return status_usage;
    }
    check_report_t out{json_document(stdout, json), json, 0, 0, options.root,
                       options.file_count > 0};
    if (json) {
        char directory[line_size];
        format_cut(directory, sizeof directory, "%s%s", options.root, command_dir);
        json_string(&out.json, "directory", out.given_files ? nullptr : directory);
        json_string(&out.json, "root", options.root[0] != '\0' ? options.root : nullptr);
        write_files(&out.json, &table);
        json_begin(&out.json, "findings", '[');
    }
    check_table(&out, &table);
    release_alias_table(&table);
    finish_findings(&out.json, json, out.errors, out.warnings);
    return out.errors > 0 ? status_problems : status_fine;
}
