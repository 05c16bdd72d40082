// The listener's bookkeeping of live and waiting requests per uid (see schedule.h).

#include "listener/schedule.h"

namespace {

uid_entry_t *find_uid(schedule_t *s, uid_t uid) {
    for (uid_entry_t &e : s->uids) {
        if (e.used && e.uid == uid) {
            return &e;
        }
    }
    return nullptr;
}

const uid_entry_t *find_uid(const schedule_t *s, uid_t uid) {
    for (const uid_entry_t &e : s->uids) {
        if (e.used && e.uid == uid) {
            return &e;
        }
    }
    return nullptr;
}

uid_entry_t *add_uid(schedule_t *s, uid_t uid) {
    uid_entry_t *e = find_uid(s, uid);
    for (int i = 0; e == nullptr && i < uid_entry_max; ++i) {
        if (!s->uids[i].used) {
            e = &s->uids[i];
            *e = uid_entry_t{uid, true, 0, 0, -1, -1};
        }
    }
    return e;
}

// An entry with nothing live and nothing waiting is given back.
void settle_uid(uid_entry_t *e) {
    if (e->live <= 0 && e->waiting == 0) {
        e->used = false;
    }
}

int take_node(schedule_t *s, int connection) {
    int node = s->free_node;
    if (node >= 0) {
        s->free_node = s->nodes[node].next;
        s->nodes[node] = waiting_t{connection, -1};
    }
    return node;
}

void release_live(schedule_t *s, uid_t uid) {
    uid_entry_t *e = find_uid(s, uid);
    if (e != nullptr && e->live > 0) {
        --e->live;
        --s->live_total;
        settle_uid(e);
    }
}

verdict bound_reached(const schedule_t *s, const uid_entry_t *e) {
    if (e != nullptr && e->live >= s->per_uid_max) {
        return verdict::busy;
    }
    return s->live_total >= global_live_max ? verdict::overloaded : verdict::start;
}

}  // namespace

void schedule_init(schedule_t *s, int per_uid_max) {
    *s = schedule_t{};
    s->per_uid_max = per_uid_max;
    s->cursor = uid_entry_max - 1;
    for (int i = 0; i < waiting_total_max; ++i) {
        s->nodes[i] = waiting_t{-1, i + 1 < waiting_total_max ? i + 1 : -1};
    }
    s->free_node = 0;
}

verdict schedule_admit(schedule_t *s, uid_t uid, int connection) {
    uid_entry_t *e = find_uid(s, uid);
    verdict decision = bound_reached(s, e);
    if (decision == verdict::start && e != nullptr && e->waiting >= uid_waiting_max) {
        decision = verdict::busy;
    }
    if (decision == verdict::start && s->waiting_total >= waiting_total_max) {
        decision = verdict::overloaded;
    }
    if (decision == verdict::start) {
        e = add_uid(s, uid);
        int node = e != nullptr ? take_node(s, connection) : -1;
        if (node < 0) {
            return verdict::overloaded;
        }
        if (e->tail >= 0) {
            s->nodes[e->tail].next = node;
        } else {
            e->head = node;
        }
        e->tail = node;
        ++e->waiting;
        ++s->waiting_total;
        decision = verdict::queued;
    }
    return decision;
}

bool schedule_next(schedule_t *s, turn_t *turn) {
    if (s->waiting_total == 0) {
        return false;
    }
    for (int step = 1; step <= uid_entry_max; ++step) {
        int index = (s->cursor + step) % uid_entry_max;
        uid_entry_t *e = &s->uids[index];
        if (!e->used || e->waiting == 0) {
            continue;
        }
        int node = e->head;
        e->head = s->nodes[node].next;
        if (e->head < 0) {
            e->tail = -1;
        }
        --e->waiting;
        --s->waiting_total;
        *turn = turn_t{e->uid, s->nodes[node].connection, bound_reached(s, e)};
        s->nodes[node] = waiting_t{-1, s->free_node};
        s->free_node = node;
        s->cursor = index;
        settle_uid(e);
        return true;
    }
    return false;
}

bool schedule_retry(schedule_t *s, uid_t uid, int connection) {
    uid_entry_t *e = add_uid(s, uid);
    int node = e != nullptr ? take_node(s, connection) : -1;
    if (node < 0) {
        if (e != nullptr) {
            settle_uid(e);
        }
        return false;
    }
    s->nodes[node].next = e->head;
    e->head = node;
    if (e->tail < 0) {
        e->tail = node;
    }
    ++e->waiting;
    ++s->waiting_total;
    return true;
}

void schedule_started(schedule_t *s, uid_t uid, pid_t pid) {
    uid_entry_t *e = add_uid(s, uid);
    if (e == nullptr || s->child_count >= global_live_max) {
        return;
    }
    s->children[s->child_count++] = child_t{pid, uid};
    ++e->live;
    ++s->live_total;
}

bool schedule_ended(schedule_t *s, pid_t pid) {
    for (int i = 0; i < s->child_count; ++i) {
        if (s->children[i].pid != pid) {
            continue;
        }
        uid_t uid = s->children[i].uid;
        s->children[i] = s->children[--s->child_count];
        release_live(s, uid);
        return true;
    }
    return false;
}

void schedule_add_inherited(schedule_t *s, uid_t uid) {
    uid_entry_t *e = add_uid(s, uid);
    if (e != nullptr) {
        ++e->live;
        ++s->live_total;
    }
}

void schedule_release_inherited(schedule_t *s, uid_t uid) {
    release_live(s, uid);
}

int schedule_live(const schedule_t *s, uid_t uid) {
    const uid_entry_t *e = find_uid(s, uid);
    return e != nullptr ? e->live : 0;
}

bool schedule_idle(const schedule_t *s) {
    return s->live_total == 0 && s->waiting_total == 0;
}
