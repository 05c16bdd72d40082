// What vornexctl token writes and how it reads a token file back: the names it refuses, the
// token's form, every kind of token file a directory can hold, and a tree removed without
// following a link out of it.
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ctl/users.h"

namespace {

struct scratch_t {
    char path[64];
    int fd;
};

void make_scratch(scratch_t *dir) {
    snprintf(dir->path, sizeof dir->path, "/tmp/vornex-users-XXXXXX");
    ASSERT_NE(mkdtemp(dir->path), nullptr);
    dir->fd = open(dir->path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir->fd, 0);
}

void put_file(int dir_fd, const char *name, const std::string &text, mode_t mode) {
    int fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(fchmod(fd, mode), 0);
    close(fd);
}

size_t count_entries(int dir_fd) {
    DIR *dir = fdopendir(openat(dir_fd, ".", O_RDONLY | O_DIRECTORY));
    size_t count = 0;
    for (const struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir)) {
        count += item->d_name[0] != '.' || strcmp(item->d_name, ".vornex.token") == 0 ? 1 : 0;
    }
    closedir(dir);
    return count;
}

TEST(Names, OnlyNamesThatStayOneComponentAreUsable) {
    const struct {
        const char *name;
        bool usable;
    } cases[] = {{"site1", true}, {"a.b", true}, {"..a", true},  {"", false},
                 {".", false},    {"..", false}, {"a/b", false}, {"/", false}};
    for (const auto &c : cases) {
        EXPECT_EQ(is_usable_name(c.name), c.usable) << c.name;
    }
}

TEST(UidRange, OnlyPlainDecimalValuesAtTheStartOfALineCount) {
    const std::string long_line = "# " + std::string(line_size, 'x') + " UID_MIN 7\n";
    const struct {
        std::string text;
        uint32_t min;
        uint32_t max;
    } cases[] = {
        {"", 1000, 60000},
        {"UID_MIN\t 2000\n  UID_MAX 2999  \n", 2000, 2999},
        {"UID_MIN 2000\nUID_MIN 3000\nUID_MAX 4000", 3000, 4000},
        {"UID_MIN -1\nUID_MAX 99999999999\n", 1000, 60000},
        {"UID_MIN 1500x\nUID_MAX 0x3e8\n", 1000, 60000},
        {"UID_MIN 0\n", 0, 60000},
        {"UID_MIN 5000\nUID_MAX 10\n", 5000, 10},
        {"UID_MINIMUM 5\n#UID_MIN 5\nUID_MIN\n", 1000, 60000},
        {long_line, 1000, 60000},
    };
    for (const auto &c : cases) {
        FILE *defs = fmemopen(const_cast<char *>(c.text.data()), c.text.size(), "r");
        ASSERT_NE(defs, nullptr);
        uid_range_t range{};
        parse_uid_range(defs, &range);
        fclose(defs);
        EXPECT_EQ(range.min, c.min) << c.text.substr(0, 40);
        EXPECT_EQ(range.max, c.max) << c.text.substr(0, 40);
    }
    const uid_range_t everything = {0, UINT32_MAX};
    EXPECT_FALSE(in_uid_range(&everything, 0));
    EXPECT_TRUE(in_uid_range(&everything, 1));
}

TEST(Token, IsSixtyFourLowercaseHexDigitsAndANewline) {
    char first[token_text_size];
    char second[token_text_size];
    ASSERT_EQ(make_token_text(first, sizeof first), 0);
    ASSERT_EQ(make_token_text(second, sizeof second), 0);
    EXPECT_EQ(strlen(first), 65U);
    EXPECT_EQ(strspn(first, "0123456789abcdef"), 64U);
    EXPECT_EQ(first[64], '\n');
    EXPECT_STRNE(first, second);
    EXPECT_EQ(make_token_text(first, token_text_size - 1), -1);
}

TEST(Token, InspectionSeesWhatTheServerWouldRead) {
    const uint32_t me = getuid();
    const std::string long_line(1100, 'a');
    const struct {
        const char *label;
        std::string text;  // empty with a kind other than 'f'
        mode_t mode;
        char kind;  // f file, d directory, l link, p FIFO, - nothing
        uint32_t uid;
        token_check state;
        const char *line;
        bool cut;
    } cases[] = {
        {"usable", "abc\r\nsecond\n", 0400, 'f', me, token_check::usable, "abc", false},
        {"no newline", "abc", 0400, 'f', me, token_check::usable, "abc", false},
        {"empty file", "", 0400, 'f', me, token_check::empty, "", false},
        {"empty first line", "\nabc\n", 0400, 'f', me, token_check::empty, "", false},
        {"mode 0600", "abc\n", 0600, 'f', me, token_check::wrong_mode, "", false},
        {"another owner", "abc\n", 0400, 'f', me + 1, token_check::wrong_owner, "", false},
        {"cut", long_line + "\n", 0400, 'f', me, token_check::usable, nullptr, true},
        {"1023 bytes", long_line.substr(0, 1023) + "\n", 0400, 'f', me, token_check::usable,
         nullptr, false},
        {"directory", "", 0400, 'd', me, token_check::not_regular, "", false},
        {"link", "", 0400, 'l', me, token_check::not_regular, "", false},
        {"FIFO", "", 0400, 'p', me, token_check::not_regular, "", false},
        {"missing", "", 0400, '-', me, token_check::missing, "", false},
    };
    for (const auto &c : cases) {
        scratch_t dir{};
        make_scratch(&dir);
        const char *leaf = token_leaf_name();
        if (c.kind == 'f') {
            put_file(dir.fd, leaf, c.text, c.mode);
        } else if (c.kind == 'd') {
            ASSERT_EQ(mkdirat(dir.fd, leaf, c.mode), 0);
        } else if (c.kind == 'l') {
            put_file(dir.fd, "target", "abc\n", 0400);
            ASSERT_EQ(symlinkat("target", dir.fd, leaf), 0);
        } else if (c.kind == 'p') {
            ASSERT_EQ(mkfifoat(dir.fd, leaf, c.mode), 0);
        }
        token_inspection_t inspection{};
        inspect_token(dir.fd, c.uid, &inspection);
        EXPECT_EQ(inspection.state, c.state) << c.label;
        EXPECT_EQ(inspection.cut, c.cut) << c.label;
        if (c.line != nullptr) {
            EXPECT_STREQ(inspection.first_line, c.line) << c.label;
        } else {
            EXPECT_EQ(strlen(inspection.first_line), 1023U) << c.label;
        }
        EXPECT_EQ(remove_tree(dir.fd, 1), 0) << c.label;
        close(dir.fd);
        EXPECT_EQ(rmdir(dir.path), 0) << c.label;
    }
}

TEST(Token, WrittenFileReplacesTheOldOneAndLeavesNoTemporaryFile) {
    scratch_t dir{};
    make_scratch(&dir);
    put_file(dir.fd, token_leaf_name(), "old\n", 0600);
    char text[token_text_size];
    ASSERT_EQ(make_token_text(text, sizeof text), 0);
    char error[message_size] = "";
    ASSERT_EQ(write_token_file(dir.fd, getuid(), getgid(), text, error, sizeof error), 0) << error;
    token_inspection_t inspection{};
    inspect_token(dir.fd, getuid(), &inspection);
    EXPECT_EQ(inspection.state, token_check::usable);
    EXPECT_EQ(std::string(inspection.first_line) + "\n", text);
    EXPECT_EQ(count_entries(dir.fd), 1U);
    EXPECT_EQ(remove_tree(dir.fd, 0), 0);
    close(dir.fd);
    EXPECT_EQ(rmdir(dir.path), 0);
}

TEST(Tree, RemovalNeverFollowsALinkOutOfTheTree) {
    scratch_t outside{};
    scratch_t dir{};
    make_scratch(&outside);
    make_scratch(&dir);
    put_file(outside.fd, "kept", "x", 0644);
    ASSERT_EQ(mkdirat(dir.fd, "sub", 0755), 0);
    int sub = openat(dir.fd, "sub", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(sub, 0);
    ASSERT_EQ(symlinkat(outside.path, sub, "out"), 0);
    put_file(sub, "file", "x", 0400);
    close(sub);
    EXPECT_EQ(remove_tree(dir.fd, 0), -1);  // the subdirectory is one level too deep
    EXPECT_EQ(remove_tree(dir.fd, 1), 0);
    EXPECT_EQ(faccessat(outside.fd, "kept", F_OK, 0), 0);
    EXPECT_EQ(remove_tree(outside.fd, 0), 0);
    close(dir.fd);
    close(outside.fd);
    EXPECT_EQ(rmdir(dir.path), 0);
    EXPECT_EQ(rmdir(outside.path), 0);
}

}  // namespace
