// h5_kinds.cc - the kind table: for every kind of channel its name, its
// NeXus class, how the plug-in writes its numbers, and its functions for
// each walk: what the survey counts of a cell, the sizes decided for the
// channel, the datasets laid out for it, how a cell is written, and how
// one is read where the row reader finds it.
//
// The survey (h5_survey.cc), the layout (h5_layout.cc) and the conversion
// (h5_convert.cc) look a channel's kind up in KINDS and call the row's
// functions; a new kind is a row here with its functions, its value of
// Kind (h5_converter.h) and its cell grammar (h5_cells.cc).
#include "h5_kinds.h"

#include <hdf5_hl.h>

#include <algorithm>
#include <cmath>
#include <cstring>

// ==== The survey: what each cell could be ==========================================

// The items of one block cell: counted, and their names (views into the
// table's line) kept until the cell has read whole.
struct ItemScan {
    int count = 0;
    bool finite = false;  // an item was a finite number
    std::vector<std::string_view> names;
};

static void scan_item(void *ctx, std::string_view name, float v) {
    ItemScan &scan = *(ItemScan *)ctx;
    scan.count++;
    scan.finite |= std::isfinite(v);
    if (name.data() != nullptr)
        scan.names.push_back(name);
}

// Names of a cell that read as a block, in order of first appearance.
static void note_items(Channel &ch, const std::vector<std::string_view> &names) {
    if (names.empty())
        return;
    ChannelExtra &x = channel_extra(ch);
    for (size_t i = 0; i < names.size(); i++) {
        std::string_view name = names[i];
        // Items mostly come in the same order in every event: a name
        // already at its position is known, without a copy or a lookup.
        if (i < x.items.size() && x.items[i] == name)
            continue;
        std::string key(name);
        if (x.item_index.count(key) == 0) {
            x.item_index.emplace(key, (int)x.items.size());
            x.items.push_back(std::move(key));
        }
    }
}

// A pixel list of digits only also reads as a spectrum of one member in
// the integer form, and with one number as a value or a one-item block:
// those follow from the count without reading the digits again.
static void survey_flat_list(Channel &ch, uint64_t npix) {
    ChannelSurvey &s = ch.survey;
    s.fits[KIND_SPECTRUM]++;
    s.members = std::max(s.members, 1);
    int v = npix > (uint64_t)INT32_MAX ? INT32_MAX : (int)npix;
    s.values = std::max(s.values, v);
    std::vector<int> &member_values = channel_extra(ch).member_values;
    if (member_values.empty())
        member_values.push_back(0);
    member_values[0] = std::max(member_values[0], v);
    s.int_form = true;
    if (npix == 1) {
        s.fits[KIND_VALUE]++;
        s.fits[KIND_BLOCK]++;
        s.nonvn = true;
        s.max_items = std::max(s.max_items, 1);
    }
}

static bool survey_image(Dialect d, Channel &ch, const RowCell &cell) {
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

// A cell that read as a spectrum: its sizes and forms.
static void count_spectrum(Channel &ch, const SpectrumOut &out) {
    ChannelSurvey &s = ch.survey;
    s.fits[KIND_SPECTRUM]++;
    s.members = std::max(s.members, out.seen_members);
    s.values = std::max(s.values, out.seen_values);
    s.stats |= out.seen_stats;
    s.int_form |= out.int_form;
    ch.precision.float_spectrum |= out.float_form;
}

// A spectrum the conversion read in place (the one walk): its sizes and
// forms are known, and each member's count is in the event's slots.
static void survey_spectrum_read(Channel &ch, const RowCell &cell) {
    std::vector<int> &member_values = channel_extra(ch).member_values;
    if ((int)member_values.size() < cell.members)
        member_values.resize((size_t)cell.members, 0);
    for (int m = 0; m < cell.members; m++)
        member_values[(size_t)m] = std::max(member_values[(size_t)m], (int)cell.counts[m]);
    SpectrumOut out;
    out.seen_members = cell.members, out.seen_values = cell.values, out.seen_stats = cell.stats;
    out.int_form = cell.int_form, out.float_form = cell.float_form;
    count_spectrum(ch, out);
}

static void survey_spectrum(Dialect d, Channel &ch, const RowCell &cell) {
    if (cell.read_spectrum)
        return survey_spectrum_read(ch, cell);
    // The cell's member sizes go to a copy, which the channel takes only
    // when the cell reads whole: a cell that fails half way leaves the
    // channel as it was, and a channel whose cells are no spectra gets no
    // ChannelExtra. The copy is reused: no allocation per cell once grown.
    static std::vector<int> member_values;
    member_values = extra_of(ch).member_values;
    SpectrumOut out;
    out.member_values = &member_values;
    if (cell_spectrum(d, cell.b, cell.e, out) != PRESENT_DATA)
        return;
    channel_extra(ch).member_values.swap(member_values);
    count_spectrum(ch, out);
}

static void survey_block(Dialect d, Channel &ch, const RowCell &cell) {
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

static void survey_marker(Dialect d, Channel &ch, const RowCell &cell) {
    if (cell_marker(d, cell.b, cell.e) == PRESENT_DATA)
        ch.survey.fits[KIND_MARKER]++;
}

static void count_value(Dialect d, Channel &ch, const RowCell &cell, float v, bool intf) {
    ch.survey.fits[KIND_VALUE]++;
    ch.survey.int_form |= intf;
    precision_value(ch, d, cell, v, intf);
}

// A cell read as a single value is parsed once: the value kind's claim
// comes before its survey (survey_cell), and a cell the claim leaves to
// the survey (the integer form, "inf", "nan") has already been parsed by
// it. The claim keeps what it parsed here, or clears it for a cell it
// does not parse; the survey takes it and clears it, so that nothing of
// one cell is ever taken for another in the same place of the buffer.
struct ValueParse {
    const RowCell *cell = nullptr;  // null: nothing kept
    const char *b = nullptr, *e = nullptr;
    Presence p = PRESENT_BAD;
    float v = 0;
    bool intf = false;
};
static ValueParse value_parse;

// The cell read as a single value into *v and *intf: as the row reader
// read it in place, else as it was parsed last for this cell, else
// parsed now (and kept for the survey).
static Presence value_of(Dialect d, const RowCell &cell, float *v, bool *intf) {
    if (cell.read_value) {
        *v = cell.value, *intf = cell.int_form;
        return PRESENT_DATA;
    }
    ValueParse &m = value_parse;
    if (m.cell != &cell || m.b != cell.b || m.e != cell.e) {
        m.intf = false;
        m.p = cell_value(d, cell.b, cell.e, &m.v, &m.intf);
        m.cell = &cell, m.b = cell.b, m.e = cell.e;
    }
    *v = m.v, *intf = m.intf;
    return m.p;
}

static void survey_value(Dialect d, Channel &ch, const RowCell &cell) {
    float v;
    bool intf;
    if (value_of(d, cell, &v, &intf) == PRESENT_DATA)
        count_value(d, ch, cell, v, intf);
    value_parse = ValueParse();
}

// A finite value in "%f" (a number with a point and no exponent) is what
// a value channel writes and nothing else does: items are "%.2e",
// spectrum values "%.e", pixels digits alone. The commonest cell of a
// table is then read once instead of by every grammar. Others (the
// integer form, "inf", "nan") are left to every kind's survey.
static bool claim_value(Dialect d, Channel &ch, const RowCell &cell) {
    value_parse = ValueParse();
    float v;
    bool intf;
    const char *num = cell.b + (d == DIALECT_HDF5 ? 2 : 0);  // after "[["
    if (!cell.read_value && (num >= cell.e || (*num != '-' && (unsigned)(*num - '0') >= 10u)))
        return false;
    if (value_of(d, cell, &v, &intf) != PRESENT_DATA || intf || !std::isfinite(v))
        return false;  // survey_value takes the parse from value_parse
    value_parse = ValueParse();
    count_value(d, ch, cell, v, intf);
    return true;
}

// ==== The sizes decided ==============================================================

static void decide_spectrum(Run &, Channel &ch) {
    ch.survey.members = std::max(ch.survey.members, 1);
    ch.survey.values = std::max(ch.survey.values, 1);
}

// Shape and depth of an image channel: --image-shape, else the XML
// description when its size matches the pixel lists, else flat. Without a
// depth the pixels seen over the run choose the smallest exact one.
static void decide_image(Run &run, Channel &ch) {
    ImageShape shape = image_shape_given(ch);
    uint64_t xpix = (uint64_t)shape.width * shape.height;
    if (extra_of(ch).shape_option.width == 0 && ch.survey.pixels != 0 && xpix != ch.survey.pixels)
        shape.width = shape.height = 0;  // the description's size is not the frames'
    if (shape.bytes != 1 && shape.bytes != 2)
        shape.bytes = ch.survey.pixel_max > 255 ? 2 : 1;
    if (shape.width == 0)
        warn_line(run, 0,
                  "channel %s: the image shape is not known; its pixels are stored "
                  "flat, [events, pixels] (--image-shape '%s=WxH' or the XML "
                  "description gives the shape)",
                  ch.title.c_str(), ch.title.c_str());
    ch.shape = shape;
}

// Spectra and images are stored as rectangles as large as the largest
// cell of the run.
static uint64_t spectrum_event_bytes(const Channel &ch) {
    return (uint64_t)ch.survey.members * (uint64_t)ch.survey.values * 4;
}

// An image's frame: height x width, or a flat list of pixels (rank 1).
static int frame_dims(const Channel &ch, hsize_t inner[2]) {
    if (ch.shape.width > 0) {
        inner[0] = ch.shape.height, inner[1] = ch.shape.width;
        return 2;
    }
    inner[0] = std::max<uint64_t>(ch.survey.pixels, 1), inner[1] = 1;
    return 1;
}

// Pixels one event of an image channel holds: its frame's.
static uint64_t image_capacity(const Channel &ch) {
    hsize_t inner[2];
    frame_dims(ch, inner);
    return inner[0] * inner[1];
}

static uint64_t image_event_bytes(const Channel &ch) {
    return image_capacity(ch) * ch.shape.bytes;
}

static uint64_t single_column_bytes(const Channel &) {
    return 4;
}

static uint64_t block_column_bytes(const Channel &ch) {
    return 4 * (uint64_t)std::max<size_t>(extra_of(ch).items.size(), (size_t)ch.survey.max_items);
}

// Data, count and statistics of every member.
static uint64_t spectrum_column_bytes(const Channel &ch) {
    uint64_t members = (uint64_t)ch.survey.members;
    return members * ((uint64_t)ch.survey.values * 4 + 4 + (ch.survey.stats ? 128 : 0));
}

// ==== The layout: each kind's datasets ================================================

// A value or marker: one number (or mark) per event.
static void per_event_column(Channel &ch, const std::string &g) {
    bool value = ch.kind == KIND_VALUE;
    ch.col_data = column_scalar(g + "data", value ? H5T_IEEE_F32LE : H5T_STD_U8LE,
                                value ? (const void *)&NAN_F : ZERO);
}

// NXdata of a value or marker: the data plotted against the event id.
static void per_event_data(const Channel &ch, int64_t g, int64_t) {
    hid_t d = column_made(g, ch.col_data);
    event_id_link(g);
    attr_text(g, "signal", "data");
    attr_texts(g, "axes", {"event_id"});
    signal_attributes(ch, d);
}

// Each item's dataset name in the group `items`: the item's name (escaped,
// "~2", "~3", ... where two names meet) or, without names, its index.
static std::vector<std::string> item_dataset_names(const Channel &ch,
                                                   const std::vector<std::string> &items) {
    size_t n = ch.survey.nonvn ? (size_t)ch.survey.max_items : items.size();
    std::vector<std::string> taken = {"event_id", "time"};  // the event links
    std::vector<std::string> names;
    for (size_t i = 0; i < n; i++) {
        std::string name = ch.survey.nonvn ? std::to_string(i) : item_dataset_name(items[i]);
        std::string base = name;
        for (int k = 2; std::find(taken.begin(), taken.end(), name) != taken.end(); k++)
            name = base + "~" + std::to_string(k);
        taken.push_back(name);
        names.push_back(name);
    }
    return names;
}

static std::vector<std::string> item_dataset_names(const Channel &ch) {
    return item_dataset_names(ch, extra_of(ch).items);
}

// One column per item.
static void item_columns(Channel &ch, const std::string &g) {
    ChannelExtra &x = channel_extra(ch);
    for (const std::string &name : item_dataset_names(ch))
        x.col_items.push_back(column_scalar(g + "items/" + name, H5T_IEEE_F32LE, &NAN_F));
}

// item_names [item]: each item's dataset name and item name, a compound
// of two fixed-length strings.
static void item_names_table(const Channel &ch, hid_t g, const std::vector<std::string> &dsname,
                             const std::vector<std::string> &itemname) {
    size_t n = dsname.size(), l1 = 1, l2 = 1;
    hid_t item = index_scale(g, "item", H5T_STD_I32LE, n);
    for (size_t i = 0; i < n; i++)
        l1 = std::max(l1, dsname[i].size()), l2 = std::max(l2, itemname[i].size());
    hid_t t1 = fixed_string(l1, true), t2 = fixed_string(l2, valid_utf8(ch.title));
    hid_t ct = H5Tcreate(H5T_COMPOUND, l1 + l2);
    H5Tinsert(ct, "dataset", 0, t1);
    H5Tinsert(ct, "name", l1, t2);
    std::vector<char> buf((l1 + l2) * n, 0);
    for (size_t i = 0; i < n; i++) {
        memcpy(buf.data() + i * (l1 + l2), dsname[i].data(), dsname[i].size());
        memcpy(buf.data() + i * (l1 + l2) + l1, itemname[i].data(), itemname[i].size());
    }
    hsize_t dims = n;
    hid_t names = dataset_fixed_open(g, "item_names", ct, 1, &dims, buf.data());
    attach(names, item, 0);
    close_all({names, item});
    H5Tclose(ct);
    H5Tclose(t1);
    H5Tclose(t2);
}

static void block_items(const Channel &ch, int64_t g, int64_t) {
    hid_t items = group_new(g, "items", "NXcollection");
    if (items < 0)
        return;
    event_links(items);
    const ChannelExtra &x = extra_of(ch);
    std::vector<std::string> dsname = item_dataset_names(ch), itemname;
    for (size_t i = 0; i < dsname.size(); i++) {
        itemname.push_back(ch.survey.nonvn ? std::string() : x.items[i]);
        hid_t d = column_made(items, i < x.col_items.size() ? x.col_items[i] : -1);
        if (d >= 0) {
            signal_attributes(ch, d);
            attr_text(d, "item_name", itemname.back());
        }
    }
    H5Gclose(items);
    if (!one_walk_layout())  // items may yet be found
        item_names_table(ch, g, dsname, itemname);
}

// After the one walk: the item table, with the items first seen late.
static void block_finish(const Channel &ch, int64_t g) {
    std::vector<std::string> dsname = item_dataset_names(ch), itemname;
    for (size_t i = 0; i < dsname.size(); i++)
        itemname.push_back(ch.survey.nonvn ? std::string() : extra_of(ch).items[i]);
    item_names_table(ch, g, dsname, itemname);
}

// True when every member the XML description records with values shares
// one start and inc and has fewer than 2 groups: one axis for all.
static bool shared_axis(const Channel &ch, float *start, float *inc) {
    bool any = false;
    for (const XmlSpectrum &x : extra_of(ch).xml_spectra) {
        if (x.ndata <= 0)
            continue;  // a member never seen with data keeps a zero record
        if (x.groups >= 2 || (any && (x.start != *start || x.inc != *inc)))
            return false;
        *start = x.start, *inc = x.inc, any = true;
    }
    return any;
}

// The scale x [values]: the shared axis of the XML description, else the
// value index. Returns it open, or -1.
static hid_t spectrum_x(const Channel &ch, hid_t g, int V) {
    float start = 0, inc = 1;
    bool axis = shared_axis(ch, &start, &inc);
    std::vector<float> xs((size_t)V);
    for (int v = 0; v < V; v++)
        xs[(size_t)v] = axis ? (float)((double)start + (double)v * inc) : (float)v;
    hsize_t dims = (hsize_t)V;
    hid_t x = dataset_fixed_open(g, "x", H5T_IEEE_F32LE, 1, &dims, xs.data());
    if (x >= 0) {
        check(H5DSset_scale(x, "x"), "H5DSset_scale");
        if (!axis)
            attr_text(x, "long_name", "value index");
    }
    return x;
}

// x_member [members, values] = start + index * inc of each member, when
// the XML description has no member with groups.
static void spectrum_member_axes(const Channel &ch, hid_t g, int M, int V, hid_t member, hid_t x) {
    const std::vector<XmlSpectrum> &xml = extra_of(ch).xml_spectra;
    if (xml.empty())
        return;
    for (const XmlSpectrum &r : xml)
        if (r.groups >= 2)
            return;
    std::vector<float> xs((size_t)M * (size_t)V, NAN_F);
    for (int m = 0; m < M && m < (int)xml.size(); m++)
        for (int v = 0; v < V; v++)
            xs[(size_t)m * V + v] = (float)((double)xml[m].start + (double)v * xml[m].inc);
    hsize_t dims[2] = {(hsize_t)M, (hsize_t)V};
    hid_t d = dataset_fixed_open(g, "x_member", H5T_IEEE_F32LE, 2, dims, xs.data());
    attach(d, member, 0);
    attach(d, x, 1);
    close_all({d});
}

static void spectrum_columns(Channel &ch, const std::string &g) {
    int M = ch.survey.members, V = ch.survey.values;
    hsize_t inner[2] = {(hsize_t)M, (hsize_t)V};
    size_t per = (size_t)M * (size_t)V * 4;
    ch.col_data = column(g + "data", H5T_IEEE_F32LE, 2, inner, per, &NAN_F, false);
    ch.col_count = column(g + "count", H5T_STD_I32LE, 1, inner, (size_t)M * 4, ZERO, false);
    if (ch.survey.stats) {
        hsize_t sdims[2] = {(hsize_t)M, 32};
        ch.col_stats =
            column(g + "stats", H5T_IEEE_F32LE, 2, sdims, (size_t)M * 128, &NAN_F, false);
    }
}

static void spectrum_data(const Channel &ch, int64_t g, int64_t) {
    int M = ch.survey.members, V = ch.survey.values;
    hid_t member = index_scale(g, "member", H5T_STD_I32LE, (uint64_t)M);
    hid_t x = spectrum_x(ch, g, V);
    hid_t stat = ch.survey.stats ? index_scale(g, "stat", H5T_STD_I32LE, 32) : -1;
    hid_t data = column_made(g, ch.col_data);
    attach(column_made(g, ch.col_count), member, 1);
    if (hid_t stats = column_made(g, ch.col_stats); stats >= 0) {
        attach(stats, member, 1);
        attach(stats, stat, 2);
    }
    attr_text(g, "signal", "data");
    attr_texts(g, "axes", {"event_id", "member", "x"});
    spectrum_member_axes(ch, g, M, V, member, x);
    if (data >= 0) {
        attach(data, member, 1);
        attach(data, x, 2);
        attr_text(data, "interpretation", "spectrum");
        signal_attributes(ch, data);
        if (!one_walk_layout() && spectrum_truncated(ch))
            attr_u8(data, "truncated", 1);
    }
    close_all({member, x, stat});
}

// After the one walk: whether the table cut the spectra.
static void spectrum_finish(const Channel &ch, int64_t g) {
    if (!spectrum_truncated(ch))
        return;
    hid_t data = check(H5Dopen2(g, "data", H5P_DEFAULT), "H5Dopen2");
    attr_u8(data, "truncated", 1);
    close_all({data});
}

static void image_columns(Channel &ch, const std::string &g) {
    hid_t type = ch.shape.bytes == 2 ? H5T_STD_U16LE : H5T_STD_U8LE;
    hsize_t inner[2];
    int rank = frame_dims(ch, inner);
    ch.col_data = column(g + "data", type, rank, inner, image_event_bytes(ch), ZERO, true);
}

static void image_data(const Channel &ch, int64_t g, int64_t) {
    hsize_t inner[2];
    int rank = frame_dims(ch, inner);
    hid_t s1, s2 = -1;
    if (rank == 2) {
        s1 = index_scale(g, "y", H5T_STD_U32LE, inner[0]);
        s2 = index_scale(g, "x", H5T_STD_U32LE, inner[1]);
    } else {
        s1 = index_scale(g, "pixel", H5T_STD_U32LE, inner[0]);
    }
    hid_t d = column_made(g, ch.col_data);
    attr_text(g, "signal", "data");
    if (rank == 2)
        attr_texts(g, "axes", {"event_id", "y", "x"});
    else
        attr_texts(g, "axes", {"event_id", "pixel"});
    if (d >= 0) {
        attach(d, s1, 1);
        attach(d, s2, 2);
        if (rank == 2)
            attr_text(d, "interpretation", "image");
        signal_attributes(ch, d);
    }
    close_all({s1, s2});
}

// ==== The conversion: a cell into its event's slots ===================================

static void fill_nan(float *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        p[i] = NAN_F;
}

static Presence write_marker(Dialect d, Channel &ch, const RowCell &cell, uint64_t ev) {
    Presence p = cell_marker(d, cell.b, cell.e);
    if (p == PRESENT_DATA)
        put<uint8_t>(ch.col_data, ev, 1);
    return p;
}

static Presence write_value(Dialect d, Channel &ch, const RowCell &cell, uint64_t ev) {
    float v = cell.value;
    bool intf;
    // A value the row reader read in place has been read already.
    Presence p = cell.read ? PRESENT_DATA : cell_value(d, cell.b, cell.e, &v, &intf);
    if (p == PRESENT_DATA)
        put<float>(ch.col_data, ev, v);
    return p;
}

// A single value, the commonest cell, is read into its RowCell where the
// row reader finds it; write_value then takes it from there.
static const char *read_value_at(const Channel &, uint64_t, const char *p, const char *e,
                                 RowCell &cell) {
    const char *q = cell_value_at(p, e, &cell.value, &cell.int_form);
    if (q)
        cell.read = cell.read_value = true;
    return q;
}

struct BlockCtx {
    const ChannelExtra *x;  // the channel's items and their columns
    uint64_t ev;
    int position;                        // items so far (names absent)
    bool unknown;                        // an item name the survey did not see
    std::vector<std::string_view> late;  // those names (in the table's line)
};

static void store_item(void *ctx, std::string_view name, float v) {
    BlockCtx &b = *(BlockCtx *)ctx;
    const ChannelExtra &x = *b.x;
    int idx = b.position++;
    if (name.data() != nullptr) {
        // Items mostly come in the same order in every event: try the
        // name at this position before the hash lookup.
        if (!(idx < (int)x.items.size() && x.items[(size_t)idx] == name)) {
            auto it = x.item_index.find(std::string(name));
            idx = it == x.item_index.end() ? -1 : it->second;
        }
    }
    if (idx < 0 || idx >= (int)x.col_items.size()) {
        b.unknown = true;
        if (name.data() != nullptr)
            b.late.push_back(name);
        return;
    }
    put<float>(x.col_items[(size_t)idx], b.ev, v);
}

// One walk: an item first seen after the layout gets its dataset now (the
// events before hold the fill value; `present` tells which had the block),
// in the order in which the whole run's survey finds the items. Returns
// false when it cannot be made.
static bool item_made_late(Channel &ch, std::string_view name) {
    std::vector<std::string> items = extra_of(ch).items;
    items.emplace_back(name);
    std::string dataset = item_dataset_names(ch, items).back();
    int col;
    hid_t d = column_late("/entry/channels/" + ch.group + "/items", dataset, H5T_IEEE_F32LE, &NAN_F,
                          &col);
    if (d < 0)
        return false;
    signal_attributes(ch, d);
    attr_text(d, "item_name", items.back());
    // Alone now (column_late waited for the threads, the layout's among them).
    ChannelExtra &x = channel_extra(ch);
    x.item_index.emplace(items.back(), (int)x.items.size());
    x.items.push_back(items.back());
    x.col_items.push_back(col);
    return true;
}

// One walk, unnamed items (-nonvn): the datasets of the positions up to
// `count` not seen before. Returns false when one cannot be made.
static bool unnamed_items_made_late(Channel &ch, int count) {
    while ((int)extra_of(ch).col_items.size() < count) {
        std::string dataset = std::to_string(extra_of(ch).col_items.size());
        int col;
        hid_t d = column_late("/entry/channels/" + ch.group + "/items", dataset, H5T_IEEE_F32LE,
                              &NAN_F, &col);
        if (d < 0)
            return false;
        signal_attributes(ch, d);
        attr_text(d, "item_name", "");
        channel_extra(ch).col_items.push_back(col);
        ch.survey.max_items = std::max(ch.survey.max_items, (int)extra_of(ch).col_items.size());
    }
    return true;
}

// One walk: the datasets of the items of a block cell that had none.
// Returns true when every item of the cell now has one.
static bool items_made_late(Channel &ch, const BlockCtx &ctx, bool nonvn) {
    if (!one_walk_layout() || nonvn != ch.survey.nonvn)
        return false;
    if (nonvn)
        return unnamed_items_made_late(ch, ctx.position);
    for (std::string_view name : ctx.late)
        if (extra_of(ch).item_index.count(std::string(name)) == 0 && !item_made_late(ch, name))
            return false;
    return !ctx.late.empty();
}

static Presence write_block(Dialect d, Channel &ch, const RowCell &cell, uint64_t ev) {
    BlockCtx ctx{&extra_of(ch), ev, 0, false, {}};
    bool nonvn = false, intf = false;
    Presence p = cell_block(d, cell.b, cell.e, store_item, &ctx, &nonvn, &intf);
    if (p == PRESENT_DATA && ctx.unknown && items_made_late(ch, ctx, nonvn)) {
        ctx = BlockCtx{&extra_of(ch), ev, 0, false, {}};  // again, every item with its column
        p = cell_block(d, cell.b, cell.e, store_item, &ctx, &nonvn, &intf);
    }
    const ChannelExtra &x = extra_of(ch);
    if (p == PRESENT_DATA && ctx.unknown)
        p = PRESENT_BAD;
    if (p == PRESENT_BAD)
        for (int col : x.col_items)
            put<float>(col, ev, NAN_F);
    return p;
}

// The slots of event `ev` of a spectrum channel, for cell_spectrum.
static SpectrumOut spectrum_slots(const Channel &ch, uint64_t ev) {
    SpectrumOut out;
    out.members = ch.survey.members;
    out.values = ch.survey.values;
    out.data = (float *)column_row(ch.col_data, ev);
    out.count = (int32_t *)column_row(ch.col_count, ev);
    out.stats = ch.col_stats >= 0 ? (float *)column_row(ch.col_stats, ev) : nullptr;
    return out;
}

// Gives the slots their fill values back (the cell was not understood).
static void spectrum_blank(const SpectrumOut &out) {
    size_t m = (size_t)out.members;
    fill_nan(out.data, m * (size_t)out.values);
    memset(out.count, 0, m * sizeof(int32_t));
    if (out.stats)
        fill_nan(out.stats, m * 32);
}

static Presence write_spectrum(Dialect d, Channel &ch, const RowCell &cell, uint64_t ev) {
    // A spectrum the row reader read in place is in the slots already.
    if (cell.read)
        return PRESENT_DATA;
    SpectrumOut out = spectrum_slots(ch, ev);
    Presence p = cell_spectrum(d, cell.b, cell.e, out);
    if (p == PRESENT_BAD)
        spectrum_blank(out);
    return p;
}

// A spectrum is read into its event's slots where the row reader finds
// it, which also finds where the cell ends.
static const char *read_spectrum_at(const Channel &ch, uint64_t ev, const char *p, const char *e,
                                    RowCell &cell) {
    SpectrumOut out = spectrum_slots(ch, ev);
    const char *q = cell_spectrum_at(p, e, out);
    if (!q) {
        spectrum_blank(out);  // for the cell read the usual way
        return q;
    }
    // What the one walk's survey learns of the cell (survey_spectrum).
    cell.read = cell.read_spectrum = true;
    cell.members = out.seen_members, cell.values = out.seen_values, cell.counts = out.count;
    cell.stats = out.seen_stats, cell.int_form = out.int_form, cell.float_form = out.float_form;
    return q;
}

static void blank_spectrum(const Channel &ch, uint64_t ev) {
    spectrum_blank(spectrum_slots(ch, ev));
}

// The frame of event `ev` back to its fill value: zeros.
static void blank_image(const Channel &ch, uint64_t ev) {
    memset(column_row(ch.col_data, ev), 0, image_capacity(ch) * ch.shape.bytes);
}

static Presence write_image(Dialect d, Channel &ch, const RowCell &cell, uint64_t ev) {
    uint64_t cap = image_capacity(ch);
    void *slot = column_row(ch.col_data, ev);
    uint8_t *p8 = ch.shape.bytes == 1 ? (uint8_t *)slot : nullptr;
    uint16_t *p16 = ch.shape.bytes == 2 ? (uint16_t *)slot : nullptr;
    uint64_t npix = cell.npix, maxv;
    // A pixel list the row reader read in place is in the slot already.
    Presence p =
        cell.read ? PRESENT_DATA : cell_image(d, cell.b, cell.e, p8, p16, cap, &npix, &maxv);
    if (p == PRESENT_DATA && ch.shape.width > 0 && npix != cap) {
        p = PRESENT_BAD;  // a frame of another size than the shape
        ch.misfit_frames++;
    } else if (p == PRESENT_BAD &&
               cell_image(d, cell.b, cell.e, nullptr, nullptr, 0, &npix, &maxv) == PRESENT_DATA) {
        ch.misfit_frames++;  // a pixel list too long or too deep for the shape
    }
    if (p == PRESENT_BAD)
        blank_image(ch, ev);
    return p;
}

// A camera frame is most of a row's bytes: its pixel list is read into
// the event's slot as the row reader comes to it, which also finds where
// the cell ends, instead of the megabytes being searched for the end
// first and read after. The pixels of a list that does not read whole
// stay in the slot until blank_image or write_image clears it.
static const char *read_image_at(const Channel &ch, uint64_t ev, const char *p, const char *e,
                                 RowCell &cell) {
    if (e - p < 3 || p[0] != '[' || p[1] != '[' || (unsigned)(p[2] - '0') >= 10u)
        return nullptr;
    void *slot = column_row(ch.col_data, ev);
    uint64_t npix, maxv;
    const char *q = cell_image_at(p, e, ch.shape.bytes == 1 ? (uint8_t *)slot : nullptr,
                                  ch.shape.bytes == 2 ? (uint16_t *)slot : nullptr,
                                  image_capacity(ch), &npix, &maxv);
    if (q)
        cell.read = true, cell.npix = npix;
    return q;
}

// A channel of kind none stores nothing. A cell that says there is none
// in any kind's grammar (an empty block, a spectrum without members) is
// none; data (a channel left out with --kind CHANNEL=none, or one whose
// only data the survey could not tell apart) is counted, reported and
// marked none as well. An empty cell reads as empty in every grammar.
static Presence write_none(Dialect d, Channel &ch, const RowCell &cell, uint64_t) {
    bool none = false;
    for (const KindInfo &k : KINDS) {
        Presence t = k.read ? k.read(d, cell.b, cell.e) : PRESENT_BAD;
        if (t == PRESENT_DATA) {
            ch.left_out++;
            return PRESENT_NONE;
        }
        if (t == PRESENT_EMPTY)
            return t;
        none = none || t == PRESENT_NONE;
    }
    return none ? PRESENT_NONE : PRESENT_BAD;
}

// ==== Each grammar alone ==============================================================

static Presence read_value(Dialect d, const char *b, const char *e) {
    float v;
    bool intf;
    return cell_value(d, b, e, &v, &intf);
}

static Presence read_block(Dialect d, const char *b, const char *e) {
    bool nonvn, intf;
    return cell_block(d, b, e, nullptr, nullptr, &nonvn, &intf);
}

static Presence read_spectrum(Dialect d, const char *b, const char *e) {
    SpectrumOut out;
    return cell_spectrum(d, b, e, out);
}

static Presence read_image(Dialect d, const char *b, const char *e) {
    uint64_t n, mx;
    return cell_image(d, b, e, nullptr, nullptr, 0, &n, &mx);
}

// ==== The table =========================================================================

// Indexed by Kind. tie: a marker before a value of 1 in the integer form,
// a camera before a spectrum of integers (what a table most often holds
// first); viewer: the first value channel, else the first spectrum, image
// or marker (a marker is a flat line at 1).
const KindInfo KINDS[KIND_COUNT] = {
    {"none", nullptr, 0, 0, "", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr, write_none, nullptr, nullptr, nullptr},
    {"marker", "NXdata", 1, 4, "", nullptr, nullptr, cell_marker, nullptr, survey_marker, nullptr,
     nullptr, single_column_bytes, per_event_column, per_event_data, write_marker, nullptr, nullptr,
     nullptr},
    {"value", "NXdata", 2, 1, "%f", &Precision::float_value, nullptr, read_value, claim_value,
     survey_value, nullptr, nullptr, single_column_bytes, per_event_column, per_event_data,
     write_value, read_value_at, nullptr, nullptr},
    {"block", "NXcollection", 3, 0, "%.2e", &Precision::float_item, nullptr, read_block, nullptr,
     survey_block, nullptr, nullptr, block_column_bytes, item_columns, block_items, write_block,
     nullptr, nullptr, block_finish},
    {"spectrum", "NXdata", 5, 2, "%.e", &Precision::float_spectrum, nullptr, read_spectrum, nullptr,
     survey_spectrum, decide_spectrum, spectrum_event_bytes, spectrum_column_bytes,
     spectrum_columns, spectrum_data, write_spectrum, read_spectrum_at, blank_spectrum,
     spectrum_finish},
    {"image", "NXdata", 4, 3, "", nullptr, "%d", read_image, survey_image, nullptr, decide_image,
     image_event_bytes, nullptr, image_columns, image_data, write_image, read_image_at, blank_image,
     nullptr},
};

const char *kind_name(Kind k) {
    return k >= 0 && k < KIND_COUNT ? KINDS[k].name : "unset";
}

Kind kind_from_name(std::string_view s) {
    for (int k = 0; k < KIND_COUNT; k++)
        if (s == KINDS[k].name)
            return (Kind)k;
    return KIND_UNSET;
}

std::string kind_names(const char *last) {
    std::string s;
    for (int k = 1; k < KIND_COUNT; k++)
        s += std::string(k > 1 ? ", " : "") + KINDS[k].name;
    return s + last + KINDS[KIND_NONE].name;
}
