// What vornexctl shows of hostile bytes: text output escapes them without cutting an escape in
// two, and a JSON document stays plain ASCII with every string properly quoted. What check
// reads from a command path: its plain form, and the interpreters it names.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ctl/ctl.h"

namespace {

TEST(EscapeText, EscapesUnsafeBytesAndNeverCutsAnEscape) {
    const struct {
        const char *text;
        size_t size;
        const char *expected;
    } cases[] = {
        {"plain text", 64, "plain text"},
        {"a\\b \"q\"", 64, "a\\x5cb \\x22q\\x22"},
        {"\x01\t\n\x1b[2J\x7f\x80\xff", 64, "\\x01\\x09\\x0a\\x1b[2J\\x7f\\x80\\xff"},
        {"abc", 3, "ab"},
        {"ab\x01", 6, "ab..."},  // the escape needs four bytes and the NUL: a cut is marked
        {"a\x01"
         "bcdef",
         8, "a..."},  // the mark never cuts an escape
        {"ab\x01", 7, "ab\\x01"},
        {"a\\", 3, "a"},
        {"", 1, ""},
    };
    for (const auto &c : cases) {
        char buffer[64];
        EXPECT_STREQ(escape_text(c.text, buffer, c.size), c.expected) << c.text << " " << c.size;
    }
}

TEST(Json, DocumentIsAsciiAndQuoted) {
    char *text = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    ASSERT_NE(out, nullptr);
    json_writer_t json{out, 0, {}};
    json_begin(&json, nullptr, '{');
    json_string(&json, "k\"ey", "v\x01\xff\\\"/");
    json_int(&json, "n", -5);
    json_begin(&json, "list", '[');
    json_bool(&json, nullptr, true);
    json_string(&json, nullptr, nullptr);
    json_null(&json, nullptr);
    json_end(&json, '[');
    json_begin(&json, "empty", '{');
    json_end(&json, '{');
    json_end(&json, '{');
    json_finish(&json);
    fclose(out);
    EXPECT_EQ(std::string(text, length),
              "{\"k\\\"ey\":\"v\\u0001\\u00ff\\\\\\\"/\",\"n\":-5,\"list\":[true,null,null],"
              "\"empty\":{}}\n");
    free(text);
    // Deeper than the writer keeps track of, the document still closes every bracket.
    out = open_memstream(&text, &length);
    ASSERT_NE(out, nullptr);
    json = json_document(out, false);
    for (int i = 0; i < json_max_depth + 2; ++i) {
        json_begin(&json, nullptr, '[');
    }
    for (int i = 0; i < json_max_depth + 2; ++i) {
        json_end(&json, '[');
    }
    fclose(out);
    EXPECT_EQ(std::string(text, length),
              std::string(json_max_depth + 2, '[') + std::string(json_max_depth + 2, ']'));
    free(text);
}

TEST(CommandPath, PlainFormFaultIsTheFirstOne) {
    const struct {
        const char *path;
        const char *fault;
    } cases[] = {
        {"/usr/bin/id", nullptr},
        {"/", nullptr},
        {"bin/id", nullptr},  // not absolute: reported as such, not as a form
        {"/usr/bin/.hidden", nullptr},
        {"/usr/bin/...", nullptr},
        {"/usr/bin/id.", nullptr},
        {"//usr/bin/id", "holds \"//\""},
        {"/usr//bin/id", "holds \"//\""},
        {"/usr/./bin/id", "holds \"/./\""},
        {"/usr/../usr/bin/id", "holds \"/../\""},
        {"/usr/bin/", "ends in \"/\""},
        {"/usr/bin/.", "ends in \"/.\""},
        {"/usr/bin/..", "ends in \"/..\""},
        {"/./usr//bin/", "holds \"/./\""},
    };
    for (const auto &c : cases) {
        const char *fault = path_form_fault(c.path);
        EXPECT_STREQ(fault, c.fault) << c.path;
    }
}

TEST(CommandPath, InterpreterAsSpelledOrThroughALink) {
    const struct {
        const char *spelled;
        const char *resolved;
        const char *found;
        bool through_link;
    } cases[] = {
        {"/bin/bash", "/usr/bin/bash", "bash", false},
        {"/usr/bin/python3", "/usr/bin/python3.11", "python3", false},
        {"/usr/local/bin/shell", "/usr/bin/dash", "dash", true},
        {"/usr/bin/env", nullptr, "env", false},
        {"/opt/perl5.36.0", nullptr, "perl5.36.0", false},
        {"/usr/bin/tclsh8.6", nullptr, "tclsh8.6", false},
        {"/bin/sh", "/bin/busybox", "sh", false},
        {"/usr/bin/id", "/usr/bin/id", nullptr, false},
        {"/usr/bin/ssh", nullptr, nullptr, false},
        {"/usr/bin/python3-config", nullptr, nullptr, false},
        {"/usr/bin/shred", nullptr, nullptr, false},
        {"/usr/local/bin/tool.sh", nullptr, nullptr, false},
    };
    for (const auto &c : cases) {
        bool through_link = !c.through_link;
        EXPECT_STREQ(find_interpreter(c.spelled, c.resolved, &through_link), c.found) << c.spelled;
        EXPECT_EQ(through_link, c.through_link) << c.spelled;
    }
}

}  // namespace
