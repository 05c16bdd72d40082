#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "common/common.h"

namespace {

TEST(CmpConst, Table) {
    EXPECT_EQ(cmp_const("", "", 1024), 0);
    EXPECT_EQ(cmp_const("secret", "secret", 1024), 0);
    EXPECT_EQ(cmp_const("secret", "secre", 1024), 1);
    EXPECT_EQ(cmp_const("", "a", 1024), 1);
    EXPECT_NE(cmp_const("secret", "secreu", 1024), 0);
    EXPECT_NE(cmp_const("secret", "Secret", 1024), 0);
    EXPECT_NE(cmp_const("\x80\xff", "\x80\xfe", 1024), 0);
    // only the first `limit` bytes take part
    EXPECT_EQ(cmp_const("abcX", "abcY", 3), 0);
    EXPECT_NE(cmp_const("abcX", "abcY", 4), 0);
}

TEST(CmpConst, DifferenceInEveryPositionIsSeen) {
    std::string a(1023, 'a');
    for (size_t i = 0; i < a.size(); ++i) {
        std::string b = a;
        b[i] = 'b';
        ASSERT_NE(cmp_const(a.c_str(), b.c_str(), 1024), 0) << i;
    }
}

TEST(GetPrefix, TwoDigitsOfTheUidModulo100) {
    const struct {
        uint32_t uid;
        const char *prefix;
    } cases[] = {{0, "00"},   {7, "07"},    {9, "09"},           {10, "10"},
                 {100, "00"}, {1005, "05"}, {4294967295U, "95"}, {2147483648U, "48"}};
    for (const auto &c : cases) {
        char out[prefix_size] = {'x', 'x', 'x'};
        get_prefix(c.uid, out);
        EXPECT_STREQ(out, c.prefix) << c.uid;
    }
}

TEST(Paths, PerUserFiles) {
    char buffer[16384];
    get_token_path(buffer, sizeof buffer, 1005, "site1");
    EXPECT_STREQ(buffer, "/var/vornex/05/site1/.vornex/.vornex.token");
    get_auth_log_path(buffer, sizeof buffer, 1005, "site1", auth_log_file_name);
    EXPECT_STREQ(buffer, "/var/vornex/05/site1/.ferrymate.log");
    get_auth_log_path(buffer, sizeof buffer, 7, "a b", auth_lock_file_name);
    EXPECT_STREQ(buffer, "/var/vornex/07/a b/.ferrymate.log.lock");
    get_user_dir_path(buffer, sizeof buffer, 1005, "site1");
    EXPECT_STREQ(buffer, "/var/vornex/05/site1");
}

TEST(Paths, APathThatDoesNotFitIsLeftEmpty) {
    char buffer[64];
    get_token_path(buffer, sizeof buffer, 1005, std::string(60, 'n').c_str());
    EXPECT_STREQ(buffer, "");
    get_user_dir_path(buffer, sizeof buffer, 1005, std::string(60, 'n').c_str());
    EXPECT_STREQ(buffer, "");
}

TEST(Paths, TemporaryAuthLogNamesAreTheLogsNameAndAPid) {
    char path[32];
    make_temp_auth_log_path(path, sizeof path, "/v/x/.ferrymate.log", "123");
    EXPECT_STREQ(path, "/v/x/.ferrymate.log.123");
    make_temp_auth_log_path(path, sizeof path, "/v/x/.ferrymate.log", "1234567890123");
    EXPECT_STREQ(path, "");
    const struct {
        const char *name;
        bool temporary;
    } cases[] = {{".ferrymate.log.42", true},    {".ferrymate.log.", false},
                 {".ferrymate.log", false},      {".ferrymate.log.4x", false},
                 {".ferrymate.log.lock", false}, {"x.ferrymate.log.42", false}};
    for (const auto &c : cases) {
        EXPECT_EQ(is_temp_auth_log_name(c.name), c.temporary) << c.name;
    }
}

TEST(AuthRecord, LittleEndianFieldByField) {
    auth_record_t record{0x0102030405060708, -2, 0x0a0b0c0d, -1};
    unsigned char bytes[auth_record_size];
    encode_auth_record(&record, bytes);
    const unsigned char expected[auth_record_size] = {
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xfe, 0xff, 0xff, 0xff,
        0xff, 0xff, 0xff, 0xff, 0x0d, 0x0c, 0x0b, 0x0a, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(memcmp(bytes, expected, sizeof bytes), 0);
    auth_record_t decoded{};
    decode_auth_record(expected, &decoded);
    EXPECT_EQ(decoded.last_failure_time, record.last_failure_time);
    EXPECT_EQ(decoded.blocked_until, record.blocked_until);
    EXPECT_EQ(decoded.failure_count, record.failure_count);
    EXPECT_EQ(decoded.block_count, record.block_count);
}

TEST(Lockout, EveryThirdConsecutiveFailureBlocks) {
    auth_record_t record{};
    const struct {
        int success;
        int64_t now;
        int32_t count;
        int64_t blocked_until;
        int32_t blocks;
    } steps[] = {{0, 100, 1, 0, 0},   {0, 101, 2, 0, 0},   {0, 102, 3, 132, 1},
                 {0, 140, 4, 132, 1}, {0, 141, 5, 132, 1}, {0, 142, 6, 172, 2},
                 {1, 200, 0, 172, 2}, {0, 201, 1, 172, 2}, {1, 202, 0, 172, 2},
                 {0, 203, 1, 172, 2}, {0, 204, 2, 172, 2}, {0, 205, 3, 235, 3}};
    int64_t last_failure = 0;
    for (const auto &s : steps) {
        bool counted = apply_auth_outcome(&record, s.success, s.now);
        EXPECT_EQ(counted, s.success == 0);
        if (s.success == 0) {
            last_failure = s.now;
        }
        EXPECT_EQ(record.failure_count, s.count) << s.now;
        EXPECT_EQ(record.blocked_until, s.blocked_until) << s.now;
        EXPECT_EQ(record.block_count, s.blocks) << s.now;
        EXPECT_EQ(record.last_failure_time, last_failure) << s.now;
    }
}

TEST(Lockout, StoredCountersWrapInsteadOfOverflowing) {
    auth_record_t record{0, 0, INT32_MAX, INT32_MAX};
    apply_auth_outcome(&record, 0, 10);
    EXPECT_EQ(record.failure_count, INT32_MIN);
    // INT32_MIN % 3 is -2: no block
    EXPECT_EQ(record.block_count, INT32_MAX);
    record.failure_count = -4;
    apply_auth_outcome(&record, 0, 10);
    EXPECT_EQ(record.failure_count, -3);
    EXPECT_EQ(record.blocked_until, 40);
    EXPECT_EQ(record.block_count, INT32_MIN);
}

int check_value(const std::string &content, const char *token) {
    std::string copy = content;
    FILE *stream =
        copy.empty() ? fopen("/dev/null", "re") : fmemopen(copy.data(), copy.size(), "r");
    int result = check_token_value_with_tokenfile(token, stream, 0, "site1");
    fclose(stream);
    return result;
}

TEST(TokenValue, FirstLineRules) {
    const struct {
        const char *content;
        const char *token;
        int expected;
    } cases[] = {{"secret", "secret", 0},
                 {"secret\n", "secret", 0},
                 {"secret\r\n", "secret", 0},
                 {"secret\r", "secret", 0},
                 {"secret\nother\n", "secret", 0},
                 {"secret\nother\n", "other", -1},
                 {"", "", -1},
                 {"\n", "", -1},
                 {"", "x", -1},
                 {"\nsecret", "secret", -1},
                 {"secret ", "secret", -1},
                 {"Secret", "secret", -1},
                 {"secret\rX", "secret", -1},
                 {"secret\rX", "secret\rX", 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(check_value(c.content, c.token), c.expected) << c.content << "/" << c.token;
    }
}

TEST(TokenValue, LongLinesAndTokens) {
    std::string line(2000, 't');
    EXPECT_EQ(check_value(line, std::string(1023, 't').c_str()), 0);
    EXPECT_EQ(check_value(line, std::string(1024, 't').c_str()), -1);
    EXPECT_EQ(check_value(line, line.c_str()), -1);
}

class TokenFilePerms : public testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vornex-token-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        path_ = name;
        file_ = fdopen(fd, "r");
    }
    void TearDown() override {
        fclose(file_);
        unlink(path_.c_str());
    }
    std::string path_;
    FILE *file_ = nullptr;
};

TEST_F(TokenFilePerms, ExactlyOwnerReadOnly) {
    const struct {
        mode_t mode;
        int expected;
    } cases[] = {{0400, 0},  {04400, 0}, {02400, 0}, {01400, 0}, {0600, -1},
                 {0440, -1}, {0444, -1}, {0000, -1}, {0500, -1}, {0404, -1}};
    for (const auto &c : cases) {
        ASSERT_EQ(chmod(path_.c_str(), c.mode), 0);
        EXPECT_EQ(check_tokenfile_perms(fileno(file_), getuid(), 0, path_.c_str(), "u", nullptr),
                  c.expected)
            << std::oct << c.mode;
    }
}

TEST_F(TokenFilePerms, OwnerMustBeTheRequestingUid) {
    ASSERT_EQ(chmod(path_.c_str(), 0400), 0);
    EXPECT_EQ(check_tokenfile_perms(fileno(file_), getuid() + 1000, 0, path_.c_str(), "u", "alt"),
              -1);
    EXPECT_EQ(check_tokenfile_perms(fileno(file_), getuid(), 0, path_.c_str(), "u", "alt"), 0);
}

}  // namespace

namespace {

// The token file is read through the descriptor whose status the rules saw: a path swapped
// after the O_PATH open changes nothing, and a FIFO is opened without waiting for a writer.
TEST(TokenFileReopen, ReadsTheFileTheDescriptorNames) {
    char dir[] = "/tmp/vornex-reopen-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/token";
    std::string other = std::string(dir) + "/other";
    for (const auto &[name, text] : {std::pair{path, "first\n"}, std::pair{other, "second\n"}}) {
        FILE *out = fopen(name.c_str(), "w");
        ASSERT_NE(out, nullptr);
        fputs(text, out);
        fclose(out);
    }
    int fd = open_token_path(path.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
    FILE *file = reopen_token_file(fd);
    ASSERT_NE(file, nullptr);
    char line[line_size] = {};
    EXPECT_NE(fgets(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "first\n");
    fclose(file);
    close(fd);

    std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0400), 0);
    fd = open_token_path(fifo.c_str());
    ASSERT_GE(fd, 0);
    file = reopen_token_file(fd);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(fgets(line, sizeof line, file), nullptr);
    fclose(file);
    close(fd);
    EXPECT_EQ(open_token_path((std::string(dir) + "/missing").c_str()), -1);
    unlink(fifo.c_str());
    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace
