// h5_layout.cc - the HDF5 file's groups, attributes and datasets, laid
// out once the survey has decided every channel's kind and sizes.
//
// The layout is a contract (docs/hdf5-layout.md): /entry/event holds one
// element per event, /entry/channel_table one per channel, and
// /entry/channels one group per channel, an NXdata where a viewer can plot
// it. Every per-event dataset is a column of h5_chunks.cc; the datasets
// of fixed size (the channel table, item names, spectrum axes) are written
// here at once.
#include "h5_converter.h"
#include "h5_chunks.h"

#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

EventColumns event_columns;

// Budget for the chunks being filled at one time: with thousands of
// channels the per-event columns get fewer events per chunk.
static const uint64_t CHUNK_MEMORY = 64u << 20;

// The first HDF5 failure of the layout (later ones follow from it).
static std::string layout_error;

// Notes a failed HDF5 call; returns its argument for chaining.
static long long check(long long r, const char *what)
{
    if (r < 0 && layout_error.empty())
        layout_error = what;
    return r;
}

// ---- Types and attributes ------------------------------------------------------------

static bool valid_utf8(const std::string &s)
{
    const unsigned char *p = (const unsigned char *)s.data();
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        size_t len = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3
                   : c >= 0xF0 && c < 0xF5 ? 4 : 0;
        if (len == 0 || i + len > n)
            return false;
        for (size_t k = 1; k < len; k++)
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

// A fixed-length string type of `len` bytes (at least 1), NUL-padded.
static hid_t fixed_string(size_t len, bool utf8)
{
    hid_t t = H5Tcopy(H5T_C_S1);
    H5Tset_size(t, std::max<size_t>(len, 1));
    H5Tset_strpad(t, H5T_STR_NULLPAD);
    H5Tset_cset(t, utf8 ? H5T_CSET_UTF8 : H5T_CSET_ASCII);
    return t;
}

// A scalar attribute holding a variable-length string.
static void attr_text(hid_t obj, const char *name, const std::string &value)
{
    hid_t t = H5Tcopy(H5T_C_S1);
    H5Tset_size(t, H5T_VARIABLE);
    H5Tset_cset(t, valid_utf8(value) ? H5T_CSET_UTF8 : H5T_CSET_ASCII);
    hid_t sp = H5Screate(H5S_SCALAR);
    hid_t a = check(H5Acreate2(obj, name, t, sp, H5P_DEFAULT, H5P_DEFAULT), "H5Acreate2");
    const char *s = value.c_str();
    if (a >= 0)
        check(H5Awrite(a, t, &s), "H5Awrite");
    if (a >= 0)
        H5Aclose(a);
    H5Sclose(sp);
    H5Tclose(t);
}

// A scalar numeric attribute of file type `type` from memory type `mem`.
static void attr_number(hid_t obj, const char *name, hid_t type, hid_t mem, const void *v)
{
    hid_t sp = H5Screate(H5S_SCALAR);
    hid_t a = check(H5Acreate2(obj, name, type, sp, H5P_DEFAULT, H5P_DEFAULT), "H5Acreate2");
    if (a >= 0) {
        check(H5Awrite(a, mem, v), "H5Awrite");
        H5Aclose(a);
    }
    H5Sclose(sp);
}

static hid_t group_new(hid_t loc, const char *name, const char *nx_class)
{
    hid_t g = check(H5Gcreate2(loc, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                    "H5Gcreate2");
    if (g >= 0 && nx_class)
        attr_text(g, "NX_class", nx_class);
    return g;
}

// A dataset of fixed shape written at once from `data`.
static void dataset_fixed(hid_t loc, const char *name, hid_t type, int rank,
                          const hsize_t *dims, const void *data)
{
    hid_t sp = H5Screate_simple(rank, dims, nullptr);
    hid_t d = check(H5Dcreate2(loc, name, type, sp, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                    "H5Dcreate2");
    if (d >= 0) {
        check(H5Dwrite(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data), "H5Dwrite");
        H5Dclose(d);
    }
    H5Sclose(sp);
}

// Fixed-length strings, one per element of `v`.
static void dataset_strings(hid_t loc, const char *name, const std::vector<std::string> &v)
{
    size_t len = 1;
    bool utf8 = true;
    for (const std::string &s : v)
        len = std::max(len, s.size()), utf8 = utf8 && valid_utf8(s);
    std::vector<char> buf(len * v.size(), 0);
    for (size_t i = 0; i < v.size(); i++)
        memcpy(buf.data() + i * len, v[i].data(), v[i].size());
    hid_t t = fixed_string(len, utf8);
    hsize_t n = v.size();
    dataset_fixed(loc, name, t, 1, &n, buf.data());
    H5Tclose(t);
}

// ---- Columns ----------------------------------------------------------------------------

static const float NAN_F = std::numeric_limits<float>::quiet_NaN();
static const double NAN_D = std::numeric_limits<double>::quiet_NaN();
static const uint64_t ZERO[4] = {0, 0, 0, 0};

// Events per chunk of the per-event columns that are not image frames.
static uint64_t scalar_chunk_cap = 1;
// Events of the run: no chunk needs to hold more (a short run gets small
// chunks instead of megabytes of fill value).
static uint64_t run_events_cap = 1;

static int column(hid_t loc, const char *name, hid_t type, int rank, const hsize_t *inner,
                  size_t event_bytes, const void *fill, uint64_t cap)
{
    uint64_t events = std::min(chunk_events_for(event_bytes, cap), run_events_cap);
    int c = column_create(loc, name, type, rank, inner, events, fill);
    if (c < 0 && layout_error.empty())
        layout_error = chunks_error();
    return c;
}

static int column_scalar(hid_t loc, const char *name, hid_t type, const void *fill)
{
    return column(loc, name, type, 0, nullptr, H5Tget_size(type), fill, scalar_chunk_cap);
}

// Bytes per event of all columns that are not spectra or images.
static uint64_t scalar_bytes_per_event(const Run &run)
{
    uint64_t b = 4 * 4 + 8 + 1 + 8 + run.iso_len + run.type_len;
    for (const Channel &ch : run.channels) {
        b += 1 + (run.status_columns ? 8 : 0);
        if (ch.kind == KIND_VALUE || ch.kind == KIND_MARKER)
            b += 4;
        if (ch.kind == KIND_BLOCK)
            b += 4 * (uint64_t)std::max<size_t>(ch.items.size(), (size_t)ch.survey.max_items);
    }
    return b;
}

static void event_group(Run &run, hid_t entry)
{
    hid_t g = group_new(entry, "event", nullptr);
    if (g < 0)
        return;
    EventColumns &c = event_columns;
    c.id = column_scalar(g, "id", H5T_STD_U32LE, ZERO);
    c.time_s = column_scalar(g, "time_s", H5T_STD_U32LE, ZERO);
    c.time_us = column_scalar(g, "time_us", H5T_STD_U32LE, ZERO);
    c.time = column_scalar(g, "time", H5T_IEEE_F64LE, &NAN_D);
    std::vector<char> blank(std::max(run.iso_len, run.type_len), 0);
    hid_t iso = fixed_string(run.iso_len, true);
    c.time_iso = column_scalar(g, "time_iso", iso, blank.data());
    H5Tclose(iso);
    if (run.dialect == DIALECT_TAB) {
        hid_t tn = fixed_string(run.type_len, true);
        c.type_name = column_scalar(g, "type_name", tn, blank.data());
        H5Tclose(tn);
    }
    if (run.status_columns)
        c.status = column_scalar(g, "status", H5T_STD_I32LE, ZERO);
    c.complete = column_scalar(g, "complete", H5T_STD_U8LE, ZERO);
    c.line = column_scalar(g, "line", H5T_STD_U64LE, ZERO);
    if (c.time >= 0)
        attr_text(column_dataset(c.time), "units", "s");
    if (c.time_us >= 0)
        attr_text(column_dataset(c.time_us), "units", "us");
    if (c.time_s >= 0)
        attr_text(column_dataset(c.time_s), "units", "s");
    H5Gclose(g);
}

static void channel_table(const Run &run, hid_t entry)
{
    hid_t g = group_new(entry, "channel_table", nullptr);
    if (g < 0)
        return;
    std::vector<std::string> title, group, kind;
    for (const Channel &ch : run.channels) {
        title.push_back(ch.title);
        group.push_back(ch.group);
        kind.push_back(kind_name(ch.kind));
    }
    dataset_strings(g, "title", title);
    dataset_strings(g, "group", group);
    dataset_strings(g, "kind", kind);
    H5Gclose(g);
}

// ---- Channel groups ---------------------------------------------------------------------

// Opens (or makes, as NXcollections) the groups above a channel's group
// and creates the channel's own group.
static hid_t channel_group_new(hid_t channels, const std::string &path, const char *nx_class)
{
    size_t from = 0;
    hid_t loc = H5Gopen2(channels, ".", H5P_DEFAULT);
    for (;;) {
        size_t slash = path.find('/', from);
        std::string part = path.substr(from, slash == std::string::npos ? slash : slash - from);
        hid_t next;
        if (slash == std::string::npos)
            next = group_new(loc, part.c_str(), nx_class);
        else if (H5Lexists(loc, part.c_str(), H5P_DEFAULT) > 0)
            next = check(H5Gopen2(loc, part.c_str(), H5P_DEFAULT), "H5Gopen2");
        else
            next = group_new(loc, part.c_str(), "NXcollection");
        H5Gclose(loc);
        if (next < 0 || slash == std::string::npos)
            return next;
        loc = next;
        from = slash + 1;
    }
}

static const char *source_format(const Channel &ch)
{
    bool intf = ch.survey.int_form;
    switch (ch.kind) {
    case KIND_VALUE: return intf ? "integer form" : "%f";
    case KIND_BLOCK: return intf ? "integer form" : "%.2e";
    case KIND_SPECTRUM: return intf ? "integer form" : "%.e";
    case KIND_IMAGE: return "%d";
    default: return nullptr;
    }
}

static void channel_attributes(const Channel &ch, hid_t g)
{
    attr_text(g, "title", ch.title);
    attr_text(g, "kind", kind_name(ch.kind));
    if (const char *f = source_format(ch))
        attr_text(g, "source_format", f);
    if (!ch.units.empty())
        attr_text(g, "units", ch.units);
    if (!ch.long_name.empty())
        attr_text(g, "long_name", ch.long_name);
}

// NXdata of a value or marker: the data plotted against the event id.
static void per_event_data(const Run &run, Channel &ch, hid_t g, hid_t file)
{
    bool value = ch.kind == KIND_VALUE;
    ch.col_data = column_scalar(g, "data", value ? H5T_IEEE_F32LE : H5T_STD_U8LE,
                                value ? (const void *)&NAN_F : ZERO);
    check(H5Lcreate_hard(file, "/entry/event/id", g, "id", H5P_DEFAULT, H5P_DEFAULT),
          "H5Lcreate_hard");
    attr_text(g, "signal", "data");
    attr_text(g, "axes", "id");
    if (ch.col_data >= 0 && !ch.units.empty())
        attr_text(column_dataset(ch.col_data), "units", ch.units);
    (void)run;
}

static void block_items(Channel &ch, hid_t g)
{
    hid_t items = group_new(g, "items", "NXcollection");
    if (items < 0)
        return;
    size_t n = ch.survey.nonvn ? (size_t)ch.survey.max_items : ch.items.size();
    std::vector<std::string> dsname, itemname;
    std::vector<std::string> taken;
    for (size_t i = 0; i < n; i++) {
        std::string name = ch.survey.nonvn ? std::to_string(i) : item_dataset_name(ch.items[i]);
        std::string base = name;
        for (int k = 2; std::find(taken.begin(), taken.end(), name) != taken.end(); k++)
            name = base + "~" + std::to_string(k);
        taken.push_back(name);
        ch.col_items.push_back(column_scalar(items, name.c_str(), H5T_IEEE_F32LE, &NAN_F));
        dsname.push_back(name);
        itemname.push_back(ch.survey.nonvn ? std::string() : ch.items[i]);
    }
    H5Gclose(items);
    size_t l1 = 1, l2 = 1;
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
    dataset_fixed(g, "item_names", ct, 1, &dims, buf.data());
    H5Tclose(ct);
    H5Tclose(t1);
    H5Tclose(t2);
}

// The values written of member m at most, and its values in the XML.
static bool spectrum_truncated(const Channel &ch)
{
    for (size_t m = 0; m < ch.xml_spectra.size(); m++) {
        const XmlSpectrum &x = ch.xml_spectra[m];
        int64_t held = x.groups >= 2 ? x.ndata * x.groups : x.ndata;
        int written = m < ch.survey.member_values.size() ? ch.survey.member_values[m] : 0;
        if (written > 0 && held > written)
            return true;
    }
    return false;
}

// x = start + index * inc of each member, when no member has groups.
static void spectrum_axis(const Channel &ch, hid_t g, int M, int V)
{
    if (ch.xml_spectra.empty())
        return;
    for (const XmlSpectrum &x : ch.xml_spectra)
        if (x.groups >= 2)
            return;
    std::vector<float> xs((size_t)M * (size_t)V, NAN_F);
    for (int m = 0; m < M && m < (int)ch.xml_spectra.size(); m++)
        for (int v = 0; v < V; v++)
            xs[(size_t)m * V + v] =
                (float)((double)ch.xml_spectra[m].start + (double)v * ch.xml_spectra[m].inc);
    hsize_t dims[2] = {(hsize_t)M, (hsize_t)V};
    dataset_fixed(g, "x", H5T_IEEE_F32LE, 2, dims, xs.data());
}

static void spectrum_data(Channel &ch, hid_t g)
{
    int M = ch.survey.members, V = ch.survey.values;
    hsize_t inner[2] = {(hsize_t)M, (hsize_t)V};
    size_t per = (size_t)M * (size_t)V * 4;
    ch.col_data = column(g, "data", H5T_IEEE_F32LE, 2, inner, per, &NAN_F, UINT64_MAX);
    ch.col_count = column(g, "count", H5T_STD_I32LE, 1, inner, (size_t)M * 4, ZERO,
                          scalar_chunk_cap);
    if (ch.survey.stats) {
        hsize_t sdims[2] = {(hsize_t)M, 32};
        ch.col_stats = column(g, "stats", H5T_IEEE_F32LE, 2, sdims, (size_t)M * 128, &NAN_F,
                              UINT64_MAX);
    }
    attr_text(g, "signal", "data");
    if (ch.col_data < 0)
        return;
    hid_t d = column_dataset(ch.col_data);
    attr_text(d, "interpretation", "spectrum");
    if (!ch.units.empty())
        attr_text(d, "units", ch.units);
    if (spectrum_truncated(ch)) {
        uint8_t one = 1;
        attr_number(d, "truncated", H5T_STD_U8LE, H5T_NATIVE_UINT8, &one);
    }
    spectrum_axis(ch, g, M, V);
}

static void image_data(Channel &ch, hid_t g)
{
    hid_t type = ch.shape.bytes == 2 ? H5T_STD_U16LE : H5T_STD_U8LE;
    hsize_t inner[2];
    int rank;
    if (ch.shape.width > 0)
        inner[0] = ch.shape.height, inner[1] = ch.shape.width, rank = 2;
    else
        inner[0] = std::max<uint64_t>(ch.survey.pixels, 1), rank = 1;
    size_t per = ch.shape.bytes * (size_t)inner[0] * (rank == 2 ? (size_t)inner[1] : 1);
    ch.col_data = column(g, "data", type, rank, inner, per, ZERO, 1);
    attr_text(g, "signal", "data");
    if (ch.col_data >= 0 && rank == 2)
        attr_text(column_dataset(ch.col_data), "interpretation", "image");
}

static const char *nx_class_of(Kind k)
{
    switch (k) {
    case KIND_NONE: return nullptr;
    case KIND_BLOCK: return "NXcollection";
    default: return "NXdata";
    }
}

static void channel_layout(Run &run, Channel &ch, hid_t channels, hid_t file)
{
    hid_t g = channel_group_new(channels, ch.group, nx_class_of(ch.kind));
    if (g < 0)
        return;
    channel_attributes(ch, g);
    ch.col_present = column_scalar(g, "present", H5T_STD_I8LE, ZERO);
    if (run.status_columns) {
        ch.col_srv = column_scalar(g, "srv_status", H5T_STD_I32LE, ZERO);
        ch.col_chan = column_scalar(g, "chan_status", H5T_STD_I32LE, ZERO);
    }
    switch (ch.kind) {
    case KIND_MARKER:
    case KIND_VALUE: per_event_data(run, ch, g, file); break;
    case KIND_BLOCK: block_items(ch, g); break;
    case KIND_SPECTRUM: spectrum_data(ch, g); break;
    case KIND_IMAGE: image_data(ch, g); break;
    default: break;
    }
    H5Gclose(g);
}

// ---- The file -----------------------------------------------------------------------------

static void root_attributes(const Run &run, hid_t file, const char *version)
{
    attr_text(file, "NX_class", "NXroot");
    attr_text(file, "default", "entry");
    int32_t layout = 1;
    attr_number(file, "layout_version", H5T_STD_I32LE, H5T_NATIVE_INT32, &layout);
    attr_text(file, "creator", std::string("korvel-h5 ") + version);
    attr_text(file, "converter_version", version);
    attr_text(file, "source_table", run.opt.table);
    attr_text(file, "source_dialect", run.dialect == DIALECT_HDF5 ? "hdf5" : "tab");
}

long long layout_create(Run &run, const char *path, const char *version)
{
    layout_error.clear();
    event_columns = EventColumns();
    uint64_t per_event = scalar_bytes_per_event(run);
    scalar_chunk_cap = std::max<uint64_t>(1, CHUNK_MEMORY / per_event);
    run_events_cap = std::max<uint64_t>(1, run.events);
    hid_t file = H5Fcreate(path, H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    if (file < 0) {
        message("%s: cannot create the HDF5 file", path);
        return -1;
    }
    root_attributes(run, file, version);
    hid_t entry = group_new(file, "entry", "NXentry");
    event_group(run, entry);
    channel_table(run, entry);
    hid_t channels = group_new(entry, "channels", "NXcollection");
    const Channel *first_plot = nullptr;
    for (Channel &ch : run.channels) {
        if (channels >= 0 && layout_error.empty())
            channel_layout(run, ch, channels, file);
        if (!first_plot && nx_class_of(ch.kind) && ch.kind != KIND_BLOCK)
            first_plot = &ch;
    }
    if (first_plot && entry >= 0)
        attr_text(entry, "default", "channels/" + first_plot->group);
    if (channels >= 0)
        H5Gclose(channels);
    if (entry >= 0)
        H5Gclose(entry);
    if (!layout_error.empty()) {
        message("%s: cannot lay out the HDF5 file (%s failed)", path, layout_error.c_str());
        H5Fclose(file);
        return -1;
    }
    return file;
}

int layout_close(Run &run, long long file)
{
    if (H5Fclose((hid_t)file) < 0) {
        message("%s: cannot finish the HDF5 file: the file system refused a write",
                run.opt.out.c_str());
        return -1;
    }
    return 0;
}
