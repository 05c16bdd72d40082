// The authentication stage: one token check per name, each under that name's lock and
// lockout, for the requesting user alone or for every account that shares its uid.

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/auth.h"
#include "auth/auth_internal.h"

namespace {

// The token file is read by root: it is opened without waiting on a FIFO, and the owner and
// mode rules are then checked on the open file.
FILE *open_token_file(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return nullptr;
    }
    FILE *stream = fdopen(fd, "re");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

// Compares the token with the open token file; 0 when it is accepted.
int compare_with_tokenfile(const char *token, FILE *file, int debug, uint32_t uid, const char *path,
                           const char *user_name, const char *alternative_name, const char *name) {
    if (check_tokenfile_perms(file, uid, debug, path, user_name, alternative_name) < 0) {
        return -1;
    }
    return check_token_value_with_tokenfile(token, file, debug, name);
}

}  // namespace

int check_token_with_tokenfile(const char *token, int debug, uint32_t uid, const char *user_name,
                               const char *alternative_name) {
    const char *name = alternative_name != nullptr ? alternative_name : user_name;
    // Without the lock the check still runs; the per-process temporary name and the rename
    // still leave a whole record in place.
    FILE *lock = auth_lock_create(uid, name);
    auth_record_t record{};
    if (auth_log_check(uid, name, &record) == 1) {
        auth_lock_close(lock);
        return -1;
    }
    char path[passwd_buffer_size];
    get_token_path(path, sizeof path, uid, name);
    FILE *file = open_token_file(path);
    if (file == nullptr) {
        // A token file that cannot be read is not counted as a failed attempt.
        if (debug != 0) {
            syslog(LOG_ERR, "File %s not exists, user: %s", path, name);
        }
        auth_lock_close(lock);
        return -1;
    }
    int result =
        compare_with_tokenfile(token, file, debug, uid, path, user_name, alternative_name, name);
    fclose(file);
    auth_log_update(uid, name, result == 0 ? 1 : 0, &record);
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
