// korvel_state.h - the run state of libKorvel: every process-wide variable
// of the plug-in, declared once, with its meaning, its load value and who
// sets it. They are defined in korvel_state.cc; korvel_state_reset (in
// korvel_evids.cc) puts them all back to their load values.
//
// One run per process, one thread (the reader's): nothing here is locked.
//
// The event table's output buffer (out_buf, out_len, out_errno) is run
// state too. It is declared in korvel_format.h and defined in
// korvel_format.cc instead, because the inline writers of that header fill
// it on the hot path and must see it; its load value is empty (out_len 0)
// with no failure (out_errno 0), and korvel_state_reset empties it too.
#ifndef KORVEL_STATE_H
#define KORVEL_STATE_H

#include <cstdio>

#include "event_util.h"

// ---- Options (set by korvel_parse_options, read-only afterwards) ----
// Load values of the file and directory names, shared by the definitions
// and korvel_state_reset.
#define KORVEL_TABLE_FILE "./user_out.txt"
#define KORVEL_EVIDS_FILE "./user_evids.txt"
#define KORVEL_IMAGE_DIR "./"
#define KORVEL_XML_FILE "./user_descr.xml"
extern const char *file;     // event table file; KORVEL_TABLE_FILE; -out
extern const char *fileids;  // event-ID file; always KORVEL_EVIDS_FILE
extern const char *imdir;    // image directory; KORVEL_IMAGE_DIR; -imdump DIR
extern const char *xfile;    // XML description; KORVEL_XML_FILE; -xdump F
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
extern const char **chantexts; // channel texts, "name" or "name:sub"
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
// Keep `err` (EIO when 0) as the run's output failure unless an earlier
// one is kept; `what` names the kind of file ("image file"), `name` the
// file. Can't fail.
void korvel_output_failed(const char *what, const char *name, int err);
// The errno of a write, flush or close that just failed: errno, or EIO
// when the call left none (a short write may set no errno).
int korvel_io_errno();
// Close f, a file the run wrote. `err` is the errno of a write that already
// failed, or 0; a set error flag of the stream or a failed flush count as
// failed writes too. Returns the errno of the first failure, or 0 when
// every write, the flush and the close succeeded; *at_close tells whether
// it was the close. f is closed in every case.
int korvel_close_output(FILE *f, int err, bool *at_close);

// ---- Free-space guard ----
extern bool space_refusal_told;  // its refusal was explained; false at load

// ---- Event-ID lists (their functions: korvel_evids.h) ----
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
// The lists of channels 0..4095 exist, empty, from load to unload.
extern evid_list eventids[KORVEL_FIXED_LISTS];
// The lists of channels 4096 and up: eventids_more_count of them, made at
// set-up when the channel table needs them; null and 0 at load.
extern evid_list *eventids_more;
extern int eventids_more_count;

#endif
