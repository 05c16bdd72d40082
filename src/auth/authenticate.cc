// The authentication stage: one token check per name, each under that name's lock and
// lockout, for the requesting user alone or for every account that shares its uid.

#include <cstdint>
#include <cstdio>
#include <ctime>

#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/auth.h"
#include "auth/auth_internal.h"
#include "driver/log_formats.h"

namespace {

// The outcome of a token file that cannot be opened at all: refused, but not counted.
constexpr int token_file_missing = -2;

// Why the names tried refused the token, gathered for the end that the report tells: every
// name blocked, else a token that was compared and differed, else the first token file that
// was missing or unusable, else a failure of the lock or the auth log.
struct auth_tally_t {
    int tried;
    int blocked;
    int32_t fewest_seconds_left;
    bool wrong;
    const char *problem;
    char path[passwd_buffer_size];
};

void note_problem(auth_tally_t *tally, const char *path, const char *problem) {
    if (tally->problem == nullptr) {
        tally->problem = problem;
        snprintf(tally->path, sizeof tally->path, "%s", path);  // the path always fits
    }
}

void note_blocked(auth_tally_t *tally, const auth_record_t *record) {
    int64_t left = record->blocked_until - static_cast<int64_t>(time(nullptr));
    auto seconds = static_cast<int32_t>(left < INT32_MAX ? left : INT32_MAX);
    if (tally->blocked == 0 || seconds < tally->fewest_seconds_left) {
        tally->fewest_seconds_left = seconds;
    }
    ++tally->blocked;
}

// What is wrong with a token file that failed the owner or mode rule, or could not be read.
const char *describe_unusable(int path_fd, uint32_t uid) {
    struct stat status {};
    if (fstat(path_fd, &status) < 0) {
        return "unreadable";
    }
    // In the order of the states: a file that passes both rules was unreadable after all.
    static constexpr const char *problems[] = {"unreadable", "not owned by the account",
                                               "mode is not 0400"};
    return problems[static_cast<size_t>(classify_token_file(&status, uid))];
}

// Refuses a file that passed the rules but could not be read: counted like a wrong token.
int refuse_unreadable(int debug, const char *name) {
    if (debug != 0) {
        syslog(LOG_ERR, log_token_incorrect, name);
    }
    return -1;
}

// Tests the token against the name's token file: 0 accepted, -1 refused, token_file_missing.
// Root opens the file for reading only once the owner and mode rules hold for it.
int test_token_file(const char *token, int debug, uint32_t uid, const char *user_name,
                    const char *alternative_name, const char *name, auth_tally_t *tally) {
    char path[passwd_buffer_size];
    get_token_path(path, sizeof path, uid, name);
    int path_fd = open_token_path(path);
    if (path_fd < 0) {
        if (debug != 0) {
            syslog(LOG_ERR, log_token_missing, path, name);
        }
        note_problem(tally, path, "missing");
        return token_file_missing;
    }
    int result = check_tokenfile_perms(path_fd, uid, debug, path, user_name, alternative_name);
    if (result == 0) {
        FILE *file = reopen_token_file(path_fd);
        if (file == nullptr) {
            result = refuse_unreadable(debug, name);
            note_problem(tally, path, "unreadable");
        } else {
            result = check_token_value_with_tokenfile(token, file, debug, name);
            fclose(file);
            tally->wrong = tally->wrong || result != 0;
        }
    } else {
        note_problem(tally, path, describe_unusable(path_fd, uid));
    }
    close(path_fd);
    return result;
}

int check_name(const char *token, int debug, uint32_t uid, const char *user_name,
               const char *alternative_name, auth_tally_t *tally) {
    const char *name = alternative_name != nullptr ? alternative_name : user_name;
    // Without the lock the check still runs; the per-process temporary name and the rename
    // still leave a whole record in place.
    FILE *lock = auth_lock_create(uid, name);
    auth_record_t record{};
    int result = -1;
    char temp_path[passwd_buffer_size];
    FILE *temp = nullptr;
    ++tally->tried;
    // A blocked name, and a name whose outcome could not be recorded, are refused before the
    // token file is looked at.
    if (auth_log_check(uid, name, &record) == 0) {
        temp = auth_log_create_temp(uid, name, temp_path, sizeof temp_path);
    } else {
        note_blocked(tally, &record);
    }
    if (temp != nullptr) {
        result = test_token_file(token, debug, uid, user_name, alternative_name, name, tally);
        if (result == token_file_missing) {
            auth_log_discard(temp, temp_path);
            result = -1;
        } else if (auth_log_update(uid, name, result == 0 ? 1 : 0, &record, temp, temp_path) < 0) {
            result = -1;
        }
    }
    auth_lock_close(lock);
    return result;
}

struct search_t {
    const command_request_t *request;
    int debug;
    auth_tally_t *tally;
};

bool accepts(void *context, const char *name) {
    auto *search = static_cast<search_t *>(context);
    const command_request_t *request = search->request;
    return check_name(request->token, search->debug, request->account.pw_uid,
                      request->account.pw_name, name, search->tally) >= 0;
}

// Tries every password entry with the requesting uid, in the database's own order, until one
// accepts the token. The search's record lives only as long as the search.
int search_shared_uid(const command_request_t *request, int debug, auth_tally_t *tally) {
    search_t search{request, debug, tally};
    return walk_uid_names(request->account.pw_uid, accepts, &search) ? 0 : -1;
}

void set_refusal_end(const auth_tally_t *tally) {
    if (tally->tried > 0 && tally->blocked == tally->tried) {
        set_end_with(end_kind::blocked, tally->fewest_seconds_left, nullptr, nullptr);
    } else if (tally->wrong) {
        set_end(end_kind::token_wrong);
    } else if (tally->problem != nullptr) {
        set_end_with(end_kind::token_file, 0, tally->path, tally->problem);
    }
}

}  // namespace

int check_token_with_tokenfile(const char *token, int debug, uint32_t uid, const char *user_name,
                               const char *alternative_name) {
    auth_tally_t tally{};
    return check_name(token, debug, uid, user_name, alternative_name, &tally);
}

void authenticate_request(const command_request_t *request) {
    int debug = debug_flag ? 1 : 0;
    int result = 0;
    // The tally outlives the search: the end that the exit routine reports points into it.
    auth_tally_t tally{};
    if (request->shared_uid_search_disabled != 0) {
        result = check_name(request->token, debug, request->account.pw_uid, request->user_name,
                            nullptr, &tally);
    } else {
        result = search_shared_uid(request, debug, &tally);
    }
    if (result < 0) {
        set_refusal_end(&tally);
        exit_prog(1);
    }
}
