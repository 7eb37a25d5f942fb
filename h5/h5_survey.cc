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
#include "h5_converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// ---- One cell ---------------------------------------------------------------------

// The items of one block cell: counted, and their names (views into the
// table's line) kept until the cell has read whole.
struct ItemScan {
    int count = 0;
    bool finite = false;  // an item was a finite number
    std::vector<std::string_view> names;
};

static void scan_item(void *ctx, std::string_view name, float v)
{
    ItemScan &scan = *(ItemScan *)ctx;
    scan.count++;
    scan.finite |= std::isfinite(v);
    if (name.data() != nullptr)
        scan.names.push_back(name);
}

// Names of a cell that read as a block, in order of first appearance.
static void note_items(Channel &ch, const std::vector<std::string_view> &names)
{
    for (std::string_view name : names) {
        std::string key(name);
        if (ch.item_index.count(key) == 0) {
            ch.item_index.emplace(key, (int)ch.items.size());
            ch.items.push_back(std::move(key));
        }
    }
}

// A pixel list of digits only also reads as a spectrum of one member in
// the integer form, and with one number as a value or a one-item block:
// those follow from the count without reading the digits again.
static void survey_flat_list(Channel &ch, uint64_t npix)
{
    ChannelSurvey &s = ch.survey;
    s.fits[KIND_SPECTRUM]++;
    s.members = std::max(s.members, 1);
    int v = npix > (uint64_t)INT32_MAX ? INT32_MAX : (int)npix;
    s.values = std::max(s.values, v);
    if (s.member_values.empty())
        s.member_values.push_back(0);
    s.member_values[0] = std::max(s.member_values[0], v);
    s.int_form = true;
    if (npix == 1) {
        s.fits[KIND_VALUE]++;
        s.fits[KIND_BLOCK]++;
        s.nonvn = true;
        s.max_items = std::max(s.max_items, 1);
    }
}

static bool survey_image(Dialect d, Channel &ch, const RowCell &cell)
{
    uint64_t npix, maxv;
    Presence p = cell_image(d, cell.b, cell.e, nullptr, nullptr, 0, &npix, &maxv);
    bool not_found = cell.e - cell.b == 9 && memcmp(cell.b, "Not found", 9) == 0;
    if (p == PRESENT_NONE && d == DIALECT_TAB && cell.b != cell.e && !not_found) {
        ch.survey.fits[KIND_IMAGE]++;  // "No Image": only an image says so
        return true;
    }
    if (p == PRESENT_NONE && d == DIALECT_HDF5 && cell.e - cell.b == 4) {
        // "[[]]": an empty pixel list, or a spectrum whose one member has
        // no data; the spectrum's grammar counts the second.
        ch.survey.fits[KIND_IMAGE]++;
        return false;
    }
    if (p != PRESENT_DATA)
        return false;
    ChannelSurvey &s = ch.survey;
    s.fits[KIND_IMAGE]++;
    s.pixels = std::max(s.pixels, npix);
    s.pixel_max = std::max(s.pixel_max, maxv);
    if (d == DIALECT_HDF5)
        survey_flat_list(ch, npix);
    return true;
}

static void survey_spectrum(Dialect d, Channel &ch, const RowCell &cell)
{
    ChannelSurvey &s = ch.survey;
    SpectrumOut out;
    out.member_values = &s.member_values;
    std::vector<int> saved = s.member_values;
    if (cell_spectrum(d, cell.b, cell.e, out) != PRESENT_DATA) {
        s.member_values = std::move(saved);  // a cell that failed half way
        return;
    }
    s.fits[KIND_SPECTRUM]++;
    s.members = std::max(s.members, out.seen_members);
    s.values = std::max(s.values, out.seen_values);
    s.stats |= out.seen_stats;
    s.int_form |= out.int_form;
    ch.precision.float_spectrum |= out.float_form;
}

static void survey_block(Dialect d, Channel &ch, const RowCell &cell)
{
    ChannelSurvey &s = ch.survey;
    bool nonvn = false, intf = false;
    static ItemScan scan;  // reused: no allocation per cell once grown
    scan.count = 0;
    scan.finite = false;
    scan.names.clear();
    if (cell_block(d, cell.b, cell.e, scan_item, &scan, &nonvn, &intf) != PRESENT_DATA)
        return;
    if (!nonvn)
        note_items(ch, scan.names);
    s.fits[KIND_BLOCK]++;
    s.nonvn |= nonvn;
    s.int_form |= intf;
    ch.precision.float_item |= !intf && scan.finite;
    s.max_items = std::max(s.max_items, scan.count);
}

void survey_cell(Dialect d, Channel &ch, const RowCell &cell)
{
    if (!cell.uncertain)
        precision_cell(ch, cell);
    if (!cell.reached || cell.bad || cell.uncertain || cell.b == cell.e)
        return;
    ChannelSurvey &s = ch.survey;
    if (!survey_image(d, ch, cell)) {
        if (cell_marker(d, cell.b, cell.e) == PRESENT_DATA)
            s.fits[KIND_MARKER]++;
        float v;
        bool intf = false;
        if (cell_value(d, cell.b, cell.e, &v, &intf) == PRESENT_DATA) {
            s.fits[KIND_VALUE]++;
            s.int_form |= intf;
            precision_value(ch, d, cell, v, intf);
        }
        survey_block(d, ch, cell);
        survey_spectrum(d, ch, cell);
    }
}

// The most one event of one dataset may take: a chunk holds at least one
// event, and a few chunks per thread are in flight at a time. A 4096 x 4096
// 16-bit camera takes 32 MB.
static const uint64_t MAX_EVENT_BYTES = 256u << 20;

// ---- The kind of each channel ---------------------------------------------------------

// Order in which equally good kinds are taken: what a table most often
// holds first (a marker over a value of 1 in the integer form, a camera
// over a spectrum of integers).
static const Kind TIE_ORDER[] = {KIND_MARKER, KIND_VALUE, KIND_BLOCK, KIND_IMAGE,
                                 KIND_SPECTRUM};

static Kind kind_from_cells(Run &run, const Channel &ch)
{
    const ChannelSurvey &s = ch.survey;
    Kind best = KIND_NONE;
    uint64_t most = 0;
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
        warn_line(run, 0, "channel %s reads as %s or %s; taken as %s "
                          "(--kind '%s=KIND' or the XML description decides)",
                  ch.title.c_str(), kind_name(best), also.c_str(), kind_name(best),
                  ch.title.c_str());
    return best;
}

// Shape and depth of an image channel: --image-shape, else the XML
// description when its size matches the pixel lists, else flat. Without a
// depth the pixels seen over the run choose the smallest exact one.
static void decide_image(Run &run, Channel &ch)
{
    ImageShape shape = ch.shape_option;
    const ImageShape &x = ch.xml_image;
    uint64_t xpix = (uint64_t)x.width * x.height;
    if (shape.width == 0 && x.width > 0 && (ch.survey.pixels == 0 || xpix == ch.survey.pixels))
        shape = x;
    if (shape.bytes != 1 && shape.bytes != 2)
        shape.bytes = x.bytes;
    if (shape.bytes != 1 && shape.bytes != 2)
        shape.bytes = ch.survey.pixel_max > 255 ? 2 : 1;
    if (shape.width == 0)
        warn_line(run, 0, "channel %s: the image shape is not known; its pixels are stored "
                          "flat, [events, pixels] (--image-shape '%s=WxH' or the XML "
                          "description gives the shape)", ch.title.c_str(), ch.title.c_str());
    ch.shape = shape;
}

// Bytes one event of the channel's largest dataset takes: spectra and
// images are stored as rectangles as large as the largest cell of the run.
static uint64_t event_bytes(const Channel &ch)
{
    if (ch.kind == KIND_SPECTRUM)
        return (uint64_t)ch.survey.members * (uint64_t)ch.survey.values * 4;
    if (ch.kind == KIND_IMAGE)
        return (ch.shape.width ? (uint64_t)ch.shape.width * ch.shape.height
                               : ch.survey.pixels) * ch.shape.bytes;
    return 0;
}

int decide_kinds(Run &run)
{
    for (Channel &ch : run.channels) {
        if (ch.forced != KIND_UNSET)
            ch.kind = ch.forced;
        else if (!ch.xml_spectra.empty())
            ch.kind = KIND_SPECTRUM;
        else if (ch.xml_image.width > 0)
            ch.kind = KIND_IMAGE;
        else
            ch.kind = kind_from_cells(run, ch);
        if (ch.kind == KIND_IMAGE)
            decide_image(run, ch);
        if (ch.kind == KIND_SPECTRUM) {
            ch.survey.members = std::max({ch.survey.members, 1});
            ch.survey.values = std::max(ch.survey.values, 1);
        }
        if (event_bytes(ch) > MAX_EVENT_BYTES) {
            error_line(run, 0, "channel %s: one event of its %s takes %llu MB, more than the "
                               "%llu MB this converter holds per event (--kind '%s=none' "
                               "leaves it out)", ch.title.c_str(), kind_name(ch.kind),
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
static bool image_known(const Channel &ch)
{
    bool image = ch.forced == KIND_IMAGE ||
                 (ch.forced == KIND_UNSET && ch.xml_spectra.empty() && ch.xml_image.width > 0);
    if (!image)
        return false;
    ImageShape shape = ch.shape_option.width > 0 ? ch.shape_option : ch.xml_image;
    if (shape.bytes != 1 && shape.bytes != 2)
        shape.bytes = ch.xml_image.bytes;
    return shape.width > 0 && (shape.bytes == 1 || shape.bytes == 2);
}

int survey_run(Run &run, Input &in, const char *bar_label)
{
    RowReader rr;
    if (rows_begin(run, rr, in) != 0)
        return -1;
    // What the options and the XML description say of a channel's kind
    // helps the row reader where a row reads two ways.
    std::vector<Kind> hints(run.channels.size(), KIND_UNSET);
    for (size_t k = 0; k < hints.size(); k++) {
        const Channel &ch = run.channels[k];
        hints[k] = ch.forced != KIND_UNSET ? ch.forced
                   : !ch.xml_spectra.empty() ? KIND_SPECTRUM
                   : ch.xml_image.width > 0  ? KIND_IMAGE
                                             : KIND_UNSET;
    }
    rr.hints = &hints;
    rr.mark_uncertain = true;
    std::vector<char> skip(run.channels.size());
    for (size_t k = 0; k < skip.size(); k++)
        skip[k] = image_known(run.channels[k]);
    Row row;
    int r;
    while ((r = row_next(rr, row)) > 0) {
        run.events++;
        run.cut_events += !row.complete;
        run.iso_len = std::max(run.iso_len, row.iso.size());
        run.type_len = std::max(run.type_len, row.type_name.size());
        for (size_t k = 0; k < run.channels.size(); k++)
            if (!skip[k])
                survey_cell(run.dialect, run.channels[k], row.cells[k]);
        if ((run.events & 63) == 0) {
            progress_update(run, in, bar_label);
            if (interrupted())
                return -1;
        }
    }
    return r;
}
