// What vornexctl shows of hostile bytes: text output escapes them without cutting an escape in
// two, and a JSON document stays plain ASCII with every string properly quoted.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ctl/ctl.h"

namespace {

TEST(Shown, EscapesUnsafeBytesAndNeverCutsAnEscape) {
    const struct {
        const char *text;
        size_t size;
        const char *expected;
    } cases[] = {
        {"plain text", 64, "plain text"},
        {"a\\b", 64, "a\\\\b"},
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
        EXPECT_STREQ(shown(c.text, buffer, c.size), c.expected) << c.text << " " << c.size;
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
}

}  // namespace
