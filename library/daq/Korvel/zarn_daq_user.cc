// zarn_daq_user.cc - libKorvel's entry points and the run's set-up.
//
// The reader loads the plug-in into its own process and calls
// zarn_user_init_2010 once, zarn_user_loop for every event and
// zarn_user_end_2010 at the end. Everything the plug-in knows between two
// calls lives in the run state (korvel_state.h). This file only calls down
// into the subsystems: options, event-ID lists, table, end-of-run reports;
// none of them calls back up into it. At its end, the two ways the run
// state is released: the unload when the process ends, and the reset to
// the load values for a further run in the same process.
#include "zarn_daq_user.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvel_evids.h"
#include "korvel_format.h"
#include "korvel_options.h"
#include "korvel_report.h"
#include "korvel_state.h"
#include "korvel_table.h"

/* A failed write of the table shows in out_errno as soon as it happens;
 * it is taken up here when nothing failed before it, so that a host asking
 * before the end of the run hears of it too. */
int korvel_output_failure(char *what, size_t size) {
    if (output_errno == 0 && out_errno != 0)
        korvel_output_failed("event table file", opt.file, out_errno);
    if (what && size > 0) {
        size_t n = strnlen(output_failure_text, size - 1);
        memcpy(what, output_failure_text, n);
        what[n] = '\0';
    }
    return output_errno;
}

/* Flag the channels whose bare name occurs anywhere in the -fti list. */
static int init_fti_flags() {
    do_conv = (int *)calloc((size_t)nchans, sizeof(int));
    if (!do_conv)
        return -1;
    for (int i = 0; i < nchans; i++)
        do_conv[i] = strstr(opt.ftilist, chans[i]) != nullptr;
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
 * korvel_format, which hands them to the file in large writes. Its other
 * end is close_event_table (korvel_report.cc) at the end of the run;
 * korvel_unload flushes it when the end never came. */
static FILE *open_table_file() {
    FILE *f = fopen(opt.file, "w+");
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
            // chans is given back, because the pointers past i were never
            // set and must not be read; chans null tells a failed set-up.
            // subchans holds plain numbers and stays, like every other
            // array of the run, until the process ends.
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

/* What the loop needs per channel: event-ID lists, channel texts and the
 * -fti flags; -3 with its message when out of memory. */
static int init_channel_companions() {
    if (evids_prepare() != 0 || table_build_channel_texts() != 0) {
        puts("zarn_user_init(): failed to malloc event lists !!!");
        return -3;
    }
    if (opt.ftilist && init_fti_flags() != 0) {
        puts("zarn_user_init(): failed to malloc do_conv !!!");
        return -3;
    }
    return 0;
}

/* With the table: open its file and start the header row; -5 with the
 * messages when the file cannot be opened. */
static int init_table() {
    if (opt.nodump)
        return 0;
    fd = open_table_file();
    if (!fd) {
        int err = errno;
        perror("fopen");
        korvel_output_failed("event table file", opt.file, err);
        puts("zarn_user_init(): failed to open file for writing");
        return -5;
    }
    table_header_start();
    return 0;
}

/* The channel list on standard output and, with the table, the channels'
 * titles, which end the header row. */
static void list_channels() {
    puts("zarn_user_init()==== CHANNELS ==============");
    for (int i = 0; i < nchans; i++) {
        printf("[%d] \t %s\n", i, chantexts[i]);
        if (!opt.nodump)
            table_header_channel(i);
    }
    if (!opt.nodump)
        out_flush();
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
        (rc = init_channel_companions()) != 0 || (rc = init_table()) != 0)
        return rc;
    list_channels();
    if (opt.dumpxml)
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

void zarn_user_help() {
    korvel_print_usage();
}

/* At unload the event-ID lists are released, the highest index first (see
 * evids_release); the channel texts and the pixel tables go with them. */
__attribute__((destructor)) static void korvel_unload() {
    // Rows still collected when the reader ends without
    // zarn_user_end_2010 (exit, or an unload) reach the file all the same.
    // The table is open here only then: close_event_table closes it at the
    // end of the run, and the stream itself is left to the C library.
    if (fd)
        out_flush();
    evids_release();
    table_release();
    pixel_texts_release();
}

/* The channel table and its companions, back to null and 0. The names
 * belong to the reader and are not released. */
static void release_channel_table() {
    if (spectprms)
        for (int i = 0; i < nchans; i++) {
            free(spectprms[i].params);
            free(spectprms[i].iparams);
        }
    free(spectprms);
    spectprms = nullptr;
    free(chans);
    chans = nullptr;
    free(subchans);
    subchans = nullptr;
    table_release();
    free(do_conv);
    do_conv = nullptr;
    nchans = 0;
}

/* Open files are closed; rows still collected reach the table first, as
 * they do at unload. */
static void close_run_files() {
    if (fd) {
        out_flush();
        fclose(fd);
        fd = nullptr;
    }
    if (fdids) {
        fclose(fdids);
        fdids = nullptr;
    }
    out_len = 0;
    out_errno = 0;
}

/* Unlike the unload, the reset keeps the pixel texts: they depend on no
 * run. */
void korvel_state_reset() {
    close_run_files();
    release_channel_table();
    evids_release();
    opt = opt_at_load;
    first_event = last_event = -1;
    bad_chans = 0;
    output_errno = 0;
    output_failure_text[0] = '\0';
    space_refusal_told = false;
}
