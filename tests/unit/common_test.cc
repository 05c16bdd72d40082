#include <gtest/gtest.h>

#include <string>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "common/child.h"
#include "common/common.h"
#include "common/escape.h"
#include "driver/decide.h"
#include "driver/driver.h"
#include "registry/registry.h"

namespace {

void exit_with(const void *context) {
    _exit(*static_cast<const int *>(context));
}

void hang(const void * /*context*/) {
    pause();
}

TEST(BoundedChild, AChildThatEndsInTimeGivesItsStatusALateOneIsKilled) {
    int code = 7;
    int status = 0;
    EXPECT_EQ(run_bounded_child(exit_with, &code, 5000, &status), child_end::ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
    EXPECT_EQ(run_bounded_child(hang, nullptr, 50, &status), child_end::killed);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(run_bounded_child(hang, nullptr, 0, &status), child_end::killed);
}

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

// The server's decisions as values: the request's face, the launch's identity, crontab kind,
// pid file and working-directory rule.
TEST(Decide, RequestFace) {
    const struct {
        const char *user, *cwd, *alias, *pid;
        request_fault expected;
    } cases[] = {
        {"site1", "/", "ls", "42", request_fault::none},
        {nullptr, "/", "ls", "42", request_fault::missing},
        {"site1", "/", "ls", nullptr, request_fault::missing},
        {"site1", "", "ls", "42", request_fault::empty},
        {"site1", "/", "ls", "", request_fault::empty},
        {"site1", "/", "ls", "4 2", request_fault::pid_not_number},
        {"site1", "/", "ls", "-1", request_fault::pid_not_number},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(judge_request_face(c.user, c.cwd, c.alias, c.pid), c.expected)
            << (c.pid != nullptr ? c.pid : "(null)");
    }
}

TEST(Decide, LaunchRules) {
    EXPECT_EQ(decide_identity_mode(1, "backup"), identity_mode::root);
    EXPECT_EQ(decide_identity_mode(0, "backup"), identity_mode::command_user);
    EXPECT_EQ(decide_identity_mode(0, nullptr), identity_mode::requesting_user);
    EXPECT_STREQ(identity_mode_name(identity_mode::command_user), "account");
    EXPECT_EQ(decide_crontab_kind("CRONTAB_LIST"), crontab_kind::list);
    EXPECT_EQ(decide_crontab_kind("CRONTAB_LISTX"), crontab_kind::none);
    EXPECT_STREQ(crontab_kind_name(decide_crontab_kind("CRONTAB_CHECK")), "check");
    EXPECT_EQ(crontab_kind_name(crontab_kind::none), nullptr);
    // Only the requesting user's own commands get a pid file, never a crontab alias or the shell.
    EXPECT_TRUE(writes_pid_file(identity_mode::requesting_user, "ls"));
    EXPECT_FALSE(writes_pid_file(identity_mode::requesting_user, "CRONTAB_SAVE"));
    EXPECT_FALSE(writes_pid_file(identity_mode::requesting_user, "VORNEX_ENTER"));
    EXPECT_FALSE(writes_pid_file(identity_mode::command_user, "ls"));
    char path[32];
    EXPECT_TRUE(make_pid_file_path(path, sizeof path, "/h", "7"));
    EXPECT_STREQ(path, "/h/.vornex/tmp/.vornex.proxy.7");
    EXPECT_FALSE(make_pid_file_path(path, sizeof path, "/a/home/far/too/long", "7"));
    EXPECT_EQ(decide_working_directory(0), cwd_outcome::enter);
    EXPECT_EQ(decide_working_directory(EACCES), cwd_outcome::stays_in_root);
    EXPECT_EQ(decide_working_directory(ENOENT), cwd_outcome::fails);
}

// What a decision logs, as a sink records it: the priority and the formatted line.
__attribute__((format(printf, 3, 0))) void record(void *context, int priority, const char *format,
                                                  va_list arguments) {
    char line[256];
    vsnprintf(line, sizeof line, format, arguments);
    *static_cast<std::string *>(context) += std::to_string(priority) + " " + line + "\n";
}

TEST(Decide, EachDecisionLogsItsLinesToTheSink) {
    using log_t = void (*)(const log_sink_t *sink, const struct stat *info);
    const struct {
        log_t log;
        const char *expected;
    } cases[] = {
        {[](const log_sink_t *k, const struct stat *) {
             log_request_fault(k, nullptr, "/", "ls", "1", request_fault::missing);
         },
         "3 One of the arguments missing: user: (null), cwd: /, command: ls, pid: 1\n"},
        {[](const log_sink_t *k, const struct stat *) {
             log_request_fault(k, "u", "/", "ls", "4 2", request_fault::pid_not_number);
         },
         "3 Only valid numbers allowed as pid value, pid: 4 2\n"},
        {[](const log_sink_t *k, const struct stat *) {
             log_request_fault(k, "u", "/", "ls", "1", request_fault::none);
         },
         ""},
        {[](const log_sink_t *k, const struct stat *) {
             account_decision_t decision{end_kind::account, account_fault::no_home, 0, nullptr};
             log_account_fault(k, "site1", &decision);
         },
         "3 Can't get home directory for user site1\n"},
        {[](const log_sink_t *k, const struct stat *) {
             account_decision_t decision{end_kind::internal, account_fault::lookup_failed, EIO,
                                         nullptr};
             log_account_fault(k, "site1", &decision);
         },
         "3 getpwnam_r: Input/output error\n"},
        {[](const log_sink_t *k, const struct stat *) { log_command_user_fault(k, "backup", 0); },
         "3 Can't get passwd info for user backup\n"},
        {[](const log_sink_t *k, const struct stat *i) {
             log_command_file_fault(k, "/etc/vornex/x", command_file_status::not_regular, 0, i);
         },
         "3 File '/etc/vornex/x' is not a regular file\n"},
        // A usable file is logged only when others can change it: an alert.
        {[](const log_sink_t *k, const struct stat *i) {
             log_command_file_fault(k, "/etc/vornex/x", command_file_status::usable, 0, i);
         },
         "81 Command file /etc/vornex/x is not safe (owner uid 1005, mode 664), refusing the "
         "request\n"},
        {[](const log_sink_t *k, const struct stat *i) { log_command_dir_fault(k, false, i); },
         "3 opendir: Path '/etc/vornex' does not exist or could not be read\n"},
    };
    struct stat info {};
    info.st_uid = 1005;
    info.st_mode = S_IFREG | 0664;
    for (const auto &c : cases) {
        std::string lines;
        log_sink_t sink{record, &lines};
        c.log(&sink, &info);
        EXPECT_EQ(lines, c.expected);
    }
}

TEST(Escape, OneRuleForTextAndJson) {
    const struct {
        unsigned char byte;
        const char *text;
        const char *json;
    } cases[] = {
        {'a', "a", "a"},
        {'"', "\\x22", "\\\""},
        {'\\', "\\x5c", "\\\\"},
        {'\n', "\\x0a", "\\u000a"},
        {0x7f, "\\x7f", "\\u007f"},
        {0xff, "\\xff", "\\u00ff"},
    };
    for (const auto &c : cases) {
        char text[escaped_byte_size];
        char json[json_byte_size];
        EXPECT_EQ(escape_byte(c.byte, text), strlen(c.text));
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(json_escape_byte(c.byte, json), strlen(c.json));
        EXPECT_STREQ(json, c.json);
    }
    EXPECT_TRUE(has_control_byte("a\x7f"));
    EXPECT_TRUE(has_control_byte("\t"));
    EXPECT_FALSE(has_control_byte("caf\xc3\xa9 \"\\"));
}

}  // namespace
