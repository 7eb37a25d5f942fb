// zarn_daq_user.cc - libKorvel's entry points and its run state.
//
// The reader loads the plug-in into its own process and calls
// zarn_user_init_2010 once, zarn_user_loop for every event and
// zarn_user_end_2010 at the end. Everything the plug-in knows between two
// calls lives in the process-wide variables defined here (declared, with
// their meaning, in korvel_state.h).
#include "zarn_daq_user.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvel_format.h"
#include "korvel_options.h"
#include "korvel_report.h"
#include "korvel_state.h"
#include "korvel_table.h"

// ---- Run state: load values ----
const char *file = "./user_out.txt";
const char *fileids = "./user_evids.txt";
const char *imdir = "./";
const char *xfile = "./user_descr.xml";
const char *ftilist = nullptr;
bool zerocheck, imbin, evstatdump, nodump, dallval, nostat, nonvn, hdf5mode,
    imdump, dumpxml;

int nchans = 0;
const char **chans = nullptr;
int *subchans = nullptr;
int *do_conv = nullptr;
dim_params *spectprms = nullptr;

FILE *fd = nullptr;
FILE *fdids = nullptr;

int first_event = -1;
int last_event = -1;
int bad_chans = 0;

int output_errno = 0;
char output_failure_text[512];
bool space_refusal_told = false;

evid_list eventids[KORVEL_FIXED_LISTS];
// Lists of channel indices 4096 and up, made at set-up when needed.
static evid_list *eventids_more;
static int eventids_more_count;

evid_list *korvel_evlist(int i) {
    return i < KORVEL_FIXED_LISTS ? &eventids[i] : &eventids_more[i - KORVEL_FIXED_LISTS];
}

/* Room for one more run in l; false (with the message, once per channel
 * i) when memory ran out. */
static bool evid_list_grow(evid_list *l, int i) {
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
void korvel_record_mpulse(int i, int mpulse) {
    if (!evstatdump)
        return;
    evid_list *l = korvel_evlist(i);
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
    if (evid_list_grow(l, i))
        l->runs[l->len++] = evid_run{mpulse, 1u};
}

void korvel_output_failed(const char *what, const char *name, int err) {
    if (output_errno != 0)
        return;
    output_errno = err != 0 ? err : EIO;
    snprintf(output_failure_text, sizeof output_failure_text, "%s %s: %s", what, name,
             strerror(output_errno));
}

/* A failed write of the table shows in out_errno as soon as it happens;
 * it is taken up here when nothing failed before it, so that a host asking
 * before the end of the run hears of it too. */
int korvel_output_failure(char *what, size_t size) {
    if (output_errno == 0 && out_errno != 0)
        korvel_output_failed("event table file", file, out_errno);
    if (what && size > 0) {
        size_t n = strnlen(output_failure_text, size - 1);
        memcpy(what, output_failure_text, n);
        what[n] = '\0';
    }
    return output_errno;
}

/* Lists of channels 0..nchans-1 start empty; lists of higher index keep
 * theirs. Channels past 4096 get lists of their own. */
static int init_event_lists() {
    for (int i = 0; i < nchans && i < KORVEL_FIXED_LISTS; i++) {
        eventids[i].len = 0;
        eventids[i].oom_told = 0;
    }
    if (nchans <= KORVEL_FIXED_LISTS)
        return 0;
    int more = nchans - KORVEL_FIXED_LISTS;
    if (more > eventids_more_count) {
        evid_list *l = (evid_list *)realloc(eventids_more, (size_t)more * sizeof(evid_list));
        if (!l)
            return -1;
        memset(l + eventids_more_count, 0,
               (size_t)(more - eventids_more_count) * sizeof(evid_list));
        eventids_more = l;
        eventids_more_count = more;
    }
    for (int k = 0; k < more; k++) {
        eventids_more[k].len = 0;
        eventids_more[k].oom_told = 0;
    }
    return 0;
}

/* Flag the channels whose bare name occurs anywhere in the -fti list. */
static int init_fti_flags() {
    do_conv = (int *)calloc((size_t)nchans, sizeof(int));
    if (!do_conv)
        return -1;
    for (int i = 0; i < nchans; i++)
        do_conv[i] = strstr(ftilist, chans[i]) != nullptr;
    return 0;
}

/* The XML parameter table; its failure is reported and not fatal. */
static void init_xml_params() {
    spectprms = (dim_params *)calloc((size_t)nchans, sizeof(dim_params));
    if (!spectprms) {
        puts("Failed to create spectrum parameters structures");
        return;
    }
    for (int i = 0; i < nchans; i++) {
        spectprms[i].name = chans[i];
        spectprms[i].num = subchans[i];
    }
}

/* Open the table file; its rows collect in the output buffer of
 * korvel_format, which hands them to the file in large writes. */
static FILE *open_table_file() {
    FILE *f = fopen(file, "w+");
    if (f)
        out_stream_setup(f);
    return f;
}

/* Ask the reader for every channel name; -4 when one is missing. */
static int init_channel_names(zarn_daq_reader_2010 *reader) {
    for (int i = 0; i < nchans; i++) {
        subchans[i] = -1;
        chans[i] = reader->get_channel_name(i, &subchans[i]);
        if (!chans[i]) {
            printf("zarn_user_init(): failed to get channel %d !!!\n", i);
            free(chans);
            chans = nullptr;
            return -4;
        }
    }
    return 0;
}

/* The channel arrays; -3 with its message when one cannot be had. */
static int init_channel_arrays() {
    chans = (const char **)malloc((size_t)nchans * sizeof(*chans));
    if (!chans) {
        puts("zarn_user_init(): failed to malloc chans !!!");
        return -3;
    }
    subchans = (int *)malloc((size_t)nchans * sizeof(*subchans));
    if (!subchans) {
        puts("zarn_user_init(): failed to malloc subchans !!!");
        return -3;
    }
    return 0;
}

/* What the loop needs per channel: event-ID lists, long channel texts and
 * the -fti flags; -3 with its message when out of memory. */
static int init_channel_companions() {
    if (init_event_lists() != 0 || table_prepare_channel_texts() != 0) {
        puts("zarn_user_init(): failed to malloc event lists !!!");
        return -3;
    }
    if (ftilist && init_fti_flags() != 0) {
        puts("zarn_user_init(): failed to malloc do_conv !!!");
        return -3;
    }
    return 0;
}

int zarn_user_init_2010(int argc, char **argv, zarn_daq_reader_2010 *reader) {
    if (!reader)
        return -1;
    korvel_parse_options(argc, argv);

    nchans = reader->get_number_of_channels();
    printf("CHANNELS: %d\n", nchans);
    if (nchans <= 0) {
        puts("zarn_user_init(): no channels in the reader !!!");
        return -2;
    }
    int rc;
    if ((rc = init_channel_arrays()) != 0 || (rc = init_channel_names(reader)) != 0 ||
        (rc = init_channel_companions()) != 0)
        return rc;

    if (!nodump) {
        fd = open_table_file();
        if (!fd) {
            int err = errno;
            perror("fopen");
            korvel_output_failed("event table file", file, err);
            puts("zarn_user_init(): failed to open file for writing");
            return -5;
        }
        table_header_start();
    }

    puts("zarn_user_init()==== CHANNELS ==============");
    for (int i = 0; i < nchans; i++) {
        if (subchans[i] < 0)
            printf("[%d] \t %s\n", i, chans[i]);
        else
            printf("[%d] \t %s:%d\n", i, chans[i], subchans[i]);
        if (!nodump)
            table_header_channel(i);
    }
    if (!nodump)
        out_flush();
    if (dumpxml)
        init_xml_params();
    puts("zarn_user_init()===== CHANNELS END ==============");
    return 0;
}

int zarn_user_loop(zarn_daq_getdata *data) {
    return table_write_event(data);
}

int zarn_user_end_2010(zarn_daq_reader_2010 *reader) {
    report_end_of_run(reader);
    return 0;
}

/* At unload the event-ID lists are released, the highest index first. */
__attribute__((destructor)) static void korvel_unload() {
    // Rows still collected when the reader ends without
    // zarn_user_end_2010 (exit, or an unload) reach the file all the same.
    if (fd)
        out_flush();
    for (int k = eventids_more_count - 1; k >= 0; k--)
        free(eventids_more[k].runs);
    free(eventids_more);
    eventids_more = nullptr;
    eventids_more_count = 0;
    for (int i = KORVEL_FIXED_LISTS - 1; i >= 0; i--) {
        free(eventids[i].runs);
        eventids[i] = evid_list{};
    }
    table_release();
    pixel_texts_release();
}
