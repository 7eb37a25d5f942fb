// korvel_evids.cc - the event-ID lists: emptied at set-up, grown by the
// cell writers, read by the event-ID file at the end, released at unload
// and by korvel_state_reset.
//
// Nothing here may throw or crash into the reader: a list that cannot grow
// drops the number and says so once.
#include "korvel_evids.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

evid_list *evids_list(int i) {
    return i < KORVEL_FIXED_LISTS ? &eventids[i] : &eventids_more[i - KORVEL_FIXED_LISTS];
}

/* Room for one more run in l; false (with the message, once per channel
 * i) when memory ran out. */
static bool evids_grow(evid_list *l, int i) {
    if (l->len < l->cap)
        return true;
    int cap = l->cap == 0 ? 4 : l->cap <= INT_MAX / 2 ? l->cap * 2 : 0;
    evid_run *runs =
        cap > 0 ? (evid_run *)realloc(l->runs, (size_t)cap * sizeof(evid_run)) : nullptr;
    if (!runs) {
        if (!l->oom_told)
            printf("zarn_user_loop(): out of memory for event IDs of channel %d\n", i);
        l->oom_told = 1;
        return false;
    }
    l->runs = runs;
    l->cap = cap;
    return true;
}

/* A number equal to the last one recorded is not recorded again; the one
 * after it lengthens the last run. A failed growth drops the number: the
 * reader must never see an exception or a crash from here. */
void evids_record(int i, int mpulse) {
    if (!opt.evstatdump)
        return;
    evid_list *l = evids_list(i);
    if (l->len > 0) {
        evid_run *r = &l->runs[l->len - 1];
        // The last number, first + count - 1, is an int by construction.
        int last = (int)((int64_t)r->first + (int64_t)r->count - 1);
        if (mpulse == last)
            return;
        if (last != INT_MAX && mpulse == last + 1 && r->count < UINT_MAX) {
            r->count++;
            return;
        }
    }
    if (evids_grow(l, i))
        l->runs[l->len++] = evid_run{mpulse, 1u};
}

/* Empty list l, keeping its storage for the numbers to come. */
static void evids_empty(evid_list *l) {
    l->len = 0;
    l->oom_told = 0;
}

/* The lists beyond the fixed ones grow to `more` and keep what they had:
 * set-up only ever adds to them. */
static int evids_make_more(int more) {
    if (more <= eventids_more_count)
        return 0;
    evid_list *l = (evid_list *)realloc(eventids_more, (size_t)more * sizeof(evid_list));
    if (!l)
        return -1;
    memset(l + eventids_more_count, 0, (size_t)(more - eventids_more_count) * sizeof(evid_list));
    eventids_more = l;
    eventids_more_count = more;
    return 0;
}

int evids_prepare() {
    for (int i = 0; i < nchans && i < KORVEL_FIXED_LISTS; i++)
        evids_empty(&eventids[i]);
    if (nchans <= KORVEL_FIXED_LISTS)
        return 0;
    int more = nchans - KORVEL_FIXED_LISTS;
    if (evids_make_more(more) != 0)
        return -1;
    for (int k = 0; k < more; k++)
        evids_empty(&eventids_more[k]);
    return 0;
}

/* The highest index first: the lists made last at set-up (those past the
 * fixed 4096) go first, then the fixed ones from 4095 down to 0, so that
 * the storage goes back in the reverse of the order in which channels
 * take their lists. */
void evids_release() {
    for (int k = eventids_more_count - 1; k >= 0; k--)
        free(eventids_more[k].runs);
    free(eventids_more);
    eventids_more = nullptr;
    eventids_more_count = 0;
    for (int i = KORVEL_FIXED_LISTS - 1; i >= 0; i--) {
        free(eventids[i].runs);
        eventids[i] = evid_list{};
    }
}
