// korvel_report.cc - the end of a run: statistics and efficiency on
// standard output, the event-ID file, closing the event table, and the XML
// channel description handed to the reader's description writer.
#include "korvel_report.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "event_util.h"
#include "korvel_format.h"
#include "korvel_evids.h"
#include "korvel_state.h"
#include "parse_chan_descr.h"

/* Events, empty events, and the share of events that arrived whole. */
static void print_statistics(zarn_daq_reader_2010 *reader) {
    int empty = reader->get_number_of_empty_events();
    int events = reader->get_number_of_events();
    printf("READER FINISHED statistics: events: %d  empty_events:%d\n", events, empty);
    if (first_event != -1 && last_event != -1) {
        // Asked again rather than reused: the efficiency takes the
        // reader's latest count, which a reader still counting may have
        // moved on since the first line.
        events = reader->get_number_of_events();
        // 32-bit operands as the reader's counters give them, wrapping
        // rather than overflowing; the ratio is taken in single precision.
        int num = (int)((uint32_t)events - (uint32_t)bad_chans - 1u);
        int den = (int)((uint32_t)last_event - (uint32_t)first_event);
        float efficiency = (float)num / (float)den * 100.0f;
        printf("Event efficiency: %f \n", efficiency);
    }
    printf("   Bad chans: %d\n", bad_chans);
}

/* The numbers of one list, comma-separated: every run spelled out. */
static void write_id_numbers(FILE *f, const evid_list *l) {
    for (int k = 0; k < l->len; k++) {
        const evid_run &r = l->runs[k];
        for (unsigned j = 0; j < r.count; j++) {
            char number[32];
            int v = (int)((int64_t)r.first + (int64_t)j);  // within the run's ints
            char *e = std::to_chars(number, number + sizeof number, v).ptr;
            if (k + 1 < l->len || j + 1 < r.count)
                *e++ = ',';
            fwrite(number, 1, (size_t)(e - number), f);
        }
    }
}

/* One line per channel: "Chan:NAME\t" and its numbers, comma-separated. */
static void write_event_ids(FILE *f) {
    for (int i = 0; i < nchans; i++) {
        if (i > 0)
            fputc('\n', f);
        fputs("Chan:", f);
        fputs(chans[i], f);
        fputc('\t', f);
        write_id_numbers(f, evids_list(i));
    }
    fputc('\n', f);
}

/* Report a failed write or close of a file the run wrote, and keep it for
 * korvel_output_failure. */
static void report_write_failure(const char *what, const char *name, const char *call, int err) {
    korvel_output_failed(what, name, err);
    printf("zarn_user_end_2010(): failed to write %s %s\n", what, name);
    fflush(stdout);
    errno = err;
    perror(call);
}

/* Close f, reporting a failed write (err, the stream's error flag, the
 * flush) or a failed close. */
static void close_reported(FILE *f, int err, const char *what, const char *name) {
    bool at_close = false;
    err = korvel_close_output(f, err, &at_close);
    if (err)
        report_write_failure(what, name, at_close ? "fclose" : "fwrite", err);
}

static void dump_event_ids() {
    fdids = fopen(opt.fileids, "w+");
    if (!fdids) {
        int err = errno;
        perror("fopen");
        puts("zarn_user_end2010(): failed to open event IDs file for writing");
        korvel_output_failed("event IDs file", opt.fileids, err);
        return;
    }
    errno = 0;
    write_event_ids(fdids);
    close_reported(fdids, 0, "event IDs file", opt.fileids);
    fdids = nullptr;
}

/* The other end of open_table_file (zarn_daq_user.cc), which opened the
 * table at set-up: the collected rows are handed over, then the file is
 * closed. Without an end of the run, korvel_unload flushes it instead. */
static void close_event_table() {
    if (!fd)
        return;
    out_flush();
    close_reported(fd, out_errno, "event table file", opt.file);
    fd = nullptr;
}

/* Daq name of a description equals the channel name, byte for byte. */
static bool descr_names(const chan_descr_2010 *d, const char *name) {
    size_t n = strnlen(d->daq_name, sizeof d->daq_name);
    return strlen(name) == n && memcmp(d->daq_name, name, n) == 0;
}

/* The descriptions of the run's channels, in the reader's order; a name
 * that stands twice in the channel table is taken twice. The selection
 * stops once it holds as many descriptions as there are channels. */
static void select_descriptions(zarn_daq_reader_2010 *reader,
                                std::vector<chan_descr_2010 *> &vcout) {
    std::vector<chan_descr_2010 *> &vc = reader->get_descr_list();
    for (size_t k = 0; k < vc.size(); k++) {
        for (int j = 0; j < nchans; j++)
            if (vc[k] && descr_names(vc[k], chans[j]))
                vcout.push_back(vc[k]);
        if (vcout.size() == (size_t)nchans)
            break;
    }
}

/* The parameter records of channels whose spectra or images were seen. */
static void select_dimensions(std::vector<dim_params *> &dims) {
    if (!spectprms)
        return;
    for (int i = 0; i < nchans; i++) {
        dim_params *ps = &spectprms[i];
        if (ps->name && ps->num != 0 && (ps->params || ps->iparams))
            dims.push_back(ps);
    }
}

/* True when the XML description would go to the event table file itself
 * (the same file, under whatever name): writing it would replace the
 * table. With -nodump there is no table to lose. */
static bool xml_file_is_table() {
    struct stat x, t;
    return !opt.nodump && stat(opt.xfile, &x) == 0 && stat(opt.file, &t) == 0 &&
           x.st_dev == t.st_dev && x.st_ino == t.st_ino;
}

static void dump_xml_description(zarn_daq_reader_2010 *reader) {
    if (xml_file_is_table()) {
        printf("zarn_user_end_2010(): the XML description file %s is the event table file;"
               " the description is not written\n",
               opt.xfile);
        return;
    }
    // The reader's writer may want a reader object of the plug-in's own to
    // exist while it runs; it is not handed over.
    zarn_daq_reader_2010 own_reader;
    std::vector<chan_descr_2010 *> vcout;
    std::vector<dim_params *> dims;
    try {
        select_descriptions(reader, vcout);
        select_dimensions(dims);
    } catch (const std::bad_alloc &) {
        // The reader must never see an exception from the plug-in.
        puts("zarn_user_end_2010(): out of memory for the XML description");
        return;
    }
    int err = dump_chan_desr(&vcout, opt.xfile, DUMP_XML_FILE, 0, -1, nullptr, &dims);
    if (err != 0)
        printf("Failed to dump XML description file error: %d\n", err);
}

void report_end_of_run(zarn_daq_reader_2010 *reader) {
    print_statistics(reader);
    if (opt.evstatdump)
        dump_event_ids();
    if (!opt.nodump)
        close_event_table();
    if (opt.dumpxml)
        dump_xml_description(reader);
}
