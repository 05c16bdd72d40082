// Arbitrary sequences of the listener's events against its scheduling: connections accepted
// for a few uids, turns, starts, retries, ends of children and of inherited requests.
//
// Invariants: the totals are the sums over the uids; no uid waits more than its bound and no
// start is decided beyond the bounds; every connection admitted comes out of a turn exactly
// once, in its uid's order; and a turn never goes to the same uid twice in a row while another
// uid has connections waiting.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "listener/schedule.h"

namespace {

constexpr int uid_count = 5;

void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

struct model_t {
    std::map<uid_t, std::deque<int>> waiting;
    std::vector<std::pair<pid_t, uid_t>> children;
    std::map<uid_t, int> inherited;
    int next_connection = 0;
    pid_t next_pid = 1;
};

void check_totals(const schedule_t *s) {
    int live = 0;
    int waiting = 0;
    for (const uid_entry_t &e : s->uids) {
        if (e.used) {
            require(e.waiting <= uid_waiting_max, "waiting bound per uid");
            live += e.live;
            waiting += e.waiting;
        }
    }
    require(live == s->live_total && waiting == s->waiting_total, "totals");
    require(s->waiting_total <= waiting_total_max, "waiting bound");
}

void take_turn(schedule_t *s, model_t *m) {
    turn_t t{};
    bool others_waiting = false;
    if (!schedule_next(s, &t)) {
        for (const auto &[uid, queue] : m->waiting) {
            require(queue.empty(), "a connection lost");
        }
        return;
    }
    std::deque<int> &queue = m->waiting[t.uid];
    require(!queue.empty() && queue.front() == t.connection, "order within a uid");
    queue.pop_front();
    for (const auto &[uid, other] : m->waiting) {
        others_waiting = others_waiting || (uid != t.uid && !other.empty());
    }
    if (t.decision == verdict::start) {
        require(schedule_live(s, t.uid) < s->per_uid_max, "start beyond the uid's bound");
        require(s->live_total < global_live_max, "start beyond the global bound");
        schedule_started(s, t.uid, m->next_pid);
        m->children.emplace_back(m->next_pid++, t.uid);
    }
    turn_t again{};
    if (others_waiting && schedule_next(s, &again)) {
        require(again.uid != t.uid, "turns in order between uids");
        require(schedule_retry(s, again.uid, again.connection), "retry");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto s = std::make_unique<schedule_t>();
    schedule_init(s.get(), 1 + (size > 0 ? data[0] % 8 : 0));
    model_t m;
    for (size_t i = 1; i < size; ++i) {
        auto uid = static_cast<uid_t>(data[i] % uid_count);
        switch (data[i] / uid_count % 5) {
            case 0:
            case 1: {
                int connection = m.next_connection++;
                if (schedule_admit(s.get(), uid, connection) == verdict::queued) {
                    m.waiting[uid].push_back(connection);
                }
                break;
            }
            case 2:
                take_turn(s.get(), &m);
                break;
            case 3:
                if (!m.children.empty()) {
                    size_t pick = data[i] % m.children.size();
                    require(schedule_ended(s.get(), m.children[pick].first), "a child's end");
                    m.children.erase(m.children.begin() + static_cast<long>(pick));
                }
                require(!schedule_ended(s.get(), -1), "an unknown pid");
                break;
            default:
                if (m.inherited[uid] > 0 && data[i] % 2 == 0) {
                    schedule_release_inherited(s.get(), uid);
                    --m.inherited[uid];
                } else if (s->live_total < global_live_max) {
                    schedule_add_inherited(s.get(), uid);
                    ++m.inherited[uid];
                }
        }
        check_totals(s.get());
    }
    return 0;
}
