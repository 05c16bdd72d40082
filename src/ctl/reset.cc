// vornexctl reset: lifts the block of a name and clears its failure count, as one step under
// the same exclusive lock that the server's token checks take, and through the server's own
// temporary file, forced write and rename. Nothing is created for a name without a per-user
// directory.

#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <syslog.h>

#include "auth/auth_internal.h"
#include "common/common.h"
#include "ctl/ctl.h"

namespace {

struct reset_t {
    const char *name;
    uint32_t uid;
    bool has_uid;        // the name has an account
    const char *result;  // "reset", "nothing-to-reset" or "error"
    const char *error;   // why, for an error
    bool has_record;
    auth_record_t before;
    auth_record_t after;
};

// A record without failures whose block is over already says what a reset would write.
bool needs_reset(const auth_record_t *record) {
    return record->failure_count != 0 || is_blocked_at(record, static_cast<int64_t>(time(nullptr)));
}

// Reads, changes and rewrites the record while the lock is held; a name that has nothing to
// reset is neither written nor logged.
void reset_locked(reset_t *reset) {
    reset->has_record = auth_log_read(reset->uid, reset->name, &reset->before) == 1;
    if (!reset->has_record || !needs_reset(&reset->before)) {
        reset->result = "nothing-to-reset";
        return;
    }
    reset->after = reset->before;
    reset->after.blocked_until = 0;
    reset->after.failure_count = 0;
    if (auth_log_write(reset->uid, reset->name, &reset->after) < 0) {
        reset->result = "error";
        reset->error = "the auth log cannot be rewritten (see syslog)";
        return;
    }
    reset->result = "reset";
    char until[time_text_size];
    char last[time_text_size];
    syslog(LOG_NOTICE,
           "Reset lockout of %s (UID %u): failures %d, blocked until %s, blocks %d, last "
           "failure %s",
           reset->name, reset->uid, reset->before.failure_count,
           format_time(reset->before.blocked_until, until, sizeof until), reset->before.block_count,
           format_time(reset->before.last_failure_time, last, sizeof last));
}

void reset_name(reset_t *reset) {
    if (look_up_uid(reset->name, &reset->uid) != lookup_t::found) {
        reset->result = "error";
        reset->error = "no such account";
        return;
    }
    reset->has_uid = true;
    char directory[passwd_buffer_size];
    if (!find_user_dir(directory, sizeof directory, reset->uid, reset->name)) {
        reset->result = "error";
        reset->error = "no per-user directory";
        return;
    }
    // Waits for as long as a token check of the name holds the lock.
    FILE *lock = auth_lock_create(reset->uid, reset->name);
    if (lock == nullptr) {
        reset->result = "error";
        reset->error = "the auth lock cannot be taken (see syslog)";
        return;
    }
    reset_locked(reset);
    auth_lock_close(lock);
}

void write_record(json_writer_t *json, const char *key, bool present, const auth_record_t *record) {
    if (!present) {
        json_null(json, key);
        return;
    }
    json_begin(json, key, '{');
    json_int(json, "failure_count", record->failure_count);
    json_int(json, "blocked_until", record->blocked_until);
    json_int(json, "block_count", record->block_count);
    json_int(json, "last_failure_time", record->last_failure_time);
    json_end(json, '{');
}

void write_reset(json_writer_t *json, const reset_t *reset) {
    bool written = strcmp(reset->result, "reset") == 0;
    json_begin(json, nullptr, '{');
    json_string(json, "name", reset->name);
    json_int_or_null(json, "uid", reset->has_uid, reset->uid);
    json_string(json, "result", reset->result);
    json_string(json, "error", reset->error);
    write_record(json, "before", reset->has_record, &reset->before);
    write_record(json, "after", written, &reset->after);
    json_end(json, '{');
}

void print_reset(const reset_t *reset) {
    char name[shown_size];
    char until[time_text_size];
    escape_text(reset->name, name, sizeof name);
    if (reset->error != nullptr) {
        print_error(reset->name, reset->error);
    } else if (strcmp(reset->result, "reset") == 0) {
        printf("%s: reset (was %d failures, blocked until %s, %d blocks)\n", name,
               reset->before.failure_count,
               format_time(reset->before.blocked_until, until, sizeof until),
               reset->before.block_count);
    } else if (reset->has_record) {
        printf("%s: nothing to reset (no failures, not blocked)\n", name);
    } else {
        printf("%s: nothing to reset (no auth log record)\n", name);
    }
}

}  // namespace

int run_reset(int argc, char **argv, bool json) {
    if (argc == 0) {
        print_error("reset", "needs at least one name");
        return status_usage;
    }
    json_writer_t writer = begin_list_document(json, nullptr, nullptr, "names");
    int status = status_fine;
    for (int i = 0; i < argc; ++i) {
        reset_t reset{};
        reset.name = argv[i];
        reset_name(&reset);
        if (reset.error != nullptr) {
            status = status_problems;
        }
        if (json) {
            write_reset(&writer, &reset);
        } else {
            print_reset(&reset);
        }
    }
    end_list_document(&writer, json);
    return status;
}
