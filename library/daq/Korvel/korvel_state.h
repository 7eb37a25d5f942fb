// korvel_state.h - the run state of libKorvel: every process-wide variable
// of the plug-in, declared once. They are defined in zarn_daq_user.cc.
//
// One run per process, one thread (the reader's): nothing here is locked.
#ifndef KORVEL_STATE_H
#define KORVEL_STATE_H

#include <cstdio>

#include "event_util.h"

// ---- Options (set by korvel_parse_options, read-only afterwards) ----
extern const char *file;     // event table file; "./user_out.txt"; -out
extern const char *fileids;  // event-ID file; always "./user_evids.txt"
extern const char *imdir;    // image directory; "./"; -imdump DIR
extern const char *xfile;    // XML description; "./user_descr.xml"; -xdump F
extern const char *ftilist;  // channels written in integer form; null; -fti
extern bool zerocheck;       // -zerocheck: report all-zero spectra
extern bool imbin;           // -imbin: images appended to CHANNEL.bin
extern bool evstatdump;      // -evstat: write the event-ID file at the end
extern bool nodump;          // -nodump: no table file, bookkeeping only
extern bool dallval;         // -dumpall: every spectrum value, not `samples`
extern bool nostat;          // -nostat: no spectrum statistics in cells
extern bool nonvn;           // -nonvn: name-value items without names
extern bool hdf5mode;        // -hdf5: comma dialect of the table
extern bool imdump;          // -imdump: write image files
extern bool dumpxml;         // -xdump: XML description at the end

// ---- Channel table (built by zarn_user_init_2010) ----
extern int nchans;            // channels the reader reported; 0 at load
extern const char **chans;    // channel names, owned by the reader
extern int *subchans;         // sub-channel numbers, negative: none
extern int *do_conv;          // integer-form flags per channel, or null
extern dim_params *spectprms; // XML parameter records (-xdump), or null

// ---- Files ----
extern FILE *fd;     // the event table, open from set-up to end; null with -nodump
extern FILE *fdids;  // the event-ID file while the end of the run writes it

// ---- Counters (kept by the loop, reported at the end) ----
extern int first_event;  // first event number seen; -1 until then
extern int last_event;   // latest event number; -1 until then
extern int bad_chans;    // channel readings with a non-zero channel status

// ---- Output failures ----
// The first output of the run (table, event-ID file, image file) that
// could not be opened, written or closed whole, for korvel_output_failure.
extern int output_errno;              // its errno; 0 at load: none so far
extern char output_failure_text[512]; // "WHAT NAME: reason"; "" at load
// Keep `err` as the run's output failure unless an earlier one is kept;
// `what` names the kind of file ("image file"), `name` the file.
void korvel_output_failed(const char *what, const char *name, int err);

// ---- Free-space guard ----
extern bool space_refusal_told;  // its refusal was explained; false at load

// ---- Event-ID lists ----
// Macro-pulse numbers in which a channel had data, in order of arrival,
// kept only with -evstat (the event-ID file is their only reader). The
// numbers are held as runs of consecutive values: `first`, first + 1, ...,
// first + count - 1, so that the usual increasing macro-pulse numbers take
// one run per channel however long the run. A list that ran out of memory
// drops further numbers; `oom_told` makes the message about it appear once.
struct evid_run {
    int first;
    unsigned count;  // 1 or more
};
struct evid_list {
    evid_run *runs;
    int len;  // runs in use
    int cap;  // runs allocated
    int oom_told;
};

#define KORVEL_FIXED_LISTS 4096
// The lists of channels 0..4095 exist from load to unload; the lists of
// channels beyond them are added at set-up.
extern evid_list eventids[KORVEL_FIXED_LISTS];
// List of channel index i (0 <= i < nchans).
evid_list *korvel_evlist(int i);
// With -evstat, record `mpulse` for channel i unless it equals the last
// number recorded; without it, nothing.
void korvel_record_mpulse(int i, int mpulse);

#endif
