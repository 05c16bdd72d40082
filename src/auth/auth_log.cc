// The failed-attempt log of a name and the lock that serialises its checks.
//
// - The record is 24 bytes, little-endian, encoded field by field; a shorter file holds no
//   record.
// - The exclusive flock on the lock file is held from the blocked test to the update. The
//   lock file is root's and 0600, so that nobody else can open it and hold the lock; it holds
//   no data and is never truncated, and an existing one is brought to root and 0600 only when
//   it is a regular file with a single link (a planted hard link never passes the change on).
//   A lock file that was replaced while a check waited for it is opened and locked again.
// - The auth log is never written in place: the record goes to a temporary file named after
//   the process id, which is flushed, forced to disk and renamed over the auth log, so that a
//   reader finds the old whole record or the new one. A temporary file that may not hold the
//   whole record never replaces the auth log.
// - The temporary file is created before the token file is read, and a check whose outcome
//   cannot be written to it is refused: no check succeeds, and no guess goes uncounted, while
//   the auth log's file system refuses the update.
// - Files created in the per-user directory are never followed through a symlink and a FIFO
//   there is never waited on (O_NOFOLLOW, O_NONBLOCK); every descriptor is close-on-exec.
// - The temporary auth log's name holds the process id, which anyone can predict: whatever
//   stands at that name is removed first (a link itself, never what it leads to) and the
//   file is created exclusively, so that nothing planted there is written or renamed into
//   place. A name that cannot be cleared refuses the check like one that cannot be created.

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "common/common.h"
#include "common/facts.h"
#include "driver/log_formats.h"

namespace {

constexpr mode_t created_file_mode = 0666;  // 0644 after the umask
constexpr int create_flags =
    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
// Opening and locking the lock file again, when it was replaced while waited for, is tried
// this many times in all; the last lock taken is kept.
constexpr int lock_attempts = 3;
constexpr int lock_flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
constexpr int read_flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
// A process id in decimal, with room to spare.
constexpr size_t pid_text_size = 16;

void put_le(unsigned char *out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

uint64_t get_le(const unsigned char *in, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

// Creates a file of the per-user directory anew, after removing what stood at its name, and
// wraps it in a stream.
FILE *create_file(const char *path, const char *mode) {
    if (unlink(path) < 0 && errno != ENOENT) {
        return nullptr;
    }
    int fd = open(path, create_flags, created_file_mode);
    if (fd < 0) {
        return nullptr;
    }
    FILE *stream = fdopen(fd, mode);
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

// Another user who could open the lock file could take the lock and stall every check of
// the name. Tells whether the file is root's and 0600 now; a failure leaves the lock usable.
bool restrict_lock_file(int fd) {
    struct stat status {};
    if (fstat(fd, &status) < 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        return false;
    }
    if ((status.st_uid != 0 || status.st_gid != 0) && fchown(fd, 0, 0) < 0) {
        return false;
    }
    return (status.st_mode & mode_bits) == lock_file_mode || fchmod(fd, lock_file_mode) == 0;
}

FILE *open_lock_file(const char *path) {
    int fd = open(path, lock_flags, lock_file_mode);
    if (fd < 0) {
        return nullptr;
    }
    (void)restrict_lock_file(fd);
    FILE *stream = fdopen(fd, "we");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

// Whether the file locked is still the one at the lock file's name. A lock file replaced
// while a check waited for it (by the package's upgrade, say) no longer serialises anything:
// the checks that open the name now lock the new file.
bool still_named(int fd, const char *path) {
    struct stat locked {};
    struct stat named {};
    return fstat(fd, &locked) == 0 && lstat(path, &named) == 0 && locked.st_dev == named.st_dev &&
           locked.st_ino == named.st_ino;
}

// 1 when a whole record was read from the stream, 0 otherwise; the stream is closed.
int read_record(FILE *stream, auth_record_t *record) {
    unsigned char bytes[auth_record_size];
    size_t got = fread(bytes, 1, sizeof bytes, stream);
    fclose(stream);
    if (got != sizeof bytes) {
        return 0;
    }
    decode_auth_record(bytes, record);
    return 1;
}

// Arithmetic on the stored counters wraps instead of overflowing: the file may hold anything.
int32_t add_one(int32_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + 1U);
}

void remove_leftover(const char *temp_path) {
    if (unlink(temp_path) < 0) {
        if (errno != ENOENT) {
            syslog(LOG_ERR, log_temp_not_removed, temp_path);
        }
        return;
    }
    syslog(LOG_WARNING, log_temp_removed, temp_path);
}

}  // namespace

void encode_auth_record(const auth_record_t *record, unsigned char *out) {
    put_le(out, static_cast<uint64_t>(record->last_failure_time), 8);
    put_le(out + 8, static_cast<uint64_t>(record->blocked_until), 8);
    put_le(out + 16, static_cast<uint32_t>(record->failure_count), 4);
    put_le(out + 20, static_cast<uint32_t>(record->block_count), 4);
}

void decode_auth_record(const unsigned char *in, auth_record_t *record) {
    record->last_failure_time = static_cast<int64_t>(get_le(in, 8));
    record->blocked_until = static_cast<int64_t>(get_le(in + 8, 8));
    record->failure_count = static_cast<int32_t>(static_cast<uint32_t>(get_le(in + 16, 4)));
    record->block_count = static_cast<int32_t>(static_cast<uint32_t>(get_le(in + 20, 4)));
}

bool is_blocked_at(const auth_record_t *record, int64_t now) {
    return record->blocked_until > now;
}

bool apply_auth_outcome(auth_record_t *record, int success, int64_t now) {
    if (success != 0) {
        record->failure_count = 0;
        return false;
    }
    record->last_failure_time = now;
    record->failure_count = add_one(record->failure_count);
    if (record->failure_count % failures_per_block == 0) {
        record->blocked_until = now + block_seconds;
        record->block_count = add_one(record->block_count);
    }
    return true;
}

bool is_restricted_lock_file(const struct stat *status) {
    return S_ISREG(status->st_mode) && status->st_nlink == 1 && status->st_uid == 0 &&
           (status->st_mode & mode_bits) == lock_file_mode;
}

void make_temp_auth_log_path(char *buffer, size_t size, const char *log_path, const char *pid) {
    int length = snprintf(buffer, size, "%s.%s", log_path, pid);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        buffer[0] = '\0';  // never write to a temporary name cut short
    }
}

bool is_temp_auth_log_name(const char *name) {
    size_t length = strlen(auth_log_file_name);
    if (strncmp(name, auth_log_file_name, length) != 0 || name[length] != '.') {
        return false;
    }
    const char *pid = name + length + 1;
    return pid[0] != '\0' && strspn(pid, "0123456789") == strlen(pid);
}

FILE *auth_lock_create(uint32_t uid, const char *name) {
    char path[passwd_buffer_size];
    get_auth_log_path(path, sizeof path, uid, name, auth_lock_file_name);
    for (int attempt = 1;; ++attempt) {
        FILE *lock = open_lock_file(path);
        if (lock == nullptr) {
            syslog(LOG_ERR, log_no_lock_file, path, name);
            return nullptr;
        }
        // Waits for as long as another check of the same name holds the lock.
        if (flock(fileno(lock), LOCK_EX) < 0) {
            syslog(LOG_ERR, log_lock_failed, path, strerror(errno));
            fclose(lock);
            return nullptr;
        }
        if (attempt == lock_attempts || still_named(fileno(lock), path)) {
            return lock;
        }
        fclose(lock);
    }
}

int auth_lock_close(FILE *lock) {
    if (lock == nullptr) {
        return -1;
    }
    if (flock(fileno(lock), LOCK_UN) < 0 && debug_flag) {
        syslog(LOG_ERR, log_unlock_failed, fileno(lock), strerror(errno));
    }
    // Closing drops any lock still held.
    fclose(lock);
    return 0;
}

FILE *auth_log_open(uint32_t uid, const char *name, const char *mode) {
    char path[passwd_buffer_size];
    get_auth_log_path(path, sizeof path, uid, name, auth_log_file_name);
    FILE *stream = nullptr;
    int fd = open(path, read_flags);
    if (fd >= 0) {
        stream = fdopen(fd, mode);
        if (stream == nullptr) {
            close(fd);
        }
    }
    if (stream == nullptr && debug_flag) {
        syslog(LOG_ERR, log_no_auth_log, path, name);
    }
    return stream;
}

int auth_log_check(uint32_t uid, const char *name, auth_record_t *record) {
    *record = auth_record_t{};
    FILE *stream = auth_log_open(uid, name, "rbe");
    if (stream == nullptr || read_record(stream, record) == 0) {
        *record = auth_record_t{};
        return 0;
    }
    return is_blocked_at(record, static_cast<int64_t>(time(nullptr))) ? 1 : 0;
}

int auth_log_read(uint32_t uid, const char *name, auth_record_t *record) {
    *record = auth_record_t{};
    char path[passwd_buffer_size];
    get_auth_log_path(path, sizeof path, uid, name, auth_log_file_name);
    int fd = open(path, read_flags);
    if (fd < 0) {
        return 0;
    }
    FILE *stream = fdopen(fd, "rbe");
    if (stream == nullptr) {
        close(fd);
        return 0;
    }
    if (read_record(stream, record) == 0) {
        *record = auth_record_t{};
        return 0;
    }
    return 1;
}

FILE *auth_log_create_temp(uint32_t uid, const char *name, char *temp_path, size_t size) {
    char path[passwd_buffer_size];
    get_auth_log_path(path, sizeof path, uid, name, auth_log_file_name);
    char pid[pid_text_size];
    snprintf(pid, sizeof pid, "%u", static_cast<unsigned>(getpid()));
    make_temp_auth_log_path(temp_path, size, path, pid);
    FILE *stream = create_file(temp_path, "wbe");
    if (stream == nullptr) {
        syslog(LOG_ERR, log_no_auth_log, temp_path, name);
    }
    return stream;
}

void auth_log_discard(FILE *temp, const char *temp_path) {
    fclose(temp);
    (void)unlink(temp_path);
}

int auth_log_commit(FILE *temp, const char *temp_path, uint32_t uid, const char *name,
                    const auth_record_t *record) {
    char path[passwd_buffer_size];
    get_auth_log_path(path, sizeof path, uid, name, auth_log_file_name);
    unsigned char bytes[auth_record_size];
    encode_auth_record(record, bytes);
    if (fwrite(bytes, 1, sizeof bytes, temp) != sizeof bytes) {
        syslog(LOG_ERR, log_auth_log_write_failed, temp_path, name);
        fclose(temp);
        return -1;
    }
    if (fflush(temp) != 0) {
        syslog(LOG_ERR, log_auth_log_flush_failed, temp_path, name);
        fclose(temp);
        remove_leftover(temp_path);
        return -1;
    }
    if (fdatasync(fileno(temp)) < 0) {
        syslog(LOG_ERR, log_fdatasync_failed, temp_path, name);
    }
    fclose(temp);
    if (rename(temp_path, path) < 0) {
        syslog(LOG_ERR, log_rename_failed, temp_path, path, name);
        remove_leftover(temp_path);
        return -2;
    }
    return 0;
}

int auth_log_update(uint32_t uid, const char *name, int success, auth_record_t *record, FILE *temp,
                    const char *temp_path) {
    if (apply_auth_outcome(record, success, static_cast<int64_t>(time(nullptr)))) {
        syslog(LOG_ALERT | LOG_AUTHPRIV, log_invalid_token, name, static_cast<int>(uid));
    }
    return auth_log_commit(temp, temp_path, uid, name, record) == -1 ? -1 : 0;
}

int auth_log_write(uint32_t uid, const char *name, const auth_record_t *record) {
    char temp_path[passwd_buffer_size];
    FILE *temp = auth_log_create_temp(uid, name, temp_path, sizeof temp_path);
    if (temp == nullptr) {
        return -1;
    }
    return auth_log_commit(temp, temp_path, uid, name, record) == 0 ? 0 : -1;
}
