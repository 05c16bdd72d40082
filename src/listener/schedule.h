// Which accepted connection starts next, and which is refused: a queue of waiting connections
// per uid, the uids served in turn, and the bounds on live and waiting requests. Pure
// bookkeeping: connections are numbers here, nothing is read, closed or started; the listener
// does what the verdicts say.
//
// A connection is refused at accept when its uid already has its bound of live requests, or
// its bound of waiting ones, or when all uids together have theirs; otherwise it waits. It is
// refused at its turn when its uid (or everyone) has reached the bound since it was accepted.
// One uid's flood thus fills only that uid's queue, and a connection of another uid waits at
// most one turn of every uid that has connections waiting.
#pragma once

#include <sys/types.h>

constexpr int global_live_max = 256;
constexpr int uid_waiting_max = 64;
// Every waiting connection is a descriptor of the listener's: they stay within the usual
// limit of 1024 open files, which the front-ends and the commands inherit unchanged.
constexpr int waiting_total_max = 768;
// Each uid in the table has a live or a waiting request, so the table never fills while the
// bounds above hold.
constexpr int uid_entry_max = global_live_max + waiting_total_max;

enum class verdict { queued, start, busy, overloaded };

struct uid_entry_t {
    uid_t uid;
    bool used;
    int live;
    int waiting;
    // Indices into schedule_t.nodes, -1 for none.
    int head;
    int tail;
};

struct waiting_t {
    int connection;
    int next;
};

struct child_t {
    pid_t pid;
    uid_t uid;
};

struct schedule_t {
    int per_uid_max;
    int live_total;
    int waiting_total;
    // The entry served last; the next turn looks from the one after it.
    int cursor;
    int free_node;
    int child_count;
    uid_entry_t uids[uid_entry_max];
    waiting_t nodes[waiting_total_max];
    child_t children[global_live_max];
};

// The next connection in turn, taken off its queue.
struct turn_t {
    uid_t uid;
    int connection;
    verdict decision;
};

void schedule_init(schedule_t *s, int per_uid_max);
// At accept: queued, or busy or overloaded (then refused at once, not kept).
verdict schedule_admit(schedule_t *s, uid_t uid, int connection);
// The next waiting connection, the uids taken in turn; false when none waits. Its decision
// is start, or busy or overloaded when the bound has been reached since it was accepted.
bool schedule_next(schedule_t *s, turn_t *turn);
// A connection whose start failed for a moment goes back to the head of its uid's queue
// (always room: it has just left it). False only when it does not fit after all.
bool schedule_retry(schedule_t *s, uid_t uid, int connection);
// A start: the child's pid counted as a live request of its uid.
void schedule_started(schedule_t *s, uid_t uid, pid_t pid);
// A child ended; false for a pid that is not one of the starts.
bool schedule_ended(schedule_t *s, pid_t pid);
// A live request that an earlier listener started (its slot found locked), and its end.
void schedule_add_inherited(schedule_t *s, uid_t uid);
void schedule_release_inherited(schedule_t *s, uid_t uid);
// The live requests of one uid.
int schedule_live(const schedule_t *s, uid_t uid);
// No connection waiting and no live request.
bool schedule_idle(const schedule_t *s);
