// h5_convert.cc - the second walk over the table: every event and every
// cell written into the columns laid out by h5_layout.cc.
//
// Each cell is read by the grammar of its channel's kind straight into the
// chunk being filled (a camera frame's digits become pixels in place, with
// no copy and no allocation per cell). A cell that does not read as its
// channel's kind is marked not understood (present -1) and its slot keeps
// the fill value; one warning per channel names the first such line.
#include "h5_converter.h"
#include "h5_chunks.h"

#include <cmath>
#include <cstring>
#include <limits>

static const float NAN_F = std::numeric_limits<float>::quiet_NaN();

static void fill_nan(float *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        p[i] = NAN_F;
}

template <typename T>
static void put(int col, uint64_t ev, T v)
{
    memcpy(column_row(col, ev), &v, sizeof v);
}

// "WxH, N byte(s) per pixel" or "flat, N byte(s) per pixel".
static std::string shape_text(const ImageShape &s)
{
    std::string t = s.width > 0 ? std::to_string(s.width) + "x" + std::to_string(s.height)
                                : std::string("flat");
    return t + ", " + std::to_string(s.bytes) + (s.bytes == 1 ? " byte" : " bytes") +
           " per pixel";
}

// ---- Events ---------------------------------------------------------------------------

static void put_text(int col, uint64_t ev, std::string_view s, size_t width)
{
    char *slot = (char *)column_row(col, ev);
    size_t n = s.size() < width ? s.size() : width;
    if (n > 0)  // an empty view may hold no pointer at all
        memcpy(slot, s.data(), n);
    memset(slot + n, 0, width - n);
}

static void write_event(const Run &run, const Row &row, uint64_t ev)
{
    const EventColumns &c = event_columns;
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

// ---- Cells by kind -------------------------------------------------------------------------

struct BlockCtx {
    Channel *ch;
    uint64_t ev;
    int position;  // items so far (names absent)
    bool unknown;  // an item name the survey did not see
};

static void store_item(void *ctx, std::string_view name, float v)
{
    BlockCtx &b = *(BlockCtx *)ctx;
    Channel &ch = *b.ch;
    int idx = b.position++;
    if (name.data() != nullptr) {
        // Items mostly come in the same order in every event: try the
        // name at this position before the hash lookup.
        if (!(idx < (int)ch.items.size() && ch.items[(size_t)idx] == name)) {
            auto it = ch.item_index.find(std::string(name));
            idx = it == ch.item_index.end() ? -1 : it->second;
        }
    }
    if (idx < 0 || idx >= (int)ch.col_items.size()) {
        b.unknown = true;
        return;
    }
    put<float>(ch.col_items[(size_t)idx], b.ev, v);
}

static Presence write_block(const Run &run, Channel &ch, const RowCell &cell, uint64_t ev)
{
    BlockCtx ctx{&ch, ev, 0, false};
    bool nonvn = false, intf = false;
    Presence p = cell_block(run.dialect, cell.b, cell.e, store_item, &ctx, &nonvn, &intf);
    if (p == PRESENT_DATA && ctx.unknown)
        p = PRESENT_BAD;
    if (p == PRESENT_BAD)
        for (int col : ch.col_items)
            put<float>(col, ev, NAN_F);
    return p;
}

static Presence write_spectrum(const Run &run, Channel &ch, const RowCell &cell, uint64_t ev)
{
    SpectrumOut out;
    out.members = ch.survey.members;
    out.values = ch.survey.values;
    out.data = (float *)column_row(ch.col_data, ev);
    out.count = (int32_t *)column_row(ch.col_count, ev);
    out.stats = ch.col_stats >= 0 ? (float *)column_row(ch.col_stats, ev) : nullptr;
    Presence p = cell_spectrum(run.dialect, cell.b, cell.e, out);
    if (p == PRESENT_BAD) {
        size_t m = (size_t)out.members;
        fill_nan(out.data, m * (size_t)out.values);
        memset(out.count, 0, m * sizeof(int32_t));
        if (out.stats)
            fill_nan(out.stats, m * 32);
    }
    return p;
}

static Presence write_image(const Run &run, Channel &ch, const RowCell &cell, uint64_t ev)
{
    uint64_t cap = ch.shape.width > 0 ? (uint64_t)ch.shape.width * ch.shape.height
                                      : std::max<uint64_t>(ch.survey.pixels, 1);
    void *slot = column_row(ch.col_data, ev);
    uint8_t *p8 = ch.shape.bytes == 1 ? (uint8_t *)slot : nullptr;
    uint16_t *p16 = ch.shape.bytes == 2 ? (uint16_t *)slot : nullptr;
    uint64_t npix, maxv;
    Presence p = cell_image(run.dialect, cell.b, cell.e, p8, p16, cap, &npix, &maxv);
    if (p == PRESENT_DATA && ch.shape.width > 0 && npix != cap) {
        p = PRESENT_BAD;  // a frame of another size than the shape
        ch.misfit_frames++;
    } else if (p == PRESENT_BAD &&
               cell_image(run.dialect, cell.b, cell.e, nullptr, nullptr, 0, &npix, &maxv) ==
                   PRESENT_DATA) {
        ch.misfit_frames++;  // a pixel list too long or too deep for the shape
    }
    if (p == PRESENT_BAD)
        memset(slot, 0, cap * ch.shape.bytes);
    return p;
}

// A channel of kind none stores nothing. A cell that says there is none
// in any kind's grammar (an empty block, a spectrum without members) is
// none; data (a channel left out with --kind CHANNEL=none, or one whose
// only data the survey could not tell apart) is counted, reported and
// marked none as well.
static Presence write_none(const Run &run, Channel &ch, const RowCell &cell)
{
    Dialect d = run.dialect;
    const char *b = cell.b, *e = cell.e;
    Presence p = cell_marker(d, b, e);
    if (p == PRESENT_DATA)
        ch.left_out++;
    if (p != PRESENT_BAD)
        return p == PRESENT_DATA ? PRESENT_NONE : p;
    float v;
    bool f1, f2;
    uint64_t n, mx;
    SpectrumOut out;
    Presence tries[] = {cell_value(d, b, e, &v, &f1),
                        cell_block(d, b, e, nullptr, nullptr, &f1, &f2),
                        cell_spectrum(d, b, e, out),
                        cell_image(d, b, e, nullptr, nullptr, 0, &n, &mx)};
    bool none = false;
    for (Presence t : tries) {
        if (t == PRESENT_DATA) {
            ch.left_out++;
            return PRESENT_NONE;
        }
        none = none || t == PRESENT_NONE;
    }
    return none ? PRESENT_NONE : PRESENT_BAD;
}

static Presence write_cell(const Run &run, Channel &ch, const RowCell &cell, uint64_t ev)
{
    switch (ch.kind) {
    case KIND_MARKER: {
        Presence p = cell_marker(run.dialect, cell.b, cell.e);
        if (p == PRESENT_DATA)
            put<uint8_t>(ch.col_data, ev, 1);
        return p;
    }
    case KIND_VALUE: {
        float v = NAN_F;
        bool intf;
        Presence p = cell_value(run.dialect, cell.b, cell.e, &v, &intf);
        if (p == PRESENT_DATA)
            put<float>(ch.col_data, ev, v);
        return p;
    }
    case KIND_BLOCK: return write_block(run, ch, cell, ev);
    case KIND_SPECTRUM: return write_spectrum(run, ch, cell, ev);
    case KIND_IMAGE: return write_image(run, ch, cell, ev);
    default: return write_none(run, ch, cell);
    }
}

// One channel of one event. Returns false when --strict forbids the cell.
static bool write_channel(Run &run, Channel &ch, const RowCell &cell, const Row &row,
                          uint64_t ev)
{
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
        p = cell.bad ? PRESENT_BAD : write_cell(run, ch, cell, ev);
        if (p == PRESENT_BAD && !cell.bad && ch.bad_cells++ == 0) {
            ch.first_bad_line = row.line;
            if (run.opt.strict) {
                if (ch.misfit_frames > 0)
                    error_line(run, row.line, "the frame of channel %s does not fit its "
                                              "image shape %s", ch.title.c_str(),
                               shape_text(ch.shape).c_str());
                else
                    error_line(run, row.line, "the cell of channel %s is not what a %s "
                                              "channel writes", ch.title.c_str(),
                               kind_name(ch.kind));
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
static void report_bad_cells(Run &run)
{
    for (const Channel &ch : run.channels) {
        if (ch.left_out > 0)
            warn_line(run, 0, "channel %s: %llu cell%s with data left out, as the channel's "
                              "kind is none%s; present 0 there", ch.title.c_str(),
                      (unsigned long long)ch.left_out, ch.left_out == 1 ? "" : "s",
                      ch.forced == KIND_NONE ? " (--kind)" : " (--kind decides another)");
        if (ch.bad_cells == 0)
            continue;
        std::string misfits;
        if (ch.misfit_frames > 0)
            misfits = ", " + std::to_string(ch.misfit_frames) +
                      (ch.misfit_frames == 1 ? " frame" : " frames") +
                      " of them not fitting the image shape " + shape_text(ch.shape) +
                      (ch.shape_option.width > 0 ? " of --image-shape"
                                                 : " from the XML description (--image-shape "
                                                   "sets another)");
        warn_line(run, ch.first_bad_line,
                  "channel %s: %llu cell%s not what a %s channel writes%s (the first on "
                  "this line); marked not understood",
                  ch.title.c_str(), (unsigned long long)ch.bad_cells,
                  ch.bad_cells == 1 ? " is" : "s are", kind_name(ch.kind), misfits.c_str());
    }
}

int convert_run(Run &run, Input &in, const char *bar_label)
{
    RowReader rr;
    if (rows_begin(run, rr, in) != 0)
        return -1;
    std::vector<Kind> kinds;
    for (const Channel &ch : run.channels)
        kinds.push_back(ch.kind);
    rr.hints = &kinds;
    rr.warn = false;  // the survey has reported the rows already
    Row row;
    uint64_t ev = 0;
    int r;
    while ((r = row_next(rr, row)) > 0) {
        write_event(run, row, ev);
        if (ev == 0)
            run.first_id = row.id, run.first_s = row.time_s, run.first_us = row.time_us;
        run.last_id = row.id, run.last_s = row.time_s, run.last_us = row.time_us;
        for (size_t k = 0; k < run.channels.size(); k++)
            if (!write_channel(run, run.channels[k], row.cells[k], row, ev))
                return -1;
        ev++;
        if (chunks_advance(ev) != 0) {
            message("%s: %s", run.opt.out.c_str(), chunks_error());
            return -2;
        }
        if ((ev & 15) == 0) {
            progress_update(run, in, bar_label);
            if (interrupted())
                return -1;
        }
    }
    if (r < 0)
        return -1;
    if (ev != run.events) {
        message("%s: the table changed while it was converted (%llu events, then %llu)",
                run.opt.table.c_str(), (unsigned long long)run.events,
                (unsigned long long)ev);
        return -1;
    }
    report_bad_cells(run);
    return 0;
}
