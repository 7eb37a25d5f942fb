// korvel_state.cc - the run state's variables, each with its load value:
// what every variable holds when the library has been loaded and before
// any entry point is called. Their meaning is told in korvel_state.h; the
// comments here say who sets them. korvel_state_reset (zarn_daq_user.cc)
// gives them these values again.
#include "korvel_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

// ---- Options: set by korvel_parse_options at set-up, then only read ----
// A constant expression, so that opt holds it before any code runs.
constexpr run_options opt_at_load = {
    KORVEL_TABLE_FILE,  // file: -out FILE
    KORVEL_EVIDS_FILE,  // fileids: no option changes it
    KORVEL_IMAGE_DIR,   // imdir: -imdump DIR
    KORVEL_XML_FILE,    // xfile: -xdump FILE
    nullptr,            // ftilist: -fti LIST; points into argv
    false,              // zerocheck: -zerocheck
    false,              // imbin: -imbin
    false,              // evstatdump: -evstat
    false,              // nodump: -nodump
    false,              // dallval: -dumpall
    false,              // nostat: -nostat
    false,              // nonvn: -nonvn
    false,              // hdf5mode: -hdf5
    false,              // imdump: -imdump
    false,              // dumpxml: -xdump
};
run_options opt = opt_at_load;

// ---- Channel table: made by zarn_user_init_2010, kept until the process
// ends (a second set-up is not supported) ----
int nchans = 0;                    // the reader's channel count
const char **chans = nullptr;      // pointers handed out by the reader
int *subchans = nullptr;           // from the reader, -1 when it gives none
const char **chantexts = nullptr;  // table_build_channel_texts; one block with the texts
int *do_conv = nullptr;            // made only with -fti
dim_params *spectprms = nullptr;   // made only with -xdump; filled by the cells

// ---- Files ----
FILE *fd = nullptr;     // opened at set-up, closed by report_end_of_run
FILE *fdids = nullptr;  // opened and closed by report_end_of_run

// ---- Counters: kept by table_write_event ----
int first_event = -1;
int last_event = -1;
int bad_chans = 0;

// ---- Output failures: kept by korvel_output_failed, read by
// korvel_output_failure ----
int output_errno = 0;
char output_failure_text[512] = "";

// ---- Free-space guard: set by the image file writer ----
bool space_refusal_told = false;

// ---- Event-ID lists: grown by evids_record, emptied by evids_prepare,
// released by evids_release ----
evid_list eventids[KORVEL_FIXED_LISTS];
evid_list *eventids_more = nullptr;
int eventids_more_count = 0;

/* Only the first failure is kept: it is the one that explains the rest
 * (a full disk fails every later write too). */
void korvel_output_failed(const char *what, const char *name, int err) {
    if (output_errno != 0)
        return;
    output_errno = err != 0 ? err : EIO;
    snprintf(output_failure_text, sizeof output_failure_text, "%s %s: %s", what, name,
             strerror(output_errno));
}

int korvel_io_errno() {
    return errno ? errno : EIO;
}

int korvel_close_output(FILE *f, int err, bool *at_close) {
    if (!err && ferror(f))
        err = korvel_io_errno();
    if (!err && fflush(f) != 0)
        err = korvel_io_errno();
    errno = 0;
    int rc = fclose(f);
    *at_close = !err && rc != 0;
    return *at_close ? korvel_io_errno() : err;
}
