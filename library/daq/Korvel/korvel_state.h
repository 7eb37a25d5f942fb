// korvel_state.h - the run state of libKorvel: every process-wide variable
// of the plug-in, declared once, with its meaning, its load value and who
// sets it. They are defined in korvel_state.cc; korvel_state_reset (in
// zarn_daq_user.cc, beside the unload that releases the same things) puts
// them all back to their load values.
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
// The option words of the command line, one record, so that the load
// values can be given back in one assignment.
// Load values of the file and directory names.
#define KORVEL_TABLE_FILE "./user_out.txt"
#define KORVEL_EVIDS_FILE "./user_evids.txt"
#define KORVEL_IMAGE_DIR  "./"
#define KORVEL_XML_FILE   "./user_descr.xml"
struct run_options {
    const char *file;     // event table file; KORVEL_TABLE_FILE; -out
    const char *fileids;  // event-ID file; always KORVEL_EVIDS_FILE
    const char *imdir;    // image directory; KORVEL_IMAGE_DIR; -imdump DIR
    const char *xfile;    // XML description; KORVEL_XML_FILE; -xdump F
    const char *ftilist;  // channels written in integer form; null; -fti
    bool zerocheck;       // -zerocheck: report all-zero spectra
    bool imbin;           // -imbin: images appended to CHANNEL.bin
    bool evstatdump;      // -evstat: write the event-ID file at the end
    bool nodump;          // -nodump: no table file, bookkeeping only
    bool dallval;         // -dumpall: every spectrum value, not `samples`
    bool nostat;          // -nostat: no spectrum statistics in cells
    bool nonvn;           // -nonvn: name-value items without names
    bool hdf5mode;        // -hdf5: comma dialect of the table
    bool imdump;          // -imdump: write image files
    bool dumpxml;         // -xdump: XML description at the end
};
// The load values: the names above, no -fti list, every flag off.
extern const run_options opt_at_load;
// The options of this run, read everywhere as opt.NAME; opt_at_load until
// korvel_parse_options sets them.
extern run_options opt;

// ---- Channel table (built by zarn_user_init_2010) ----
extern int nchans;              // channels the reader reported; 0 at load
extern const char **chans;      // channel names, owned by the reader
extern int *subchans;           // sub-channel numbers, negative: none
extern const char **chantexts;  // channel texts, "name" or "name:sub"
extern int *do_conv;            // integer-form flags per channel, or null
extern dim_params *spectprms;   // XML parameter records (-xdump), or null

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
extern int output_errno;               // its errno; 0 at load: none so far
extern char output_failure_text[512];  // "WHAT NAME: reason"; "" at load
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

// ---- Reset (zarn_daq_user.cc) ----
// Release what a run holds (channel arrays, parameter records, event-ID
// lists, open files, unwritten table bytes) and give every variable here,
// and the output buffer, its load value: the plug-in is then as freshly
// loaded, for a further run in the same process (the fuzz target runs one
// per input). It is defined beside the unload, which releases the same
// things when the process ends.
void korvel_state_reset();

#endif
