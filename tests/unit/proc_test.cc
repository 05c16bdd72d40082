#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "proc/proc.h"

namespace {

int run_shell(const char *script, int quiet) {
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(script),
                    nullptr};
    return fork_execv("/bin/sh", argv, quiet);
}

TEST(ForkExecv, FoldsExitStatusesAndSignals) {
    const struct {
        const char *script;
        int expected;
    } cases[] = {{"exit 0", 0},       {"exit 3", 3},        {"exit 255", 255},
                 {"kill -9 $$", 137}, {"kill -15 $$", 143}, {"kill -1 $$", 129}};
    for (const auto &c : cases) {
        EXPECT_EQ(run_shell(c.script, 0), c.expected) << c.script;
    }
}

TEST(ForkExecv, ExecFailureGivesOne) {
    char *argv[] = {const_cast<char *>("x"), nullptr};
    EXPECT_EQ(fork_execv("/nonexistent/program", argv, 0), 1);
    char name[] = "/tmp/vornex-noexec-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    chmod(name, 0600);
    EXPECT_EQ(fork_execv(name, argv, 0), 1);
    unlink(name);
}

TEST(ForkExecv, QuietDiscardsOutputButKeepsInput) {
    char name[] = "/tmp/vornex-quiet-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    // The child's freopen flushes what the parent's stdout still buffers: flush it first.
    fflush(nullptr);
    int saved_out = dup(1);
    int saved_err = dup(2);
    dup2(fd, 1);
    dup2(fd, 2);
    int quiet = run_shell("echo out; echo err >&2", 1);
    int loud = run_shell("echo shown", 0);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    char buffer[64] = {};
    ssize_t got = pread(fd, buffer, sizeof buffer - 1, 0);
    close(fd);
    unlink(name);
    EXPECT_EQ(quiet, 0);
    EXPECT_EQ(loud, 0);
    EXPECT_EQ(got, 6);
    EXPECT_STREQ(buffer, "shown\n");
}

TEST(ForkExecv, ReapedChildNeverApproves) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    int result = run_shell("exit 0", 0);
    sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(result, -1);
}

TEST(FoldWaitStatus, StopReportIsAFailure) {
    EXPECT_EQ(fold_wait_status("p", 0x137f), -1);  // stopped by SIGSTOP
    EXPECT_EQ(fold_wait_status("p", 0x0300), 3);
    EXPECT_EQ(fold_wait_status("p", 9), 137);
}

}  // namespace
