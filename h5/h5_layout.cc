// h5_layout.cc - the HDF5 file's groups, attributes and datasets, laid
// out once the survey has decided every channel's kind and sizes.
//
// The layout is a contract (docs/hdf5-layout.md): /entry/event holds one
// element per event, /entry/channel_table one per channel, and
// /entry/channels one group per channel, an NXdata where a viewer can plot
// it. Every per-event dataset is a column of h5_chunks.cc; the datasets
// of fixed size (the channel table, item names, spectrum axes) are written
// at once. This file makes the file, its event columns and every channel's
// group with what all kinds share (present, status columns, attributes);
// the datasets of each kind are made by its row of the kind table
// (h5_kinds.cc) with the helpers declared in h5_kinds.h.
//
// It is done in two steps. First every column is planned on the calling
// thread (its size, name and type, no HDF5 object: plan_columns), so that
// the conversion can fill chunks at once; then the layout job (lay_out)
// makes the groups, datasets and attributes on the thread that writes the
// chunks, before it writes any, while the rows are converted. A layout of
// thousands of datasets takes HDF5 a good part of a short run's time.
//
// Every column has the dimension scale /entry/event/event_id attached on
// its first dimension, and every other dimension a scale of its own
// (member, x, stat, y, pixel, item), so that netCDF readers (xarray with
// h5netcdf) name every dimension; each channel group holds hard links to
// event_id and time, where those readers look for a variable's scales.
// What the conversion learns (the run's first and last event) is written
// by layout_finish once the chunks are out.
#include "h5_kinds.h"

#include <hdf5.h>
#include <hdf5_hl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

// The first HDF5 failure of the layout (later ones follow from it).
static std::string layout_error;

// Notes a failed HDF5 call; returns its argument for chaining.
long long check(long long r, const char *what) {
    if (r < 0 && layout_error.empty())
        layout_error = what;
    return r;
}

// ---- Types and attributes ------------------------------------------------------------

// A fixed-length string type of `len` bytes (at least 1), NUL-padded.
hid_t fixed_string(size_t len, bool utf8) {
    hid_t t = H5Tcopy(H5T_C_S1);
    H5Tset_size(t, std::max<size_t>(len, 1));
    H5Tset_strpad(t, H5T_STR_NULLPAD);
    H5Tset_cset(t, utf8 ? H5T_CSET_UTF8 : H5T_CSET_ASCII);
    return t;
}

// The variable-length string types (UTF-8 and ASCII) and the scalar
// space of the attributes, made once for the thousands of attributes of a
// layout (attr_kit) and let go of when it is done (attr_kit_release).
static struct {
    hid_t text[2] = {-1, -1};  // [utf8]
    hid_t scalar = -1;
} kit;

static hid_t vlen_string(bool utf8) {
    hid_t t = H5Tcopy(H5T_C_S1);
    H5Tset_size(t, H5T_VARIABLE);
    H5Tset_cset(t, utf8 ? H5T_CSET_UTF8 : H5T_CSET_ASCII);
    return t;
}

// The string type of a scalar text attribute; kit.scalar is made with it.
static hid_t attr_kit(bool utf8) {
    if (kit.text[utf8] < 0)
        kit.text[utf8] = vlen_string(utf8);
    if (kit.scalar < 0)
        kit.scalar = H5Screate(H5S_SCALAR);
    return kit.text[utf8];
}

static void attr_kit_release() {
    for (hid_t &t : kit.text)
        if (t >= 0)
            H5Tclose(t), t = -1;
    if (kit.scalar >= 0)
        H5Sclose(kit.scalar), kit.scalar = -1;
}

// A scalar attribute holding a variable-length string.
void attr_text(hid_t obj, const char *name, const std::string &value) {
    hid_t t = attr_kit(valid_utf8(value));
    hid_t a = check(H5Acreate2(obj, name, t, kit.scalar, H5P_DEFAULT, H5P_DEFAULT), "H5Acreate2");
    const char *s = value.c_str();
    if (a >= 0) {
        check(H5Awrite(a, t, &s), "H5Awrite");
        H5Aclose(a);
    }
}

// A scalar numeric attribute of file type `type` from memory type `mem`.
static void attr_number(hid_t obj, const char *name, hid_t type, hid_t mem, const void *v) {
    attr_kit(true);
    hid_t a =
        check(H5Acreate2(obj, name, type, kit.scalar, H5P_DEFAULT, H5P_DEFAULT), "H5Acreate2");
    if (a >= 0) {
        check(H5Awrite(a, mem, v), "H5Awrite");
        H5Aclose(a);
    }
}

// A one-dimensional attribute of variable-length strings (NeXus @axes).
void attr_texts(hid_t obj, const char *name, const std::vector<std::string> &values) {
    hid_t t = attr_kit(true);
    hsize_t n = values.size();
    hid_t sp = H5Screate_simple(1, &n, nullptr);
    std::vector<const char *> ptrs;
    for (const std::string &v : values)
        ptrs.push_back(v.c_str());
    hid_t a = check(H5Acreate2(obj, name, t, sp, H5P_DEFAULT, H5P_DEFAULT), "H5Acreate2");
    if (a >= 0) {
        check(H5Awrite(a, t, ptrs.data()), "H5Awrite");
        H5Aclose(a);
    }
    H5Sclose(sp);
}

void attr_u8(hid_t obj, const char *name, uint8_t v) {
    attr_number(obj, name, H5T_STD_U8LE, H5T_NATIVE_UINT8, &v);
}

// Group creation properties of the layout (see group_plist_new).
static hid_t group_plist = H5P_DEFAULT;

// A channel group holds up to a dozen attributes, /entry eleven. Past
// eight HDF5 moves an object's attributes out of its header into a heap
// and a B-tree of their own, which made creating them half the cost of
// the attributes of the whole layout; kept in the header they read back
// the same (by name, as before). Returns the list, or H5P_DEFAULT.
static hid_t group_plist_new() {
    hid_t gcpl = H5Pcreate(H5P_GROUP_CREATE);
    if (gcpl >= 0 && H5Pset_attr_phase_change(gcpl, 32, 24) >= 0)
        return gcpl;
    if (gcpl >= 0)
        H5Pclose(gcpl);
    return H5P_DEFAULT;
}

hid_t group_new(hid_t loc, const char *name, const char *nx_class) {
    hid_t g = check(H5Gcreate2(loc, name, H5P_DEFAULT, group_plist, H5P_DEFAULT), "H5Gcreate2");
    if (g >= 0 && nx_class)
        attr_text(g, "NX_class", nx_class);
    return g;
}

// A dataset of fixed shape written at once from `data`; returns it open
// (the caller closes it), or -1.
hid_t dataset_fixed_open(hid_t loc, const char *name, hid_t type, int rank, const hsize_t *dims,
                         const void *data) {
    hid_t sp = H5Screate_simple(rank, dims, nullptr);
    hid_t d =
        check(H5Dcreate2(loc, name, type, sp, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "H5Dcreate2");
    bool empty = H5Sget_simple_extent_npoints(sp) == 0;
    if (d >= 0 && !empty)
        check(H5Dwrite(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data), "H5Dwrite");
    H5Sclose(sp);
    return d;
}

static void dataset_fixed(hid_t loc, const char *name, hid_t type, int rank, const hsize_t *dims,
                          const void *data) {
    hid_t d = dataset_fixed_open(loc, name, type, rank, dims, data);
    if (d >= 0)
        H5Dclose(d);
}

// ---- Dimension scales -------------------------------------------------------------------

// /entry/event/event_id once it exists: every column made after it gets it
// attached on its first dimension.
static hid_t event_scale = -1;
// /entry/event/time and /entry/event/id, held likewise: every channel
// group links to them by handle, not by their path from the root.
static hid_t event_time = -1, event_ident = -1;

void attach(hid_t dset, hid_t scale, unsigned dim) {
    if (dset >= 0 && scale >= 0)
        check(H5DSattach_scale(dset, scale, dim), "H5DSattach_scale");
}

// H5DSattach_scale keeps a scale's REFERENCE_LIST (one entry per dataset
// it is attached to) by reading it, adding one entry and writing it anew:
// for the event scale, attached to thousands of datasets, that costs
// quadratic time, and file space for every copy left behind. So after each
// attach of the event scale its list (then one entry) is read and removed,
// and the whole list is written once, in the element type H5DS chose,
// when the layout is done.
static struct {
    hid_t type = -1;  // the list's element type
    size_t size = 0;  // its bytes
    std::vector<unsigned char> entries;
} event_refs;

static void attach_event_scale(hid_t dset) {
    if (dset < 0 || event_scale < 0 ||
        check(H5DSattach_scale(dset, event_scale, 0), "H5DSattach_scale") < 0)
        return;
    hid_t a = check(H5Aopen(event_scale, "REFERENCE_LIST", H5P_DEFAULT), "H5Aopen");
    if (a < 0)
        return;
    hid_t sp = H5Aget_space(a);
    bool one = H5Sget_simple_extent_npoints(sp) == 1;
    H5Sclose(sp);
    if (event_refs.type < 0) {
        event_refs.type = H5Aget_type(a);
        event_refs.size = H5Tget_size(event_refs.type);
    }
    size_t at = event_refs.entries.size();
    event_refs.entries.resize(at + event_refs.size);
    if (!one || check(H5Aread(a, event_refs.type, event_refs.entries.data() + at), "H5Aread") < 0)
        event_refs.entries.resize(at), check(-1, "REFERENCE_LIST");
    H5Aclose(a);
    check(H5Adelete(event_scale, "REFERENCE_LIST"), "H5Adelete");
}

// The event scale's REFERENCE_LIST, whole.
static void write_event_refs() {
    if (event_refs.type >= 0 && event_scale >= 0 && layout_error.empty()) {
        hsize_t n = event_refs.entries.size() / event_refs.size;
        hid_t sp = H5Screate_simple(1, &n, nullptr);
        hid_t a = check(H5Acreate2(event_scale, "REFERENCE_LIST", event_refs.type, sp, H5P_DEFAULT,
                                   H5P_DEFAULT),
                        "H5Acreate2");
        if (a >= 0) {
            check(H5Awrite(a, event_refs.type, event_refs.entries.data()), "H5Awrite");
            H5Aclose(a);
        }
        H5Sclose(sp);
    }
    if (event_refs.type >= 0)
        H5Tclose(event_refs.type);
    event_refs.type = -1;
    event_refs.entries.clear();
}

// A dimension scale `name` of n elements 0, 1, ... of `type` (int32 or
// uint32); returns it open, or -1.
hid_t index_scale(hid_t loc, const char *name, hid_t type, uint64_t n) {
    std::vector<uint32_t> v((size_t)n);
    for (uint64_t k = 0; k < n; k++)
        v[(size_t)k] = (uint32_t)k;
    hsize_t dims = n;
    hid_t d = dataset_fixed_open(loc, name, type, 1, &dims, v.data());
    if (d >= 0)
        check(H5DSset_scale(d, name), "H5DSset_scale");
    return d;
}

void close_all(std::initializer_list<hid_t> ids) {
    for (hid_t id : ids)
        if (id >= 0)
            H5Dclose(id);
}

// Fixed-length strings, one per element of `v`.
static void dataset_strings(hid_t loc, const char *name, const std::vector<std::string> &v) {
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

static const double NAN_D = std::numeric_limits<double>::quiet_NaN();

// Events per chunk of the per-event columns that are not image frames:
// what keeps the chunks being filled within CHUNK_MEMORY together.
static uint64_t scalar_chunk_cap = 1;
// Events of the run: no chunk needs to hold more (a short run gets small
// chunks instead of megabytes of fill value).
static uint64_t run_events_cap = 1;

// Events per chunk of a column of `event_bytes` per event (a frame: one).
static uint64_t chunk_events_of(size_t event_bytes, bool frame) {
    uint64_t cap = frame ? 1 : scalar_chunk_cap;
    return std::min(chunk_events_for(event_bytes, cap), run_events_cap);
}

int column(const std::string &path, hid_t type, int rank, const hsize_t *inner, size_t event_bytes,
           const void *fill, bool frame) {
    uint64_t events = chunk_events_of(event_bytes, frame);
    int c = column_plan(path.c_str(), type, rank, inner, events, fill);
    if (c < 0 && layout_error.empty())
        layout_error = chunks_error();
    return c;
}

int column_scalar(const std::string &path, hid_t type, const void *fill) {
    return column(path, type, 0, nullptr, H5Tget_size(type), fill, false);
}

hid_t column_made(hid_t loc, int col) {
    if (col < 0 || loc < 0)
        return -1;
    if (column_make(loc, col) < 0) {
        if (layout_error.empty())
            layout_error = chunks_error();
        return -1;
    }
    hid_t d = column_dataset(col);
    attach_event_scale(d);
    return d;
}

// Bytes per event of all columns but image frames: the event columns,
// each channel's present and status, values, block items and spectra
// with their counts and statistics.
static uint64_t scalar_bytes_per_event(const Run &run) {
    uint64_t b = 5 * 4 + 8 + 1 + 8 + run.iso_len + run.type_len;
    for (const Channel &ch : run.channels) {
        b += 1 + (run.status_columns ? 8 : 0);
        if (kind_info(ch.kind).column_bytes)
            b += kind_info(ch.kind).column_bytes(ch);
    }
    return b;
}

// Units and long names of the event times.
static void time_attributes(const EventColumns &c) {
    if (c.time >= 0) {
        attr_text(column_dataset(c.time), "units", "seconds since 1970-01-01 00:00:00 UTC");
        attr_text(column_dataset(c.time), "long_name", "event time");
    }
    if (c.time_us >= 0)
        attr_text(column_dataset(c.time_us), "units", "us");
    if (c.time_s >= 0)
        attr_text(column_dataset(c.time_s), "units", "s");
}

// The event columns, planned in /entry/event.
static void event_columns(Run &run) {
    EventColumns &c = run.event_columns;
    const std::string g = "/entry/event/";
    c.event_id = column_scalar(g + "event_id", H5T_STD_U32LE, ZERO);
    c.id = column_scalar(g + "id", H5T_STD_U32LE, ZERO);
    c.time_s = column_scalar(g + "time_s", H5T_STD_U32LE, ZERO);
    c.time_us = column_scalar(g + "time_us", H5T_STD_U32LE, ZERO);
    c.time = column_scalar(g + "time", H5T_IEEE_F64LE, &NAN_D);
    std::vector<char> blank(std::max(run.iso_len, run.type_len), 0);
    hid_t iso = fixed_string(run.iso_len, true);
    c.time_iso = column_scalar(g + "time_iso", iso, blank.data());
    H5Tclose(iso);
    if (run.dialect == DIALECT_TAB) {
        hid_t tn = fixed_string(run.type_len, true);
        c.type_name = column_scalar(g + "type_name", tn, blank.data());
        H5Tclose(tn);
    }
    if (run.status_columns)
        c.status = column_scalar(g + "status", H5T_STD_I32LE, ZERO);
    c.complete = column_scalar(g + "complete", H5T_STD_U8LE, ZERO);
    c.line = column_scalar(g + "line", H5T_STD_U64LE, ZERO);
}

// A handle of the layout's own on an event column, held until the layout
// is done (closed in lay_out), whatever the columns do with theirs.
static hid_t held_open(hid_t g, int col, const char *name) {
    return col < 0 ? -1 : check(H5Dopen2(g, name, H5P_DEFAULT), "H5Dopen2");
}

static void event_group(const Run &run, hid_t entry) {
    hid_t g = group_new(entry, "event", nullptr);
    if (g < 0)
        return;
    const EventColumns &c = run.event_columns;
    column_made(g, c.event_id);
    if ((event_scale = held_open(g, c.event_id, "event_id")) >= 0) {
        check(H5DSset_scale(event_scale, "event_id"), "H5DSset_scale");
        attr_text(event_scale, "long_name", "event id");
    }
    column_made(g, c.id);
    event_ident = held_open(g, c.id, "id");
    for (int col : {c.time_s, c.time_us, c.time})
        column_made(g, col);
    event_time = held_open(g, c.time, "time");
    for (int col : {c.time_iso, c.type_name, c.status, c.complete, c.line})
        column_made(g, col);
    time_attributes(c);
    H5Gclose(g);
    check(columns_close_idle(), "H5Dclose");
}

static void channel_table(const Run &run, hid_t entry) {
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
static hid_t channel_group_new(hid_t channels, const std::string &path, const char *nx_class) {
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

// What the table's number formats kept of the channel's values.
static void precision_attributes(const Channel &ch, hid_t g) {
    const Precision &p = ch.precision;
    const ChannelExtra &x = extra_of(ch);
    attr_text(g, "source_format", p.source_format);
    attr_u8(g, "exact", p.exact ? 1 : 0);
    attr_u8(g, "lossy", p.lossy ? 1 : 0);
    if (p.lossy)
        attr_text(g, "lossy_evidence", x.evidence);
    if (p.eqdata)
        attr_u8(g, "eqdata", 1);
}

static bool precision_late = false;
// A column made late (column_late) failed: the file is not finished.
static std::string late_failure;

bool one_walk_layout() {
    return precision_late;
}

static void channel_attributes(const Channel &ch, hid_t g) {
    attr_text(g, "title", ch.title);
    attr_text(g, "kind", kind_name(ch.kind));
    const ChannelExtra &x = extra_of(ch);
    if (!x.units.empty())
        attr_text(g, "units", x.units);
    if (!x.long_name.empty())
        attr_text(g, "long_name", x.long_name);
    if (!precision_late)
        precision_attributes(ch, g);
}

// A hard link `name` in g to the object `obj` is open on.
static void link_to(hid_t obj, hid_t g, const char *name) {
    check(obj < 0 ? -1 : H5Olink(obj, g, name, H5P_DEFAULT, H5P_DEFAULT), "H5Olink");
}

// The event id scale and the event time, where netCDF readers look for
// the scales of the group's variables.
void event_links(hid_t g) {
    link_to(event_scale, g, "event_id");
    link_to(event_time, g, "time");
}

void event_id_link(hid_t g) {
    link_to(event_ident, g, "id");
}

// Units and a long name on a signal dataset, from the XML description
// (the title when it has no description), and its time coordinate.
void signal_attributes(const Channel &ch, hid_t d) {
    if (d < 0)
        return;
    const ChannelExtra &x = extra_of(ch);
    if (!x.units.empty())
        attr_text(d, "units", x.units);
    attr_text(d, "long_name", x.long_name.empty() ? ch.title : x.long_name);
    attr_text(d, "coordinates", "time");
}

// The channel's columns, planned in its group.
static void channel_columns(const Run &run, Channel &ch) {
    std::string g = "/entry/channels/" + ch.group + "/";
    ch.col_present = column_scalar(g + "present", H5T_STD_I8LE, ZERO);
    if (run.status_columns) {
        ch.col_srv = column_scalar(g + "srv_status", H5T_STD_I32LE, ZERO);
        ch.col_chan = column_scalar(g + "chan_status", H5T_STD_I32LE, ZERO);
    }
    if (kind_info(ch.kind).columns)
        kind_info(ch.kind).columns(ch, g);
}

static void channel_layout(const Channel &ch, hid_t channels, hid_t file) {
    const KindInfo &kind = kind_info(ch.kind);
    hid_t g = channel_group_new(channels, ch.group, kind.nx_class);
    if (g < 0)
        return;
    channel_attributes(ch, g);
    event_links(g);
    for (int col : {ch.col_present, ch.col_srv, ch.col_chan})
        column_made(g, col);
    if (kind.layout)
        kind.layout(ch, g, file);
    H5Gclose(g);
}

static void root_attributes(const Run &run, hid_t file, const char *version) {
    attr_text(file, "NX_class", "NXroot");
    attr_text(file, "default", "entry");
    int32_t layout = 2;
    attr_number(file, "layout_version", H5T_STD_I32LE, H5T_NATIVE_INT32, &layout);
    attr_text(file, "creator", std::string("korvel-h5 ") + version);
    attr_text(file, "converter_version", version);
    attr_text(file, "source_table", run.opt.table);
    attr_text(file, "source_dialect", run.dialect == DIALECT_HDF5 ? "hdf5" : "tab");
}

// The channel a viewer opens first: the first channel of the kind the
// kind table prefers most for it.
static const Channel *default_channel(const Run &run) {
    const Channel *best = nullptr;
    for (const Channel &ch : run.channels) {
        int v = kind_info(ch.kind).viewer;
        if (v > 0 && (!best || v < kind_info(best->kind).viewer))
            best = &ch;
    }
    return best;
}

// HDF5's metadata cache (object headers, B-tree nodes, heaps) is sized by
// its entries' bytes in the file and resizes itself up to 32 MiB, but in
// memory an entry costs many times that: some 16 KB a dataset, most of it
// the B-tree node that indexes its chunks, where the cache counts a few
// hundred bytes. With the default cache a table of 1 000 value channels
// held 30 MB in it, one of 50 000 some 120 MB. At 128 KiB the heap stays
// near 10 MB, and as each dataset is created and written once and rarely
// looked at again, the run is no slower (bench/wide_memory.sh).
static const size_t METADATA_CACHE = 128u << 10;

// Keeps the file's metadata cache at METADATA_CACHE. Returns H5Pset_mdc_config's result.
static herr_t bound_metadata_cache(hid_t fapl) {
    H5AC_cache_config_t mdc;
    mdc.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    if (H5Pget_mdc_config(fapl, &mdc) < 0)
        return -1;
    mdc.set_initial_size = true;
    mdc.initial_size = METADATA_CACHE;
    mdc.max_size = METADATA_CACHE;
    mdc.min_size = std::min(mdc.min_size, METADATA_CACHE);
    return H5Pset_mdc_config(fapl, &mdc);
}

// The file is written with the object headers of HDF5 1.8 (readable by
// every HDF5 since then): their dense attribute storage lets event_id's
// REFERENCE_LIST, one entry per dataset it is attached to, grow beyond
// the 64 KiB that the oldest headers hold.
static hid_t file_create(const char *path) {
    hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    if (fapl < 0)
        return -1;
    hid_t file = -1;
    if (bound_metadata_cache(fapl) >= 0 &&
        H5Pset_libver_bounds(fapl, H5F_LIBVER_V18, H5F_LIBVER_V18) >= 0)
        file = H5Fcreate(path, H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    H5Pclose(fapl);
    return file;
}

// /entry/channels and a group for every channel (until an interrupt),
// and the channel a viewer opens first.
static void channel_groups(const Run &run, hid_t entry, hid_t file) {
    hid_t channels = group_new(entry, "channels", "NXcollection");
    for (const Channel &ch : run.channels)
        if (channels >= 0 && layout_error.empty() && !interrupted()) {
            channel_layout(ch, channels, file);
            // Done with the channel's datasets: those that do not stay open
            // are closed (an open dataset costs HDF5 about 20 KB).
            check(columns_close_idle(), "H5Dclose");
        }
    if (const Channel *first = default_channel(run))
        if (entry >= 0)
            attr_text(entry, "default", "channels/" + first->group);
    if (channels >= 0)
        H5Gclose(channels);
}

// Every per-event column of the run, planned: the conversion fills them
// while the layout job makes their datasets.
static void plan_columns(Run &run) {
    run.event_columns = EventColumns();
    scalar_chunk_cap = std::max<uint64_t>(1, CHUNK_MEMORY / scalar_bytes_per_event(run));
    run_events_cap = std::max<uint64_t>(1, run.events);
    // Every channel has its `present` and (but for kind none) its data
    // column, and two status columns when the table has them; other kinds
    // have more, and the list grows past this for them.
    size_t per_channel = 2 + (run.status_columns ? 2 : 0);
    check(columns_reserve(run.channels.size() * per_channel), "memory");
    event_columns(run);
    for (Channel &ch : run.channels)
        if (layout_error.empty())
            channel_columns(run, ch);
}

// What the layout job works on: the run (which it only reads; the
// conversion writes other members meanwhile), the file, and why it failed.
static struct {
    const Run *run = nullptr;
    hid_t file = -1;
    const char *version = "";
    std::string why;
} lay_out_of;

// Why the layout failed, from the first HDF5 call that did.
static const char *lay_out_failure() {
    lay_out_of.why = "cannot lay out the HDF5 file (" + layout_error + " failed)";
    return lay_out_of.why.c_str();
}

// The layout job: every group, dataset and attribute of the file but the
// few the conversion learns. Returns null, or why it failed.
static const char *lay_out(void *) {
    const Run &run = *lay_out_of.run;
    hid_t file = lay_out_of.file;
    group_plist = group_plist_new();
    root_attributes(run, file, lay_out_of.version);
    hid_t entry = group_new(file, "entry", "NXentry");
    event_group(run, entry);
    channel_table(run, entry);
    channel_groups(run, entry, file);
    if (entry >= 0)
        H5Gclose(entry);
    write_event_refs();
    if (group_plist != H5P_DEFAULT)
        H5Pclose(group_plist);
    group_plist = H5P_DEFAULT;
    close_all({event_scale, event_time, event_ident});
    event_scale = event_time = event_ident = -1;
    attr_kit_release();
    if (layout_error.empty())
        return interrupted() ? "interrupted" : nullptr;  // a wide run's layout stops early
    return lay_out_failure();
}

long long layout_create(Run &run, const char *path, const char *version) {
    layout_error.clear();
    event_scale = event_time = event_ident = -1;
    errno = 0;
    hid_t file = file_create(path);
    if (file < 0) {
        message("%s: cannot create the HDF5 file%s%s", path, errno ? ": " : "",
                errno ? strerror(errno) : "");
        return -1;
    }
    precision_late = run.one_walk;
    late_failure.clear();
    plan_columns(run);
    lay_out_of.run = &run, lay_out_of.file = file, lay_out_of.version = version;
    if (layout_error.empty() && chunks_lay_out(lay_out, nullptr) == 0)
        return file;
    if (!interrupted())
        message("%s: %s", path, layout_error.empty() ? chunks_error() : lay_out_failure());
    H5Fclose(file);
    return -1;
}

// ---- What the conversion learnt -----------------------------------------------------------

// ISO 8601 UTC with microseconds, "2023-11-14T22:13:20.000000Z".
static std::string iso_time(uint32_t s, uint32_t us) {
    time_t t = (time_t)s + (time_t)(us / 1000000);
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[64];
    size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    snprintf(buf + n, sizeof buf - n, ".%06uZ", (unsigned)(us % 1000000));
    return buf;
}

// The run's key: --run, else the table's file name without its directory
// and its last extension.
static std::string run_name(const Run &run) {
    if (!run.opt.run_name.empty())
        return run.opt.run_name;
    std::string base = run.opt.table.substr(run.opt.table.rfind('/') + 1);
    size_t dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

static void run_metadata(const Run &run, hid_t entry) {
    attr_text(entry, "run", run_name(run));
    attr_text(entry, "source_table", run.opt.table);
    uint64_t counts[3] = {run.events, run.cut_events, run.channels.size()};
    const char *names[3] = {"events", "cut_rows", "channels"};
    for (int k = 0; k < 3; k++)
        attr_number(entry, names[k], H5T_STD_U64LE, H5T_NATIVE_UINT64, &counts[k]);
    if (run.events == 0)
        return;
    attr_number(entry, "first_event_id", H5T_STD_U32LE, H5T_NATIVE_UINT32, &run.first_id);
    attr_number(entry, "last_event_id", H5T_STD_U32LE, H5T_NATIVE_UINT32, &run.last_id);
    attr_text(entry, "start_time", iso_time(run.first_s, run.first_us));
    attr_text(entry, "end_time", iso_time(run.last_s, run.last_us));
}

hid_t column_late(const std::string &group, const std::string &name, hid_t type, const void *fill,
                  int *col) {
    if (!late_failure.empty())
        return -1;
    hid_t file = lay_out_of.file, d = -1;
    // Alone in HDF5 from here on: the layout job has made the group.
    if (chunks_wait_idle() < 0) {
        late_failure = chunks_error();
        return -1;
    }
    hid_t g = H5Gopen2(file, group.c_str(), H5P_DEFAULT);
    uint64_t events = chunk_events_of(H5Tget_size(type), false);
    *col = g < 0 ? -1 : column_create(g, name.c_str(), type, 0, nullptr, events, fill);
    hid_t scale = H5Dopen2(file, "/entry/event/event_id", H5P_DEFAULT);
    if (*col >= 0 && scale >= 0)
        d = column_dataset(*col);
    if (d >= 0 && H5DSattach_scale(d, scale, 0) < 0)
        d = -1;
    if (d < 0)
        late_failure =
            "cannot make the dataset " + group + "/" + name + " of an item first seen late";
    close_all({scale});
    if (g >= 0)
        H5Gclose(g);
    return d;
}

// What the one walk learnt: each channel's precision attributes and what
// its kind writes at the end.
static void late_precision(const Run &run, hid_t file) {
    for (const Channel &ch : run.channels) {
        if (!layout_error.empty())
            return;
        std::string path = "/entry/channels/" + ch.group;
        hid_t g = check(H5Gopen2(file, path.c_str(), H5P_DEFAULT), "H5Gopen2");
        if (g < 0)
            return;
        precision_attributes(ch, g);
        if (kind_info(ch.kind).finish)
            kind_info(ch.kind).finish(ch, g);
        H5Gclose(g);
    }
}

int layout_finish(Run &run, long long file) {
    layout_error.clear();
    hid_t entry = check(H5Gopen2((hid_t)file, "/entry", H5P_DEFAULT), "H5Gopen2");
    if (entry >= 0) {
        run_metadata(run, entry);
        H5Gclose(entry);
    }
    if (run.one_walk)
        late_precision(run, (hid_t)file);
    if (!late_failure.empty() && layout_error.empty()) {
        message("%s: %s", run.opt.out.c_str(), late_failure.c_str());
        late_failure.clear();
        return -1;
    }
    attr_kit_release();
    if (!layout_error.empty()) {
        message("%s: cannot finish the HDF5 file (%s failed)", run.opt.out.c_str(),
                layout_error.c_str());
        return -1;
    }
    // Anything left open would keep the file open past H5Fclose, unwritten.
    ssize_t open = H5Fget_obj_count((hid_t)file, H5F_OBJ_ALL | H5F_OBJ_LOCAL);
    if (open != 1) {
        message("%s: cannot finish the HDF5 file: %zd of its objects are still open",
                run.opt.out.c_str(), open - 1);
        return -1;
    }
    return 0;
}

int layout_close(Run &run, long long file) {
    if (H5Fclose((hid_t)file) < 0) {
        message("%s: cannot finish the HDF5 file: the file system refused a write",
                run.opt.out.c_str());
        return -1;
    }
    return 0;
}
