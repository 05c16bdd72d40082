#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "rules/rules.h"

namespace {

// A line and what the reader makes of it: the fault, or the words joined by "|" with a
// pattern word marked "~", "+..." for any further arguments.
struct line_case {
    const char *line;
    const char *fault;  // null: the line parses
    const char *words;
};

std::string describe(const rules_line_t *line) {
    std::string text = line->command;
    for (size_t i = 0; i < line->word_count; ++i) {
        text += std::string("|") + (line->words[i].pattern ? "~" : "") + line->words[i].text;
    }
    return line->any_further ? text + "|+..." : text;
}

class RulesLineTest : public testing::TestWithParam<line_case> {};

TEST_P(RulesLineTest, ReadsAsTheTableSays) {
    const line_case &c = GetParam();
    auto line = std::make_unique<rules_line_t>();
    const char *error = nullptr;
    int parsed = parse_rules_line(c.line, strlen(c.line), line.get(), &error);
    if (c.fault != nullptr) {
        ASSERT_EQ(parsed, -1) << c.line;
        EXPECT_STREQ(error, c.fault);
        return;
    }
    ASSERT_EQ(parsed, 0) << c.line << ": " << error;
    ASSERT_EQ(line->kind, rules_kind::rule);
    EXPECT_EQ(describe(line.get()), c.words);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RulesLineTest,
    testing::Values(line_case{"/bin/x", nullptr, "/bin/x"},
                    line_case{"  /bin/x\ta  b # note", nullptr, "/bin/x|a|b"},
                    line_case{"/bin/x \"a b\" 'c*' \\? \"\" ...", nullptr, "/bin/x|a b|c*|?||+..."},
                    line_case{"/bin/x \"s *\"* [a-z]?", nullptr, "/bin/x|~s \\**|~[a-z]?"},
                    line_case{"/bin/x \"...\" a#b", nullptr, "/bin/x|...|a#b"},
                    line_case{"site1,:ops /bin/x", nullptr, "/bin/x"},
                    line_case{"/bin/x \"a", "a quote is not closed", nullptr},
                    line_case{"/bin/x a\\", "a backslash ends the line", nullptr},
                    line_case{"/bin/x [ab", "a \"[\" has no closing \"]\"", nullptr},
                    line_case{"/bin/x ... a", "\"...\" is not the last word", nullptr},
                    line_case{"bin/x", "the command path is missing or not absolute", nullptr},
                    line_case{"site1", "the command path is missing or not absolute", nullptr},
                    line_case{"/bin/* a", "the command path holds a wildcard", nullptr},
                    line_case{"s* /bin/x", "user and group names hold no wildcard", nullptr},
                    line_case{"a,,b /bin/x", "an empty user or group name", nullptr},
                    line_case{"default sometimes",
                              "a default line is \"default check\" or \"default refuse\"", nullptr},
                    line_case{"/bin/x \x1b", "a control byte", nullptr}));

struct match_case {
    const char *pattern;
    const char *text;
    int matches;
};

class RulesPatternTest : public testing::TestWithParam<match_case> {};

TEST_P(RulesPatternTest, MatchesAsTheTableSays) {
    const match_case &c = GetParam();
    rules_word_t word{c.pattern, true};
    EXPECT_EQ(rules_word_matches(&word, c.text), c.matches) << c.pattern << " " << c.text;
}

INSTANTIATE_TEST_SUITE_P(Patterns, RulesPatternTest,
                         testing::Values(match_case{"site-*.service", "site-a.service", 1},
                                         match_case{"site-*.service", "site-a/b.service", 0},
                                         match_case{"/srv/www/*", "/srv/www/x", 1},
                                         match_case{"/srv/www/*", "/srv/www/../../etc/shadow", 0},
                                         match_case{"*", "..", 0}, match_case{"*", "", 1},
                                         match_case{"a?c", "a/c", 0}, match_case{"[!a]", "/", 0},
                                         match_case{"[]x]", "]", 1}, match_case{"\\*", "*", 1},
                                         match_case{"\\*", "x", 0}, match_case{"*a*b", "aab", 1},
                                         match_case{"[z-a]", "m", 0}, match_case{"[", "[", 1}));

TEST(RulesLogValue, EscapesAndCuts) {
    char out[16];
    quote_log_value("a\\b\xff\n", out, sizeof out);
    EXPECT_STREQ(out, "'a\\x5cb\\xff...'");
    quote_log_value("ok", out, sizeof out);
    EXPECT_STREQ(out, "'ok'");
}

}  // namespace
