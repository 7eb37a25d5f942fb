// korvel_table.cc - the frame of the event table: the header row, and for
// every event its leading columns, the status columns of each channel, the
// dispatch to the cell writers and the separators.
//
// The per-event path reads top to bottom in the order of the reader
// queries. Everything goes through the output buffer of korvel_format.
#include "korvel_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "event_util.h"
#include "korvel_cells.h"
#include "korvel_format.h"
#include "korvel_evids.h"
#include "korvel_state.h"

/* Bytes of channel i's text: the name, or "name:sub". */
static size_t channel_text_len(int i) {
    size_t n = strlen(chans[i]);
    if (subchans[i] >= 0) {
        char tmp[FMT_MAX];
        n += 1 + (size_t)(fmt_int(tmp, subchans[i]) - tmp);
    }
    return n;
}

/* Channel i's text at buf; the end of its terminating zero. */
static char *channel_text(int i, char *buf) {
    size_t n = strlen(chans[i]);
    memcpy(buf, chans[i], n);
    buf += n;
    if (subchans[i] >= 0) {
        *buf++ = ':';
        buf = fmt_int(buf, subchans[i]);
    }
    *buf++ = '\0';
    return buf;
}

/* One block: the nchans pointers, then the texts they point to. A block
 * of an earlier set-up is given back first. */
int table_build_channel_texts() {
    size_t bytes = (size_t)nchans * sizeof(char *);
    for (int i = 0; i < nchans; i++)
        bytes += channel_text_len(i) + 1;
    free(chantexts);
    chantexts = (const char **)malloc(bytes);
    if (!chantexts)
        return -1;
    char *text = (char *)(chantexts + nchans);
    for (int i = 0; i < nchans; i++) {
        chantexts[i] = text;
        text = channel_text(i, text);
    }
    return 0;
}

void table_release() {
    free(chantexts);
    chantexts = nullptr;
}

/* Separator after a field: the dialect's, or the line end. */
static inline char field_separator(bool last) {
    return last ? '\n' : (opt.hdf5mode ? ',' : '\t');
}

/* A status word: "0x%X" and three tabs, or a comma in HDF5 mode. */
static void put_status(int status) {
    char *p = out_reserve(FMT_MAX);
    p = fmt_hex(p, status);
    if (opt.hdf5mode) {
        *p++ = ',';
    } else {
        memcpy(p, "\t\t\t", 3);
        p += 3;
    }
    out_commit(p);
}

void table_header_start() {
    if (opt.hdf5mode) {
        out_str("EventId,Time,TimeISO,");
        if (outmode)
            out_str("EvHeadStatus,");
    } else {
        out_str("EventId\tTime\t\t\t");
        if (outmode)
            out_str("EvHeadStatus\t\t\t");
    }
}

/* The title is the channel text, used whole whatever its length. */
void table_header_channel(int i) {
    if (outmode)
        out_str(opt.hdf5mode ? "SrvBlockStatus,ChanStatus,"
                             : "SrvBlockStatus\t\t\tChanStatus\t\t\t");
    out_str(chantexts[i]);
    out_char(field_separator(i == nchans - 1));
}

/* Event id and time columns. */
static void put_event_columns(unsigned evid, int evtype, unsigned tup, unsigned tlow) {
    if (!opt.hdf5mode) {
        out_char('[');
        const char *name = event_name_itoa(evtype);
        out_str(name ? name : "(null)");
        out_char(']');
    }
    char *p = out_reserve(3 * FMT_MAX);
    p = fmt_int(p, (int)evid);
    if (opt.hdf5mode) {
        *p++ = ',';
    } else {
        *p++ = '\t';
        *p++ = '\t';
    }
    p = fmt_int(p, (int)tup);
    *p++ = ':';
    p = fmt_int(p, (int)tlow);
    *p++ = opt.hdf5mode ? ',' : '\t';
    out_commit(p);
}

/* ISO time column and, with outmode, the event status. */
static void put_iso_and_status(const char *ltime, int status) {
    out_bytes(ltime, strnlen(ltime, 64));
    out_char(opt.hdf5mode ? ',' : '\t');
    if (outmode)
        put_status(status);
}

/* What the reader tells of one channel in one event. */
struct channel_reading {
    int ddtt;                            // data-type code, as SetProp gives it
    int mpulse;                          // macro-pulse number of the channel's server block
    zarn_serv_block_subhead_2010 *chhd;  // channel sub-header, or null
    const char *channml;                 // name from the channel query
    int statusch;                        // channel status; non-zero marks a bad channel
};

/* Select channel i and ask for its server block and its channel
 * information, writing the two status columns (with outmode) as they come;
 * -1 with the message when a query failed. */
static int query_channel(zarn_daq_getdata *data, int i, channel_reading *c) {
    *c = channel_reading{data->SetProp(chantexts[i]), 0, nullptr, nullptr, 0};
    // The block's time and count are asked for but not used.
    unsigned tup = 0, tlow = 0;
    int ltot = 0, status = 0, nchan = 0, llenl = 0;
    if (data->GetServBlockInfo(&tup, &tlow, &ltot, &c->mpulse, nullptr, &status, &nchan) != 0) {
        puts("zarn_user_loop(): failed to get Server Block info");
        return -1;
    }
    c->chhd = data->GetChanHead_2010();
    if (!opt.nodump && outmode)
        put_status(status);
    if (data->GetChanInfo(&c->channml, nullptr, &c->statusch, &llenl) != 0) {
        puts("zarn_user_loop(): failed to get Server Block info");
        return -1;
    }
    if (!opt.nodump && outmode)
        put_status(c->statusch);
    return 0;
}

/* Count a bad channel and print its image parameters; its cell is written
 * all the same. */
static void report_bad_channel(zarn_daq_getdata *data) {
    // Counted per sighting; wraps rather than overflows.
    bad_chans = (int)((unsigned)bad_chans + 1u);
    int nframe = 0, compr = 0, bpp = 0, leni = 0;
    if (data->GetImagePar(&nframe, &compr, &bpp, &leni) != 0)
        puts("No image parameters availanle");
    else
        printf(" Image.nframe:%d  compr:%d bpp:%d len:%d\n", nframe, compr, bpp, leni);
}

/* Channel i's cell and the separator after it; with -nodump only the
 * macro-pulse number of data types 1 to 4 is recorded. */
static void write_cell(zarn_daq_getdata *data, int i, unsigned evid, int samples,
                       const channel_reading &c) {
    if (opt.nodump) {
        if (c.ddtt >= 1 && c.ddtt <= 4)
            evids_record(i, c.mpulse);
        return;
    }
    switch (c.ddtt) {
    case 1: cell_marker(i, c.mpulse); break;
    case 2: cell_value(data, i, c.mpulse); break;
    case 3: cell_spectrum(data, i, evid, c.mpulse, c.channml, samples); break;
    case 4: cell_image(data, i, c.mpulse); break;
    case 5: cell_eqdata(data, i, c.mpulse, c.chhd); break;
    default: cell_unknown(); break;
    }
    out_char(field_separator(i == nchans - 1));
}

/* The channel part of one event; -1 when a channel query failed. */
static int put_channels(zarn_daq_getdata *data, unsigned evid, int samples) {
    for (int i = 0; i < nchans; i++) {
        channel_reading c;
        if (query_channel(data, i, &c) != 0)
            return -1;
        if (c.statusch != 0)
            report_bad_channel(data);
        write_cell(data, i, evid, samples, c);
    }
    return 0;
}

int table_write_event(zarn_daq_getdata *data) {
    unsigned evid = 0, len = 0, tup = 0, tlow = 0;
    int evtype = 0, status = 0, nsrvb = 0, mpulse = 0;
    if (data->GetEventInfo(&evid, &evtype, &len, &tup, &tlow, &status, &nsrvb) != 0) {
        puts("zarn_user_loop(): failed to get event info");
        return -1;
    }
    // The image block's time and status replace the event header's, and
    // the fast block's replace both.
    if (data->SetImage(0) > 0)
        data->GetServBlockInfo(&tup, &tlow, nullptr, &mpulse, nullptr, &status, nullptr);
    if (data->SetFast(0) > 0)
        data->GetServBlockInfo(&tup, &tlow, nullptr, &mpulse, nullptr, &status, nullptr);

    if (first_event == -1)
        first_event = (int)evid;
    last_event = (int)evid;

    if (!opt.nodump)
        put_event_columns(evid, evtype, tup, tlow);
    // The reader's text is trusted to fit, but never read past the buffer.
    char ltime[64] = {0};
    create_isodate_from_sec(tup, ltime, 1);
    if (!opt.nodump)
        put_iso_and_status(ltime, status);

    int samples = nbunch != 0 ? nbunch : 100;
    // Only the last channel's separator ends a row: without channels the
    // row keeps no line end, and the next event's columns follow on the
    // same line. The layout of the table is fixed: tools that read it
    // adapt to it.
    if (nchans < 1)
        return 0;
    int rc = put_channels(data, evid, samples);
    if (!opt.nodump)
        out_event_end();
    return rc;
}
