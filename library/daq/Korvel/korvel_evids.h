// korvel_evids.h - the event-ID lists (their data: korvel_state.h).
#ifndef KORVEL_EVIDS_H
#define KORVEL_EVIDS_H

#include "korvel_state.h"

// ---- Life cycle ----
// At set-up: the lists of channels 0..nchans-1 start empty (lists of higher
// index keep theirs); channels past 4096 get lists of their own. 0, or -1
// when those cannot be had.
int evids_prepare();
// At unload and reset: give back every list's storage, the highest index
// first.
void evids_release();

// ---- Adding numbers ----
// With -evstat, record `mpulse` for channel i unless it equals the last
// number recorded; without it, nothing. Out of memory, the number is
// dropped with a message (once per channel). Can't fail otherwise.
void evids_record(int i, int mpulse);

// ---- Reading ----
// List of channel index i (0 <= i < nchans).
evid_list *evids_list(int i);

#endif
