#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "registry/command_line.h"
#include "registry/registry.h"

namespace {

struct shape_case {
    const char *line;
    const char *alias;
    int matches;
    const char *user;  // null: no user part
    const char *path;
};

class LineShapeTest : public testing::TestWithParam<shape_case> {};

TEST_P(LineShapeTest, SplitsAsTheTableSays) {
    const shape_case &c = GetParam();
    std::string line = c.line;
    command_line_t parsed{};
    ASSERT_EQ(parse_command_line(line.data(), c.alias, &parsed), c.matches) << c.line;
    if (c.matches == 0) {
        return;
    }
    EXPECT_EQ(std::string(parsed.alias, parsed.alias_length), c.alias);
    if (c.user == nullptr) {
        EXPECT_EQ(parsed.user, nullptr);
    } else {
        ASSERT_NE(parsed.user, nullptr);
        EXPECT_EQ(std::string(parsed.user, parsed.user_length), c.user);
    }
    EXPECT_EQ(std::string(parsed.path, parsed.path_length), c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LineShapeTest,
    testing::Values(shape_case{"ls=/bin/ls", "ls", 1, nullptr, "/bin/ls"},
                    shape_case{"ls=site1:/bin/ls", "ls", 1, "site1", "/bin/ls"},
                    shape_case{"ls:ignored text=/bin/ls", "ls", 1, nullptr, "/bin/ls"},
                    shape_case{"ls:a:b=u:/bin/ls", "ls", 1, "u", "/bin/ls"},
                    shape_case{"ls=", "ls", 1, nullptr, ""},
                    shape_case{"ls=:/bin/ls", "ls", 1, "", "/bin/ls"},
                    shape_case{"ls=site1:", "ls", 1, "site1", ""},
                    shape_case{"ls=root:/bin/ls", "ls", 1, "root", "/bin/ls"},
                    shape_case{"ls=/opt/tool:x", "ls", 1, "/opt/tool", "x"},
                    shape_case{"ls=u:/a:b=c", "ls", 1, "u", "/a:b=c"},
                    shape_case{"ls=/bin/ls \t\r\n", "ls", 1, nullptr, "/bin/ls"},
                    shape_case{"ls= /bin/ls", "ls", 1, nullptr, " /bin/ls"},
                    shape_case{"ls= u :/bin/ls", "ls", 1, " u ", "/bin/ls"},
                    shape_case{"#ls=/bin/ls", "#ls", 1, nullptr, "/bin/ls"},
                    shape_case{"ls =/bin/ls", "ls", 0, nullptr, ""},
                    shape_case{" ls=/bin/ls", "ls", 0, nullptr, ""},
                    shape_case{"LS=/bin/ls", "ls", 0, nullptr, ""},
                    shape_case{"ls/bin/ls", "ls", 0, nullptr, ""},
                    shape_case{"", "ls", 0, nullptr, ""},
                    shape_case{"=/bin/ls", "ls", 0, nullptr, ""},
                    shape_case{":x=/bin/ls", "ls", 0, nullptr, ""},
                    shape_case{"a:b=/bin/ls", "a:b", 0, nullptr, ""},
                    shape_case{"a=b=/bin/ls", "a=b", 0, nullptr, ""},
                    shape_case{"lsx=/bin/ls", "ls", 0, nullptr, ""}));

struct lookup_result {
    int found;
    alias_entry_t entry;
};

lookup_result look_up(const std::string &content, const char *alias) {
    std::string copy = content;
    FILE *stream = fmemopen(copy.data(), copy.size(), "r");
    lookup_result result{};
    result.found = lookup_alias_in_stream(stream, alias, &result.entry);
    fclose(stream);
    return result;
}

TEST(LookupAliasInStream, FirstMatchingLineWins) {
    lookup_result r = look_up("a=/bin/a\nb=root:/bin/b1\nb=/bin/b2\n", "b");
    ASSERT_EQ(r.found, 1);
    EXPECT_STREQ(r.entry.command_token, "/bin/b1");
    EXPECT_STREQ(r.entry.command_user, "root");
    EXPECT_STREQ(r.entry.alias, "b");
    EXPECT_EQ(r.entry.run_as_root, 1);
    release_alias_entry(&r.entry);
}

TEST(LookupAliasInStream, RunAsRootOnlyForExactlyRoot) {
    for (const char *user : {"Root", "root ", " root", "roo", "rootx", ""}) {
        lookup_result r = look_up(std::string("x=") + user + ":/bin/x\n", "x");
        ASSERT_EQ(r.found, 1);
        EXPECT_EQ(r.entry.run_as_root, 0) << user;
        EXPECT_STREQ(r.entry.command_user, user);
        release_alias_entry(&r.entry);
    }
}

TEST(LookupAliasInStream, NoMatchLeavesStringsAbsent) {
    lookup_result r = look_up("a=/bin/a\nno equals sign\n\n", "b");
    EXPECT_EQ(r.found, 0);
    EXPECT_EQ(r.entry.command_token, nullptr);
    EXPECT_EQ(r.entry.command_user, nullptr);
    EXPECT_EQ(r.entry.alias, nullptr);
}

TEST(LookupAliasInStream, LineOf1023BytesIsParsedWhole) {
    std::string path = "/" + std::string(1023 - 3, 'p');  // "x=" + path is 1023 bytes
    lookup_result r = look_up("x=" + path + "\n", "x");
    ASSERT_EQ(r.found, 1);
    EXPECT_EQ(std::string(r.entry.command_token), path);
    release_alias_entry(&r.entry);
}

TEST(LookupAliasInStream, TailOfALongerLineIsALineOfItsOwn) {
    std::string head = "x=/" + std::string(1023 - 3, 'p');  // exactly 1023 bytes
    lookup_result whole = look_up(head + "y=/bin/tail\n", "x");
    ASSERT_EQ(whole.found, 1);
    EXPECT_EQ(std::string(whole.entry.command_token).size(), 1021U);
    release_alias_entry(&whole.entry);
    lookup_result tail = look_up(head + "y=/bin/tail\n", "y");
    ASSERT_EQ(tail.found, 1);
    EXPECT_STREQ(tail.entry.command_token, "/bin/tail");
    release_alias_entry(&tail.entry);
}

TEST(LookupAliasInStream, NulByteEndsThePiece) {
    std::string content("x=/bin/a\0junk\ny=/bin/b\n", 23);
    lookup_result x = look_up(content, "x");
    ASSERT_EQ(x.found, 1);
    EXPECT_STREQ(x.entry.command_token, "/bin/a");
    release_alias_entry(&x.entry);
    lookup_result y = look_up(content, "y");
    ASSERT_EQ(y.found, 1);
    EXPECT_STREQ(y.entry.command_token, "/bin/b");
    release_alias_entry(&y.entry);
    EXPECT_EQ(look_up(std::string("\0x=/bin/a\n", 10), "x").found, 0);
}

TEST(LookupAliasInStream, LastLineWithoutNewlineAndCrLf) {
    lookup_result r = look_up("a=/bin/a\r\nb=u:/bin/b \t", "b");
    ASSERT_EQ(r.found, 1);
    EXPECT_STREQ(r.entry.command_token, "/bin/b");
    release_alias_entry(&r.entry);
}

struct split_case {
    const char *line;
    int defines;
    const char *key;  // the whole key, the text after a colon included
    const char *alias;
};

class SplitLineTest : public testing::TestWithParam<split_case> {};

TEST_P(SplitLineTest, KeepsTheWholeKeyAndAnyAliasPart) {
    const split_case &c = GetParam();
    std::string line = c.line;
    command_line_t parsed{};
    ASSERT_EQ(split_command_line(line.data(), &parsed), c.defines) << c.line;
    if (c.defines == 1) {
        EXPECT_EQ(std::string(parsed.alias, parsed.key_length), c.key);
        EXPECT_EQ(std::string(parsed.alias, parsed.alias_length), c.alias);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, SplitLineTest,
                         testing::Values(split_case{"ls=/bin/ls", 1, "ls", "ls"},
                                         split_case{"ls:cut here=/bin/ls", 1, "ls:cut here", "ls"},
                                         split_case{":x=/bin/ls", 1, ":x", ""},
                                         split_case{"=/bin/ls", 1, "", ""},
                                         split_case{" l s =a=b \n", 1, " l s ", " l s "},
                                         split_case{"no equals", 0, "", ""}));

TEST(OpenCommandFile, TellsWhyAFileCannotBeUsed) {
    char dir[] = "/tmp/vornex-registry-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/f";
    FILE *made = fopen(file.c_str(), "w");
    ASSERT_NE(made, nullptr);
    fclose(made);
    command_file_status status = command_file_status::usable;
    int error = 0;
    EXPECT_EQ(open_command_file((std::string(dir) + "/none").c_str(), &status, &error), nullptr);
    EXPECT_EQ(status, command_file_status::stat_failed);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(open_command_file(dir, &status, &error), nullptr);
    EXPECT_EQ(status, command_file_status::not_regular);
    FILE *stream = open_command_file(file.c_str(), &status, &error);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(status, command_file_status::usable);
    fclose(stream);
    // Through a descriptor of the directory: the directory opened, wherever its path leads.
    int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_fd, 0);
    std::string moved = std::string(dir) + ".moved";
    ASSERT_EQ(rename(dir, moved.c_str()), 0);
    ASSERT_EQ(mkdir(dir, 0700), 0);
    stream = open_command_file_at(dir_fd, "f", &status, &error, nullptr);
    ASSERT_NE(stream, nullptr);
    fclose(stream);
    // A link is followed, but not through a directory that others can change.
    ASSERT_EQ(mkdir((moved + "/open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((moved + "/open").c_str(), 0777), 0);
    ASSERT_EQ(symlink("../f", (moved + "/open/f").c_str()), 0);
    ASSERT_EQ(symlink("f", (moved + "/near").c_str()), 0);
    ASSERT_EQ(symlink("open/f", (moved + "/far").c_str()), 0);
    stream = open_command_file_at(dir_fd, "near", &status, &error, nullptr);
    ASSERT_NE(stream, nullptr);
    fclose(stream);
    struct stat unsafe {};
    EXPECT_EQ(open_command_file_at(dir_fd, "far", &status, &error, &unsafe), nullptr);
    EXPECT_EQ(status, command_file_status::unsafe_link);
    EXPECT_EQ(unsafe.st_mode & 07777, 0777U);
    unlink((moved + "/open/f").c_str());
    unlink((moved + "/near").c_str());
    unlink((moved + "/far").c_str());
    rmdir((moved + "/open").c_str());
    EXPECT_EQ(open_command_file(file.c_str(), &status, &error), nullptr);
    EXPECT_EQ(status, command_file_status::stat_failed);
    node_t *listed = create_command_files_list_at(dir_fd);
    ASSERT_NE(listed, nullptr);
    EXPECT_STREQ(listed->name, main_command_file);
    release_command_files_list(listed);
    close(dir_fd);
    rmdir(dir);
    unlink((moved + "/f").c_str());
    rmdir(moved.c_str());
}

}  // namespace
