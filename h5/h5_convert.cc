// h5_convert.cc - the second walk over the table: every event and every
// cell written into the columns laid out by h5_layout.cc.
//
// Each cell is read by the grammar of its channel's kind straight into the
// chunk being filled (a camera frame's digits become pixels in place, with
// no copy and no allocation per cell); a pixel list is read by the row
// reader as it comes to it, so that its megabytes are not searched for the
// cell's end before they are read. A cell that does not read as its
// channel's kind is marked not understood (present -1) and its slot keeps
// the fill value; one warning per channel names the first such line.
// What a cell writes, and how it is read where the row reader finds it,
// are its kind's functions (h5_kinds.cc); here are the events, the frame
// of each cell (reached, status columns, presence) and the walk.
#include "h5_kinds.h"

#include <cmath>
#include <cstring>
#include <limits>

// "WxH, N byte(s) per pixel" or "flat, N byte(s) per pixel".
static std::string shape_text(const ImageShape &s) {
    std::string t = s.width > 0 ? std::to_string(s.width) + "x" + std::to_string(s.height)
                                : std::string("flat");
    return t + ", " + std::to_string(s.bytes) + (s.bytes == 1 ? " byte" : " bytes") + " per pixel";
}

// ---- Events ---------------------------------------------------------------------------

static void put_text(int col, uint64_t ev, std::string_view s, size_t width) {
    char *slot = (char *)column_row(col, ev);
    size_t n = s.size() < width ? s.size() : width;
    if (n > 0)  // an empty view may hold no pointer at all
        memcpy(slot, s.data(), n);
    memset(slot + n, 0, width - n);
}

static void write_event(const Run &run, const Row &row, uint64_t ev) {
    const EventColumns &c = run.event_columns;
    put<uint32_t>(c.event_id, ev, row.id);
    put<uint32_t>(c.id, ev, row.id);
    put<uint32_t>(c.time_s, ev, row.time_s);
    put<uint32_t>(c.time_us, ev, row.time_us);
    put<double>(c.time, ev, (double)row.time_s + (double)row.time_us * 1e-6);
    put_text(c.time_iso, ev, row.iso, run.iso_len);
    if (c.type_name >= 0)
        put_text(c.type_name, ev, row.type_name, run.type_len);
    if (c.status >= 0)
        put<int32_t>(c.status, ev, row.status);
    put<uint8_t>(c.complete, ev, row.complete ? 1 : 0);
    put<uint64_t>(c.line, ev, row.line);
}

// One channel of one event. Returns false when --strict forbids the cell.
static bool write_channel(Run &run, Channel &ch, const RowCell &cell, const Row &row, uint64_t ev) {
    Presence p;
    if (!cell.reached) {
        p = cell.bad ? PRESENT_BAD : cell.failed ? PRESENT_FAILED : PRESENT_NOT_REACHED;
        if (cell.srv_read && ch.col_srv >= 0)
            put<int32_t>(ch.col_srv, ev, cell.srv);
    } else {
        if (ch.col_srv >= 0) {
            put<int32_t>(ch.col_srv, ev, cell.srv);
            put<int32_t>(ch.col_chan, ev, cell.chan);
        }
        p = cell.bad ? PRESENT_BAD : kind_info(ch.kind).write(run.dialect, ch, cell, ev);
        if (p == PRESENT_BAD && !cell.bad && ch.bad_cells++ == 0) {
            ch.first_bad_line = row.line;
            if (run.opt.strict) {
                if (ch.misfit_frames > 0)
                    error_line(run, row.line,
                               "the frame of channel %s does not fit its "
                               "image shape %s",
                               ch.title.c_str(), shape_text(ch.shape).c_str());
                else
                    error_line(run, row.line,
                               "the cell of channel %s is not what a %s "
                               "channel writes",
                               ch.title.c_str(), kind_name(ch.kind));
                return false;
            }
        }
    }
    put<int8_t>(ch.col_present, ev, p);
    return true;
}

// One warning per channel with cells that were not understood (frames
// that do not fit an image channel's shape counted apart), and per
// channel whose data --kind none left out.
void report_bad_cells(Run &run) {
    for (const Channel &ch : run.channels) {
        if (ch.left_out > 0)
            warn_line(run, 0,
                      "channel %s: %llu cell%s with data left out, as the channel's "
                      "kind is none%s; present 0 there",
                      ch.title.c_str(), (unsigned long long)ch.left_out,
                      ch.left_out == 1 ? "" : "s",
                      ch.forced == KIND_NONE ? " (--kind)" : " (--kind decides another)");
        if (ch.bad_cells == 0)
            continue;
        std::string misfits;
        if (ch.misfit_frames > 0)
            misfits =
                ", " + std::to_string(ch.misfit_frames) +
                (ch.misfit_frames == 1 ? " frame" : " frames") +
                " of them not fitting the image shape " + shape_text(ch.shape) +
                (extra_of(ch).shape_option.width > 0 ? " of --image-shape"
                                                     : " from the XML description (--image-shape "
                                                       "sets another)");
        warn_line(run, ch.first_bad_line,
                  "channel %s: %llu cell%s not what a %s channel writes%s (the first on "
                  "this line); marked not understood",
                  ch.title.c_str(), (unsigned long long)ch.bad_cells,
                  ch.bad_cells == 1 ? " is" : "s are", kind_name(ch.kind), misfits.c_str());
    }
}

// ---- Cells read where they are found -----------------------------------------------------

// The row reader reads a cell where it comes to it when the channel's
// kind can (KindInfo::read_at: a camera frame or a spectrum into the
// event's slots, a single value into its RowCell): a pixel list's
// megabytes are then not searched for the cell's end before they are read.
struct InPlace {
    Run *run = nullptr;
    uint64_t ev = 0;            // the event being read
    std::vector<char> written;  // channels whose slots may have been written this event
    // The one walk: the survey each row is also handed to, and the reader,
    // which reports the rows from event `report_from` on.
    RowSurvey *survey = nullptr;
    RowReader *rr = nullptr;
    uint64_t report_from = 0;
};

static const char *read_in_place(void *ctx, size_t k, const char *p, const char *e, RowCell &cell) {
    InPlace &ip = *(InPlace *)ctx;
    const Channel &ch = ip.run->channels[k];
    const KindInfo &kind = kind_info(ch.kind);
    if (!kind.read_at)
        return nullptr;
    // A cell that does not read whole may have written part of its slots.
    if (kind.blank)
        ip.written[k] = 1;
    return kind.read_at(ch, ip.ev, p, e, cell);
}

// Slots written while their row was read, but whose cell the row reader
// did not keep (the row turned out cut or malformed there), get their
// fill values back; a kept cell has been written by its kind's writer.
// Only a kind with a `blank` has its slots marked written.
static void undo_unkept(InPlace &ip, const Row &row) {
    for (size_t k = 0; k < ip.written.size(); k++) {
        if (!ip.written[k])
            continue;
        ip.written[k] = 0;
        const RowCell &cell = row.cells[k];
        if (cell.reached && !cell.bad)
            continue;
        const Channel &ch = ip.run->channels[k];
        kind_info(ch.kind).blank(ch, ip.ev);
    }
}

// The row reader of the conversion: the kinds decided, no warnings (the
// survey has reported the rows already), pixel lists and values read in
// place.
static void conversion_reader(Run &run, RowReader &rr, std::vector<Kind> &kinds, InPlace &ip) {
    for (const Channel &ch : run.channels)
        kinds.push_back(ch.kind);
    rr.hints = &kinds;
    rr.warn = false;
    ip.run = &run;
    ip.written.assign(run.channels.size(), 0);
    rr.read_at = read_in_place;
    rr.read_at_ctx = &ip;
}

// One event of the conversion: its columns, then every channel's cell.
static int convert_row(void *ctx, const Row &row, uint64_t ev) {
    InPlace &ip = *(InPlace *)ctx;
    Run &run = *ip.run;
    undo_unkept(ip, row);
    write_event(run, row, ev);
    if (ev == 0)
        run.first_id = row.id, run.first_s = row.time_s, run.first_us = row.time_us;
    run.last_id = row.id, run.last_s = row.time_s, run.last_us = row.time_us;
    for (size_t k = 0; k < run.channels.size(); k++)
        if (!write_channel(run, run.channels[k], row.cells[k], row, ev))
            return -1;
    ip.ev = ev + 1;
    if (ip.survey) {
        survey_row_add(*ip.survey, row);
        ip.rr->warn = ip.ev >= ip.report_from;
    }
    if (chunks_advance(ip.ev) != 0) {
        if (interrupted())  // the layout stopped early for it
            return -1;
        message("%s: %s", run.opt.out.c_str(), chunks_error());
        return -2;
    }
    return 0;
}

// The one walk's reader also surveys: it marks the cells of rows that
// read two ways, as the survey's does, and reports the rows the survey of
// the first rows did not read.
static void surveying_reader(RowReader &rr, InPlace &ip, RowSurvey *survey, uint64_t surveyed) {
    ip.survey = survey;
    ip.rr = &rr;
    ip.report_from = surveyed;
    rr.mark_uncertain = true;
    rr.warn = surveyed == 0;
}

int convert_run(Run &run, Input &in, const char *bar_label, RowSurvey *survey, uint64_t surveyed) {
    RowReader rr;
    std::vector<Kind> kinds;
    InPlace ip;
    conversion_reader(run, rr, kinds, ip);
    if (survey)
        surveying_reader(rr, ip, survey, surveyed);
    int r = rows_walk(run, rr, in, RowWalk{convert_row, &ip, bar_label, 16});
    if (survey) {
        run.events = ip.ev;  // the estimate before only sized the chunks
        return r;
    }
    if (r != 0)
        return r;
    if (ip.ev != run.events) {
        message("%s: the table changed while it was converted (%llu events, then %llu)",
                run.opt.table.c_str(), (unsigned long long)run.events, (unsigned long long)ip.ev);
        return -1;
    }
    report_bad_cells(run);
    return 0;
}
