#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "listener/schedule.h"

namespace {

std::unique_ptr<schedule_t> fresh(int per_uid_max = 8) {
    auto s = std::make_unique<schedule_t>();
    schedule_init(s.get(), per_uid_max);
    return s;
}

// The uids of the next `count` turns, -1 once none waits.
std::vector<long> turns(schedule_t *s, int count) {
    std::vector<long> uids;
    for (int i = 0; i < count; ++i) {
        turn_t t{};
        uids.push_back(schedule_next(s, &t) ? static_cast<long>(t.uid) : -1);
    }
    return uids;
}

TEST(Schedule, UidsAreServedInTurnWhateverTheyQueued) {
    auto s = fresh();
    for (int fd = 10; fd < 60; ++fd) {
        EXPECT_EQ(schedule_admit(s.get(), 1000, fd), verdict::queued);
    }
    EXPECT_EQ(schedule_admit(s.get(), 2000, 7), verdict::queued);
    EXPECT_EQ(schedule_admit(s.get(), 3000, 8), verdict::queued);
    EXPECT_EQ(turns(s.get(), 5), (std::vector<long>{1000, 2000, 3000, 1000, 1000}));
}

TEST(Schedule, OneUidsConnectionsKeepTheirOrder) {
    auto s = fresh();
    schedule_admit(s.get(), 5, 11);
    schedule_admit(s.get(), 5, 12);
    turn_t t{};
    ASSERT_TRUE(schedule_next(s.get(), &t));
    EXPECT_EQ(t.connection, 11);
    ASSERT_TRUE(schedule_retry(s.get(), 5, 11));  // a start that failed goes first again
    ASSERT_TRUE(schedule_next(s.get(), &t));
    EXPECT_EQ(t.connection, 11);
    ASSERT_TRUE(schedule_next(s.get(), &t));
    EXPECT_EQ((std::pair{t.connection, t.decision}), (std::pair{12, verdict::start}));
    EXPECT_FALSE(schedule_next(s.get(), &t));
}

TEST(Schedule, BoundsAtAccept) {
    auto s = fresh(2);
    for (pid_t pid = 100; pid < 102; ++pid) {
        schedule_started(s.get(), 5, pid);
    }
    EXPECT_EQ(schedule_admit(s.get(), 5, 3), verdict::busy);  // its live requests
    for (int i = 0; i < uid_waiting_max; ++i) {
        EXPECT_EQ(schedule_admit(s.get(), 6, i), verdict::queued);
    }
    EXPECT_EQ(schedule_admit(s.get(), 6, 99), verdict::busy);  // its waiting ones
    for (pid_t pid = 0; s->live_total < global_live_max; ++pid) {
        schedule_started(s.get(), 1000 + static_cast<uid_t>(pid / 2), 200 + pid);
    }
    EXPECT_EQ(schedule_admit(s.get(), 7, 3), verdict::overloaded);  // everyone's
    EXPECT_TRUE(schedule_ended(s.get(), 200));
    EXPECT_FALSE(schedule_ended(s.get(), 200));
    EXPECT_EQ(schedule_admit(s.get(), 7, 3), verdict::queued);
}

TEST(Schedule, BoundReachedWhileWaitingIsDecidedAtTheTurn) {
    auto s = fresh(1);
    schedule_admit(s.get(), 5, 11);
    schedule_admit(s.get(), 5, 12);
    turn_t t{};
    ASSERT_TRUE(schedule_next(s.get(), &t));
    EXPECT_EQ(t.decision, verdict::start);
    schedule_started(s.get(), 5, 300);
    ASSERT_TRUE(schedule_next(s.get(), &t));
    EXPECT_EQ((std::pair{t.connection, t.decision}), (std::pair{12, verdict::busy}));
}

TEST(Schedule, InheritedRequestsCountUntilReleased) {
    auto s = fresh(1);
    EXPECT_TRUE(schedule_idle(s.get()));
    schedule_add_inherited(s.get(), 5);
    EXPECT_FALSE(schedule_idle(s.get()));
    EXPECT_EQ(schedule_admit(s.get(), 5, 3), verdict::busy);
    schedule_release_inherited(s.get(), 5);
    EXPECT_EQ(schedule_live(s.get(), 5), 0);
    EXPECT_TRUE(schedule_idle(s.get()));
    EXPECT_EQ(schedule_admit(s.get(), 5, 3), verdict::queued);
}

}  // namespace
