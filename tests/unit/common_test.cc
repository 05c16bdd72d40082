#include <gtest/gtest.h>

#include <string>

#include "common/common.h"
#include "driver/driver.h"
#include "registry/registry.h"

namespace {

struct eol_case {
    std::string input;
    std::string expected;
};

class RemoveEolTest : public testing::TestWithParam<eol_case> {};

TEST_P(RemoveEolTest, CutsOnlyTheLineEnding) {
    std::string text = GetParam().input;
    text.push_back('\0');
    remove_eol(text.data());
    EXPECT_EQ(std::string(text.c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, RemoveEolTest,
                         testing::Values(eol_case{"", ""}, eol_case{"\n", ""}, eol_case{"\r", ""},
                                         eol_case{"a", "a"}, eol_case{"abc\n", "abc"},
                                         eol_case{"abc\r\n", "abc"}, eol_case{"abc\n\r", "abc"},
                                         eol_case{"abc\r", "abc"}, eol_case{"abc\n\n", "abc"},
                                         eol_case{"abc\r\r", "abc"}, eol_case{"\r\n", ""},
                                         eol_case{"abc\n\n\n", "abc\n"},
                                         // a CR or LF inside the text keeps what follows it
                                         eol_case{"abc\rd", "abc\rd"}, eol_case{"abc\nd", "abc\nd"},
                                         eol_case{"a\r\nb", "a\r\nb"}, eol_case{" abc ", " abc "}));

TEST(RemoveEol, LooksAtMostAtTheFirst1024Bytes) {
    std::string text(2000, 'x');
    text[1023] = '\n';
    remove_eol(text.data());
    EXPECT_EQ(text[1023], '\0');
    EXPECT_EQ(text[1024], 'x');
}

TEST(IsValidNumber, Table) {
    const struct {
        const char *text;
        int expected;
    } cases[] = {
        {"", 1},    {"0", 1},   {"0123", 1},     {"1234567890123456789012345678901234567890", 1},
        {"12a", 0}, {"-5", 0},  {"+5", 0},       {" 5", 0},
        {"5 ", 0},  {"5\n", 0}, {"\xd9\xa3", 0}, {"0x10", 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(is_valid_number(c.text), c.expected) << c.text;
    }
}

TEST(StrEndsWith, Table) {
    const struct {
        const char *string;
        const char *suffix;
        int expected;
    } cases[] = {{"x.proxy.commands", "proxy.commands", 1},
                 {".proxy.commands", "proxy.commands", 1},
                 {"xproxy.commands", "proxy.commands", 1},
                 {"proxy.commands", "proxy.commands", 1},
                 {"proxy.commands.bak", "proxy.commands", 0},
                 {"proxy.commands~", "proxy.commands", 0},
                 {"x.PROXY.commands", "proxy.commands", 0},
                 {"roxy.commands", "proxy.commands", 0},
                 {"abc", "", 1},
                 {"", "", 1},
                 {"", "a", 0},
                 {nullptr, "a", 0},
                 {"a", nullptr, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(str_ends_with(c.string, c.suffix), c.expected)
            << (c.string ? c.string : "(null)") << " / " << (c.suffix ? c.suffix : "(null)");
    }
}

}  // namespace
