// vornexctl status: the lockout state of names, read from their auth logs without the lock
// (the server replaces an auth log whole by rename, so a reader sees an old or a new record).

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>

#include "auth/auth_internal.h"
#include "common/common.h"
#include "common/facts.h"
#include "ctl/ctl.h"

namespace {

constexpr int decimal = 10;

struct name_state_t {
    const char *name;
    bool uid_known;
    uint32_t uid;
    char directory[passwd_buffer_size];
    bool has_record;
    auth_record_t record;
};

// Tells whether the name has a per-user directory. A name that does not fit never has one;
// its path shows as empty.
bool read_state(name_state_t *state) {
    state->has_record = auth_log_read(state->uid, state->name, &state->record) == 1;
    return find_user_dir(state->directory, sizeof state->directory, state->uid, state->name);
}

void print_header() {
    printf("%-16s %-10s %-9s %-36s %-7s %s\n", "NAME", "UID", "FAILURES", "BLOCKED UNTIL", "BLOCKS",
           "LAST FAILURE");
}

void print_state(const name_state_t *state, int64_t now) {
    char name[shown_size];
    char uid[time_text_size];
    char until[time_text_size * 2];
    char last[time_text_size];
    char when[time_text_size];
    const auth_record_t *record = &state->record;
    if (state->uid_known) {
        snprintf(uid, sizeof uid, "%u", state->uid);
    } else {
        snprintf(uid, sizeof uid, "-");
    }
    if (is_blocked_at(record, now)) {
        snprintf(until, sizeof until, "%s (%lld s more)",
                 format_time(record->blocked_until, when, sizeof when),
                 static_cast<long long>(record->blocked_until - now));
    } else {
        snprintf(until, sizeof until, "-");
    }
    printf("%-16s %-10s %-9d %-36s %-7d %s\n", escape_text(state->name, name, sizeof name), uid,
           record->failure_count, until, record->block_count,
           format_time(record->last_failure_time, last, sizeof last));
}

void write_state(json_writer_t *json, const name_state_t *state, int64_t now) {
    const auth_record_t *record = &state->record;
    json_begin(json, nullptr, '{');
    json_string(json, "name", state->name);
    json_int_or_null(json, "uid", state->uid_known, state->uid);
    json_string(json, "directory", state->directory);
    json_bool(json, "record", state->has_record);
    json_int(json, "failure_count", record->failure_count);
    json_int(json, "blocked_until", record->blocked_until);
    json_bool(json, "blocked", is_blocked_at(record, now));
    json_int(json, "seconds_left", is_blocked_at(record, now) ? record->blocked_until - now : 0);
    json_int(json, "block_count", record->block_count);
    json_int(json, "last_failure_time", record->last_failure_time);
    json_end(json, '{');
}

void show_state(json_writer_t *json, const name_state_t *state, int64_t now) {
    if (json != nullptr) {
        write_state(json, state, now);
    } else {
        print_state(state, now);
    }
}

int show_named(json_writer_t *json, int argc, char **argv, int64_t now) {
    int status = status_fine;
    for (int i = 0; i < argc; ++i) {
        name_state_t state{};
        state.name = argv[i];
        if (look_up_uid(argv[i], &state.uid) != lookup_t::found) {
            print_error(argv[i], "no such account");
            status = status_problems;
            continue;
        }
        state.uid_known = true;
        if (!read_state(&state)) {
            print_error(argv[i], "no per-user directory");
            status = status_problems;
            continue;
        }
        show_state(json, &state, now);
    }
    return status;
}

bool is_prefix_name(const char *name) {
    return strlen(name) == prefix_size - 1 && name[0] >= '0' && name[0] <= '9' && name[1] >= '0' &&
           name[1] <= '9';
}

// Every name under one prefix directory whose record counts failures or blocks it now.
void show_prefix(json_writer_t *json, const char *prefix, int64_t now) {
    char path[passwd_buffer_size];
    snprintf(path, sizeof path, "%s/%s", state_root, prefix);
    DIR *dir = opendir(path);
    if (dir == nullptr) {
        return;
    }
    auto prefix_uid = static_cast<uint32_t>(strtoul(prefix, nullptr, decimal));
    for (const struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir)) {
        if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0) {
            continue;
        }
        name_state_t state{};
        state.name = item->d_name;
        state.uid = prefix_uid;
        uint32_t uid = 0;
        if (look_up_uid(item->d_name, &uid) == lookup_t::found) {
            char own_prefix[prefix_size];
            get_prefix(uid, own_prefix);
            if (strcmp(own_prefix, prefix) == 0) {
                state.uid = uid;
                state.uid_known = true;
            }
        }
        (void)read_state(&state);
        if (state.has_record &&
            (state.record.failure_count != 0 || is_blocked_at(&state.record, now))) {
            show_state(json, &state, now);
        }
    }
    closedir(dir);
}

int show_all(json_writer_t *json, int64_t now) {
    DIR *dir = opendir(state_root);
    if (dir == nullptr) {
        print_error(state_root, strerror(errno));
        return status_usage;
    }
    for (const struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir)) {
        if (is_prefix_name(item->d_name)) {
            show_prefix(json, item->d_name, now);
        }
    }
    closedir(dir);
    return status_fine;
}

}  // namespace

int run_status(int argc, char **argv, bool json) {
    auto now = static_cast<int64_t>(time(nullptr));
    json_writer_t writer = begin_list_document(json, nullptr, nullptr, "names");
    json_writer_t *out = json ? &writer : nullptr;
    if (!json) {
        print_header();
    }
    int status = argc > 0 ? show_named(out, argc, argv, now) : show_all(out, now);
    end_list_document(&writer, json);
    return status;
}
