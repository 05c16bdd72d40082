// The authentication stage: one token check per name, each under that name's lock and
// lockout, for the requesting user alone or for every account that shares its uid.

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/auth.h"
#include "auth/auth_internal.h"
#include "driver/log_formats.h"

namespace {

// The outcome of a token file that cannot be opened at all: refused, but not counted.
constexpr int token_file_missing = -2;

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
                    const char *alternative_name, const char *name) {
    char path[passwd_buffer_size];
    get_token_path(path, sizeof path, uid, name);
    int path_fd = open_token_path(path);
    if (path_fd < 0) {
        if (debug != 0) {
            syslog(LOG_ERR, log_token_missing, path, name);
        }
        return token_file_missing;
    }
    int result = check_tokenfile_perms(path_fd, uid, debug, path, user_name, alternative_name);
    if (result == 0) {
        FILE *file = reopen_token_file(path_fd);
        if (file == nullptr) {
            result = refuse_unreadable(debug, name);
        } else {
            result = check_token_value_with_tokenfile(token, file, debug, name);
            fclose(file);
        }
    }
    close(path_fd);
    return result;
}

}  // namespace

int check_token_with_tokenfile(const char *token, int debug, uint32_t uid, const char *user_name,
                               const char *alternative_name) {
    const char *name = alternative_name != nullptr ? alternative_name : user_name;
    // Without the lock the check still runs; the per-process temporary name and the rename
    // still leave a whole record in place.
    FILE *lock = auth_lock_create(uid, name);
    auth_record_t record{};
    int result = -1;
    char temp_path[passwd_buffer_size];
    FILE *temp = nullptr;
    // A blocked name, and a name whose outcome could not be recorded, are refused before the
    // token file is looked at.
    if (auth_log_check(uid, name, &record) == 0) {
        temp = auth_log_create_temp(uid, name, temp_path, sizeof temp_path);
    }
    if (temp != nullptr) {
        result = test_token_file(token, debug, uid, user_name, alternative_name, name);
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

namespace {

// Tries every password entry with the requesting uid, in the database's own order, until one
// accepts the token. The search's record lives only as long as the search.
int search_shared_uid(const command_request_t *request, int debug) {
    struct passwd entry {};
    char buffer[passwd_buffer_size];
    struct passwd *found = nullptr;
    // An entry that does not fit the buffer ends the search like the end of the database.
    while (getpwent_r(&entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        if (found->pw_uid != request->account.pw_uid) {
            continue;
        }
        if (check_token_with_tokenfile(request->token, debug, request->account.pw_uid,
                                       request->account.pw_name, found->pw_name) >= 0) {
            return 0;
        }
    }
    return -1;
}

}  // namespace

void authenticate_request(const command_request_t *request) {
    int debug = debug_flag ? 1 : 0;
    int result = 0;
    if (request->shared_uid_search_disabled != 0) {
        result = check_token_with_tokenfile(request->token, debug, request->account.pw_uid,
                                            request->user_name, nullptr);
    } else {
        result = search_shared_uid(request, debug);
    }
    if (result < 0) {
        exit_prog(1);
    }
}
