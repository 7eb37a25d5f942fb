// h5_survey.cc - the first walk over the table: what each channel holds
// over the run, and the kind decided for it once.
//
// A cell alone can be ambiguous ("[[1 2 3]]" is an image or a spectrum in
// the integer form, "1" and a tab a marker or a value), so every cell is
// read by each grammar it could follow, and the channel takes the kind
// that explains most of its cells: --kind first, then the XML description
// (spectrum or image records), then the cells. The survey also learns the
// sizes the datasets need (members and values of a spectrum, the items of
// a block, the pixels of an image) and the longest texts of the events.
// It may stop after the table's first rows (the one walk, h5_main.cc):
// the conversion then hands it the rows as it converts them, into a run of
// its own, and the two surveys' layouts are compared at the end.
#include "h5_converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// ---- One cell ---------------------------------------------------------------------

// Every kind counts the cell it reads, unless one kind alone explains it.
// A channel whose kind is given before the walk (`given`) takes that kind
// whatever its cells say, so only that kind's grammar reads them: what the
// others would count is never looked at.
void survey_cell(Dialect d, Channel &ch, const RowCell &cell, Kind given) {
    if (!cell.uncertain)
        precision_cell(ch, cell);
    if (!cell.reached || cell.bad || cell.uncertain || cell.b == cell.e)
        return;
    if (given != KIND_UNSET) {
        const KindInfo &k = kind_info(given);
        if (!(k.claim && k.claim(d, ch, cell)) && k.survey)
            k.survey(d, ch, cell);
        return;
    }
    for (const KindInfo &k : KINDS)
        if (k.claim && k.claim(d, ch, cell))
            return;
    for (const KindInfo &k : KINDS)
        if (k.survey)
            k.survey(d, ch, cell);
}

// The most one event of one dataset may take: a chunk holds at least one
// event, and a few chunks per thread are in flight at a time. A 4096 x 4096
// 16-bit camera takes 32 MB.
static const uint64_t MAX_EVENT_BYTES = 256u << 20;

// ---- The kind of each channel ---------------------------------------------------------

// The kinds a channel's cells may choose, in the order in which equally
// good ones are taken.
static std::vector<Kind> tie_order() {
    std::vector<Kind> order;
    for (int k = 0; k < KIND_COUNT; k++)
        if (KINDS[k].tie > 0)
            order.push_back((Kind)k);
    std::sort(order.begin(), order.end(),
              [](Kind a, Kind b) { return KINDS[a].tie < KINDS[b].tie; });
    return order;
}

static Kind kind_from_cells(Run &run, const Channel &ch) {
    const ChannelSurvey &s = ch.survey;
    Kind best = KIND_NONE;
    uint64_t most = 0;
    static const std::vector<Kind> TIE_ORDER = tie_order();
    for (Kind k : TIE_ORDER)
        if (s.fits[k] > most)
            best = k, most = s.fits[k];
    if (best == KIND_NONE || best == KIND_MARKER)
        return best;
    std::string also;
    for (Kind k : TIE_ORDER)
        if (k != best && k != KIND_MARKER && s.fits[k] == most)
            also += std::string(also.empty() ? "" : " or ") + kind_name(k);
    if (!also.empty())
        warn_line(run, 0,
                  "channel %s reads as %s or %s; taken as %s "
                  "(--kind '%s=KIND' or the XML description decides)",
                  ch.title.c_str(), kind_name(best), also.c_str(), kind_name(best),
                  ch.title.c_str());
    return best;
}

// Bytes one event of the channel's largest dataset takes.
static uint64_t event_bytes(const Channel &ch) {
    const KindInfo &k = kind_info(ch.kind);
    return k.event_bytes ? k.event_bytes(ch) : 0;
}

Kind kind_given(const Channel &ch) {
    const ChannelExtra &x = extra_of(ch);
    return ch.forced != KIND_UNSET  ? ch.forced
           : !x.xml_spectra.empty() ? KIND_SPECTRUM
           : x.xml_image.width > 0  ? KIND_IMAGE
                                    : KIND_UNSET;
}

ImageShape image_shape_given(const Channel &ch) {
    const ChannelExtra &x = extra_of(ch);
    ImageShape shape = x.shape_option.width > 0 ? x.shape_option : x.xml_image;
    if (shape.bytes != 1 && shape.bytes != 2)
        shape.bytes = x.xml_image.bytes;
    return shape;
}

int decide_kinds(Run &run) {
    for (Channel &ch : run.channels) {
        ch.kind = kind_given(ch);
        if (ch.kind == KIND_UNSET)
            ch.kind = kind_from_cells(run, ch);
        if (kind_info(ch.kind).decide)
            kind_info(ch.kind).decide(run, ch);
        if (event_bytes(ch) > MAX_EVENT_BYTES) {
            error_line(run, 0,
                       "channel %s: one event of its %s takes %llu MB, more than the "
                       "%llu MB this converter holds per event (--kind '%s=none' "
                       "leaves it out)",
                       ch.title.c_str(), kind_name(ch.kind),
                       (unsigned long long)(event_bytes(ch) >> 20),
                       (unsigned long long)(MAX_EVENT_BYTES >> 20), ch.title.c_str());
            return -1;
        }
    }
    return 0;
}

// ---- The walk -----------------------------------------------------------------------

// An image channel whose kind, shape and depth are known before the walk
// (from the options or the XML description) has nothing to learn from its
// cells, and they are the largest of the table: the survey skips them.
static bool image_known(const Channel &ch) {
    ImageShape shape = image_shape_given(ch);
    return kind_given(ch) == KIND_IMAGE && shape.width > 0 &&
           (shape.bytes == 1 || shape.bytes == 2);
}

// A cell that may be a single value is read as one where it is found (see
// cell_value_at): the value kind's survey then takes it from the RowCell.
static const char *value_in_place(void *ctx, size_t k, const char *p, const char *e,
                                  RowCell &cell) {
    RowSurvey &w = *(RowSurvey *)ctx;
    if (w.skip[k] || (w.given[k] != KIND_UNSET && w.given[k] != KIND_VALUE))
        return nullptr;
    const char *q = cell_value_at(p, e, &cell.value, &cell.int_form);
    cell.read = cell.read_value = q != nullptr;
    return q;
}

static void row_survey_init(RowSurvey &w, Run &run) {
    w.run = &run;
    w.given.assign(run.channels.size(), KIND_UNSET);
    w.skip.assign(run.channels.size(), 0);
    for (size_t k = 0; k < w.given.size(); k++) {
        w.given[k] = kind_given(run.channels[k]);
        w.skip[k] = image_known(run.channels[k]);
    }
}

// One row of the survey: the longest texts, every cell not skipped.
void survey_row_add(RowSurvey &w, const Row &row) {
    Run &run = *w.run;
    run.events++;
    run.cut_events += !row.complete;
    run.iso_len = std::max(run.iso_len, row.iso.size());
    run.type_len = std::max(run.type_len, row.type_name.size());
    for (size_t k = 0; k < run.channels.size(); k++)
        if (!w.skip[k])
            survey_cell(run.dialect, run.channels[k], row.cells[k], w.given[k]);
}

// The survey's own walk, which may stop after its first rows.
struct SurveyWalk {
    RowSurvey rows;
    Input *in;
    uint64_t prefix_bytes;  // 0: no stop
    uint64_t first_end;     // where the first row ends in the table
};

static int survey_row(void *ctx, const Row &row, uint64_t n) {
    SurveyWalk &w = *(SurveyWalk *)ctx;
    survey_row_add(w.rows, row);
    if (n == 0)
        w.first_end = input_consumed(*w.in);
    return w.prefix_bytes > 0 && input_consumed(*w.in) >= w.prefix_bytes ? 1 : 0;
}

// The events a table of `size` bytes is likely to hold when its first
// `events` rows end at `read`, the first at `first_end`: the rows after
// the first are as long as the rest (the first follows the header, which
// in a wide table is as long as a row). A few more than that, as a chunk
// sized a little short of the run costs each column a second chunk.
static uint64_t events_estimate(uint64_t events, uint64_t size, uint64_t read, uint64_t first_end) {
    long double per_row = events > 1 && read > first_end
                              ? (long double)(read - first_end) / (long double)(events - 1)
                              : (long double)read;
    uint64_t rest = size > read ? (uint64_t)((long double)(size - read) / per_row) + 1 : 0;
    uint64_t estimate = events + rest;
    return estimate + estimate / 32;
}

int survey_run(Run &run, Input &in, const char *bar_label, uint64_t prefix_bytes,
               uint64_t *estimate) {
    RowReader rr;
    SurveyWalk w{RowSurvey(), &in, prefix_bytes, 0};
    row_survey_init(w.rows, run);
    // What the options and the XML description say of a channel's kind
    // helps the row reader where a row reads two ways.
    rr.hints = &w.rows.given;
    rr.read_at = value_in_place;
    rr.read_at_ctx = &w.rows;
    rr.mark_uncertain = true;
    int r = rows_walk(run, rr, in, RowWalk{survey_row, &w, bar_label, 64});
    if (estimate)
        *estimate = 0;
    if (r != 1)
        return r;
    if (estimate)  // stopped early
        *estimate = events_estimate(run.events, in.size, input_consumed(in), w.first_end);
    return 0;
}

// ---- The one walk ------------------------------------------------------------------------

void survey_shadow(const Run &run, Run &shadow, RowSurvey &s) {
    shadow.opt = run.opt;
    shadow.dialect = run.dialect;
    shadow.status_columns = run.status_columns;
    shadow.xml_loaded = run.xml_loaded;
    shadow.channels.clear();
    shadow.channels.resize(run.channels.size());
    for (size_t k = 0; k < run.channels.size(); k++) {
        const Channel &from = run.channels[k];
        Channel &to = shadow.channels[k];
        to.title = from.title;
        to.group = from.group;
        to.forced = from.forced;
        if (from.extra) {
            // What the options and the XML description gave; nothing learnt.
            ChannelExtra &x = channel_extra(to);
            x.shape_option = from.extra->shape_option;
            x.units = from.extra->units;
            x.long_name = from.extra->long_name;
            x.xml_spectra = from.extra->xml_spectra;
            x.xml_image = from.extra->xml_image;
            x.xml_dims = from.extra->xml_dims;
        }
    }
    row_survey_init(s, shadow);
}

// What the layout takes from a channel's decided kind and sizes.
static std::string layout_of(const Channel &ch) {
    const ChannelSurvey &s = ch.survey;
    std::string t = kind_name(ch.kind);
    switch (ch.kind) {
    case KIND_SPECTRUM:
        t += " of " + std::to_string(s.members) + " x " + std::to_string(s.values) + " values" +
             (s.stats ? " with statistics" : "");
        break;
    case KIND_IMAGE:
        t += " of " + std::to_string(ch.shape.width) + " x " + std::to_string(ch.shape.height) +
             ", " + std::to_string(ch.shape.bytes) + " byte(s) per pixel, " +
             (ch.shape.width > 0 ? std::string("") : std::to_string(s.pixels) + " pixels");
        break;
    case KIND_BLOCK:
        if (s.nonvn)
            t += " of " + std::to_string(s.max_items) + " unnamed items";
        else
            t += " of " + std::to_string(extra_of(ch).items.size()) + " items";
        break;
    default: break;
    }
    return t;
}

std::string layout_difference(const Run &a, const Run &b) {
    if (a.iso_len != b.iso_len || a.type_len != b.type_len)
        return "the longest event time or type text";
    for (size_t k = 0; k < a.channels.size() && k < b.channels.size(); k++) {
        const Channel &x = a.channels[k], &y = b.channels[k];
        std::string lx = layout_of(x), ly = layout_of(y);
        if (lx != ly)
            return "channel " + x.title + " (" + ly + ", not " + lx + ")";
        if (x.kind == KIND_BLOCK && extra_of(x).items != extra_of(y).items)
            return "channel " + x.title + " (its item names)";
    }
    return std::string();
}

void survey_take(Run &to, Run &from) {
    to.events = from.events;
    to.cut_events = from.cut_events;
    to.iso_len = from.iso_len;
    to.type_len = from.type_len;
    for (size_t k = 0; k < to.channels.size() && k < from.channels.size(); k++) {
        Channel &x = to.channels[k], &y = from.channels[k];
        x.survey = y.survey;
        x.precision = y.precision;
        x.shape = y.shape;
        if (y.extra) {
            ChannelExtra &e = channel_extra(x);
            e.member_values.swap(y.extra->member_values);
            e.items.swap(y.extra->items);
            e.item_index.swap(y.extra->item_index);
        }
    }
}
