// korvel_bench.cc - korvel-bench: what the event table's cell writers cost,
// measured side by side with two yardsticks on the same synthetic data.
//
// Every family BM_<kind>[_hdf5] runs three variants:
//   plugin     the plug-in's own cell writer (linked from its objects),
//              driven through a stand-in cursor as the event loop drives it:
//              SetProp and the server-block query for each channel, the
//              cell writer, the separator, then the hand-over of the output
//              buffer to the table stream;
//   reference  the plain writer of reference_cells.cc: the same reader
//              queries, every piece through snprintf and fputs;
//   limit      one fwrite of the finished bytes, computed once.
// All three write into the same file (an unlinked temporary file, or what
// --sink names), each through a stream of its own set up as its writer
// would set it up: the plug-in's as the plug-in sets up its table file, the
// others with a 1 MiB stdio buffer.
// Before anything is timed, the plug-in and the reference are checked
// against cells worked out by hand, and the three variants of every family
// must write identical bytes; any difference ends the program with status 1.
//
// The stand-in's own per-event work for images (binding the event, copying
// the recorded pixels into the fresh buffer GetImage hands out) runs with
// the timer paused: a real reader hands out its buffer as it is.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "korvel_cells.h"
#include "korvel_format.h"
#include "korvel_state.h"
#include "reference_cells.h"
#include "standin.h"
#include "zarn_daq_data.h"

namespace {

// ---- The sink: one file for all variants ----------------------------------

// Bytes written since the stream was last rewound. A stream is rewound
// when this passes kSinkWindow, so the file stays small and its pages stay
// in the page cache: every write costs the same copy into the kernel.
constexpr size_t kSinkWindow = 64u << 20;
// Stream buffer of the reference and limit variants: as large as the
// plug-in's table stream has had, so that the plain writer is not slowed
// by small writes.
constexpr size_t kStreamBuffer = 1u << 20;

struct sink_state {
    int fdn = -1;      // the open sink file
    std::string path;  // what --sink named; empty: an unlinked temp file
};
sink_state sink;

/* Open the sink: the named path, or a temporary file (unlinked at once)
 * in $TMPDIR or /tmp. false with a message on failure. */
bool sink_open() {
    if (sink.path.empty()) {
        const char *dir = getenv("TMPDIR");
        std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/korvel-bench.XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        sink.fdn = mkstemp(name.data());
        if (sink.fdn >= 0)
            unlink(name.data());
    } else {
        sink.fdn = open(sink.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (sink.fdn < 0) {
        fprintf(stderr, "korvel-bench: cannot open the sink: %s\n", strerror(errno));
        return false;
    }
    return true;
}

// One stream on the sink, from the start of the file, for one benchmark run.
struct sink_stream {
    FILE *f = nullptr;
    size_t written = 0;
    std::vector<char> buffer;
};

/* A fresh stream on the sink at offset 0; null with a message on failure. */
FILE *sink_stream_open(sink_stream *s) {
    int d = dup(sink.fdn);
    if (d < 0 || lseek(d, 0, SEEK_SET) < 0 || !(s->f = fdopen(d, "w"))) {
        fprintf(stderr, "korvel-bench: cannot open a stream on the sink: %s\n", strerror(errno));
        if (d >= 0)
            close(d);
        return nullptr;
    }
    s->written = 0;
    return s->f;
}

/* Account for n bytes written; rewind once the window is full. */
inline void sink_advance(sink_stream *s, size_t n) {
    s->written += n;
    if (s->written > kSinkWindow) {
        fseek(s->f, 0, SEEK_SET);
        s->written = 0;
    }
}

// ---- How the plug-in hands its table to the stream -------------------------
//
// The plug-in collects the table's bytes in its output buffer. Depending on
// its version the table stream either has a large stdio buffer of its own
// and receives every event's bytes at the end of the event, or it is
// unbuffered and receives them in large blocks (korvel_format.h then
// defines OUT_HANDOVER). The plugin variant sets up its stream and ends
// each iteration exactly as the plug-in sets up its table file and ends an
// event.
#ifdef OUT_HANDOVER
void plugin_stream_setup(sink_stream *s) {
    out_stream_setup(s->f);
}
inline void plugin_event_end() {
    out_event_end();
}
#else
void plugin_stream_setup(sink_stream *s) {
    s->buffer.resize(kStreamBuffer);
    setvbuf(s->f, s->buffer.data(), _IOFBF, s->buffer.size());
}
inline void plugin_event_end() {
    out_flush();
}
#endif

// ---- Synthetic data --------------------------------------------------------

// splitmix64: a fixed seed gives the same data on every run.
struct rng {
    uint64_t s;
    explicit rng(uint64_t seed) : s(seed) {}
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    uint32_t below(uint32_t n) {
        return (uint32_t)(next() % n);
    }
    // A float of either sign whose decimal exponent is spread over
    // lo..hi: the numbers a channel of physical values carries.
    float spread(int lo, int hi) {
        double m = 1.0 + 9.0 * (double)(next() >> 11) / 9007199254740992.0;
        int e = lo + (int)below((uint32_t)(hi - lo + 1));
        double v = m * std::pow(10.0, e);
        return (float)(next() & 1 ? -v : v);
    }
};

float float_of_bits(int32_t b) {
    float f;
    memcpy(&f, &b, sizeof f);
    return f;
}

enum cell_kind {
    KIND_VALUE,
    KIND_SPECTRUM,
    KIND_IMAGE
};

// One family: a run with its channel table, one event, the plug-in's run
// state for it, and the bytes every variant must write.
struct bench_case {
    std::string name;  // "image16_hdf5"
    cell_kind kind = KIND_VALUE;
    bool hdf5 = false;
    bool conv = false;     // every channel listed with -fti
    bool dallval = false;  // -dumpall
    bool nostat = false;   // -nostat
    int samples = 100;     // spectrum values without -dumpall
    long items = 0;        // pixels or values per iteration

    std::vector<std::string> texts;  // channel texts (no sub-channels here)
    std::unique_ptr<standin::Run> run;
    standin::Event event;
    standin::Cursor cursor;

    // The plug-in's channel table while this family runs.
    std::vector<const char *> names;
    std::vector<int> subs;
    std::vector<int> conv_flags;
    // The reference writer's event-ID lists.
    std::vector<std::vector<int>> ref_evids;

    std::string expected;  // the bytes of one iteration
};

/* The channel table and the run of a family, once its texts are known. */
void finish_case(bench_case &c, int type) {
    standin::RunHeader h;
    for (const std::string &t : c.texts) {
        standin::Channel ch;
        ch.name = t;
        ch.type = type;
        h.channels.push_back(ch);
    }
    c.run = std::make_unique<standin::Run>(h);
    c.names.clear();
    for (const std::string &t : c.texts)
        c.names.push_back(t.c_str());
    c.subs.assign(c.texts.size(), -1);
    c.conv_flags.assign(c.texts.size(), c.conv ? 1 : 0);
    c.ref_evids.assign(c.texts.size(), {});
    c.event.id = 1000;
    c.event.time = {1765190000u, 250000u};
}

// 1024 x 1024 pixels; 16-bit values uniform over 0..65535.
std::unique_ptr<bench_case> make_image(int bpp, bool hdf5) {
    auto c = std::make_unique<bench_case>();
    c->name = std::string(bpp == 1 ? "image8" : "image16") + (hdf5 ? "_hdf5" : "");
    c->kind = KIND_IMAGE;
    c->hdf5 = hdf5;
    c->texts = {"BENCH/CAM.0"};
    finish_case(*c, 4);
    standin::Image img;
    img.bpp = bpp;
    img.width = 1024;
    img.height = 1024;
    img.pixels.resize((size_t)img.width * img.height * bpp);
    rng r(0x1ae5 + bpp);
    for (uint8_t &b : img.pixels)
        b = (uint8_t)r.next();
    c->items = (long)img.width * img.height;
    c->event.add(c->texts[0]).image = std::move(img);
    return c;
}

// 10 members of 1000 values with statistics, every value written
// (-dumpall); with nostat the same without statistics (-nostat), so that
// the values are measured on their own. With fti the values are integers
// carried in a float's bits: mostly counts, some of any size, a few with
// the bits of an infinity or a NaN.
std::unique_ptr<bench_case> make_spectrum(bool fti, bool nostat, bool hdf5) {
    auto c = std::make_unique<bench_case>();
    c->name = std::string(fti      ? "spectrum_fti"
                          : nostat ? "spectrum_nostat"
                                   : "spectrum") +
              (hdf5 ? "_hdf5" : "");
    c->kind = KIND_SPECTRUM;
    c->hdf5 = hdf5;
    c->conv = fti;
    c->dallval = true;
    c->nostat = nostat;
    c->texts = {"BENCH/SPECT.0"};
    finish_case(*c, 3);
    standin::ChannelData &d = c->event.add(c->texts[0]);
    rng r(fti ? 0xf71 : 0x5bec);
    for (int m = 0; m < 10; m++) {
        standin::SpectMember mb;
        mb.start = 0;
        mb.inc = 0.5f;
        mb.values.resize(1000);
        for (float &v : mb.values) {
            uint32_t pick = r.below(1000);
            if (fti)
                v = float_of_bits(pick < 700   ? (int32_t)r.below(100000)
                                  : pick < 995 ? (int32_t)(uint32_t)r.next()
                                               : -(int32_t)r.below(8388608) - 1);
            else
                v = pick == 0 ? INFINITY : pick == 1 ? NAN : r.spread(-6, 8);
        }
        zarn_spect_statistics_2010 st{};
        st.mask = 0x8000000fu;
        for (float &s : st.val)
            s = r.spread(-3, 5);
        mb.stat = st;
        d.members.push_back(std::move(mb));
    }
    c->items = 10 * 1000;
    return c;
}

// One channel with a block of 50 named values.
std::unique_ptr<bench_case> make_namevalue(bool hdf5) {
    auto c = std::make_unique<bench_case>();
    c->name = std::string("namevalue") + (hdf5 ? "_hdf5" : "");
    c->hdf5 = hdf5;
    c->texts = {"BENCH/NV.0"};
    finish_case(*c, 2);
    auto &items = c->event.add(c->texts[0]).items.emplace();
    rng r(0x4e56);
    for (int k = 0; k < 50; k++) {
        char nm[32];
        snprintf(nm, sizeof nm, "param.%02d", k);
        items.push_back({std::string(nm), r.spread(-5, 6)});
    }
    c->items = 50;
    return c;
}

// 1000 channels of one value each.
std::unique_ptr<bench_case> make_single(bool hdf5) {
    auto c = std::make_unique<bench_case>();
    c->name = std::string("single") + (hdf5 ? "_hdf5" : "");
    c->hdf5 = hdf5;
    for (int i = 0; i < 1000; i++) {
        char t[32];
        snprintf(t, sizeof t, "BENCH/VAL.%03d", i);
        c->texts.push_back(t);
    }
    finish_case(*c, 2);
    rng r(0x5167);
    for (const std::string &t : c->texts)
        c->event.add(t).value = r.spread(-3, 5);
    c->items = 1000;
    return c;
}

// ---- Driving the cells -----------------------------------------------------

/* Give the plug-in's run state this family's channel table and options;
 * the table goes to `out`. */
void plugin_select(bench_case &c, FILE *out) {
    nchans = (int)c.texts.size();
    chans = c.names.data();
    subchans = c.subs.data();
    do_conv = c.conv ? c.conv_flags.data() : nullptr;
    spectprms = nullptr;
    opt = opt_at_load;
    opt.hdf5mode = c.hdf5;
    opt.dallval = c.dallval;
    opt.nostat = c.nostat;
    fd = out;
    out_len = 0;
}

/* Position the cursor on the family's event. For images, also have the
 * stand-in make this event's pixel buffer now rather than inside the cell. */
void prepare_event(bench_case &c) {
    c.cursor.bind(*c.run, c.event);
    if (c.kind != KIND_IMAGE)
        return;
    zarn_daq_getdata *d = c.cursor.get();
    for (const std::string &t : c.texts) {
        d->SetProp(t.c_str());
        d->GetImage();
    }
}

// What the loop reads from the server block before a cell is written.
struct block_info {
    unsigned tup = 0, tlow = 0;
    int ltot = 0, mpulse = 0, status = 0, nchan = 0;
};

/* Select channel i and read its server block, as the loop does. */
inline bool select_channel(zarn_daq_getdata *d, const bench_case &c, size_t i, block_info *b) {
    d->SetProp(c.names[i]);
    return d->GetServBlockInfo(&b->tup, &b->tlow, &b->ltot, &b->mpulse, nullptr, &b->status,
                               &b->nchan) == 0;
}

/* Separator after channel i's cell. */
inline char separator(const bench_case &c, size_t i) {
    return i + 1 == c.texts.size() ? '\n' : c.hdf5 ? ',' : '\t';
}

/* The plug-in's cells of every channel; the buffer goes to the stream as
 * at the end of an event. */
void plugin_cells(bench_case &c) {
    zarn_daq_getdata *d = c.cursor.get();
    for (size_t i = 0; i < c.texts.size(); i++) {
        block_info b;
        if (!select_channel(d, c, i, &b))
            continue;
        switch (c.kind) {
        case KIND_VALUE: cell_value(d, (int)i, b.mpulse); break;
        case KIND_SPECTRUM:
            cell_spectrum(d, (int)i, c.event.id, b.mpulse, c.names[i], c.samples);
            break;
        case KIND_IMAGE: cell_image(d, (int)i, b.mpulse); break;
        }
        out_char(separator(c, i));
    }
    plugin_event_end();
}

/* The reference writer's cells of every channel into `out`. */
void reference_cells(bench_case &c, FILE *out) {
    zarn_daq_getdata *d = c.cursor.get();
    for (size_t i = 0; i < c.texts.size(); i++) {
        block_info b;
        if (!select_channel(d, c, i, &b))
            continue;
        ref_channel rc{out, c.hdf5, c.conv, c.dallval, c.nostat, c.samples, &c.ref_evids[i]};
        switch (c.kind) {
        case KIND_VALUE: ref_cell_value(d, rc, b.mpulse, &b.nchan); break;
        case KIND_SPECTRUM: ref_cell_spectrum(d, rc, b.mpulse, &b.nchan); break;
        case KIND_IMAGE: ref_cell_image(d, rc, b.mpulse, &b.tup, &b.tlow, &b.status); break;
        }
        fputc(separator(c, i), out);
    }
}

enum variant {
    PLUGIN,
    REFERENCE,
    LIMIT
};
const char *const variant_names[] = {"plugin", "reference", "limit"};

/* One iteration of a variant into `out` (the event already prepared). */
void run_once(bench_case &c, variant v, FILE *out) {
    switch (v) {
    case PLUGIN: plugin_cells(c); break;
    case REFERENCE: reference_cells(c, out); break;
    case LIMIT: fwrite(c.expected.data(), 1, c.expected.size(), out); break;
    }
}

// ---- Checks before timing --------------------------------------------------

/* What one iteration of variant v writes, captured in memory. */
std::string capture(bench_case &c, variant v) {
    char *mem = nullptr;
    size_t len = 0;
    FILE *m = open_memstream(&mem, &len);
    if (!m) {
        fprintf(stderr, "korvel-bench: open_memstream: %s\n", strerror(errno));
        exit(1);
    }
    plugin_select(c, m);
    prepare_event(c);
    run_once(c, v, m);
    out_flush();
    fd = nullptr;
    fclose(m);
    std::string s(mem, len);
    free(mem);
    return s;
}

/* Where two outputs part, shown with some context; false when they do. */
bool same_bytes(const std::string &what, const std::string &want, const std::string &got) {
    if (want == got)
        return true;
    size_t k = 0;
    while (k < want.size() && k < got.size() && want[k] == got[k])
        k++;
    size_t from = k > 40 ? k - 40 : 0;
    auto show = [&](const std::string &s) {
        std::string t;
        for (size_t j = from; j < s.size() && j < k + 40; j++) {
            char ch = s[j];
            t += ch == '\t'   ? std::string("\\t")
                 : ch == '\n' ? std::string("\\n")
                              : std::string(1, ch);
        }
        return t;
    };
    fprintf(stderr,
            "korvel-bench: %s: output differs at byte %zu (lengths %zu and %zu)\n"
            "  expected: ...%s...\n  got:      ...%s...\n",
            what.c_str(), k, want.size(), got.size(), show(want).c_str(), show(got).c_str());
    return false;
}

// A small cell worked out by hand from the table's rules, for both writers.
struct hand_case {
    std::unique_ptr<bench_case> c;
    const char *want;
};

std::unique_ptr<bench_case> small_case(const char *name, cell_kind kind, int type, bool hdf5) {
    auto c = std::make_unique<bench_case>();
    c->name = name;
    c->kind = kind;
    c->hdf5 = hdf5;
    c->texts = {"HAND"};
    finish_case(*c, type);
    return c;
}

std::vector<hand_case> hand_cases() {
    std::vector<hand_case> v;
    for (int hdf5 = 0; hdf5 < 2; hdf5++) {
        // An 8-bit image with the bytes 0, 17, 128, 255.
        auto c = small_case("image8", KIND_IMAGE, 4, hdf5);
        standin::Image img;
        img.bpp = 1;
        img.width = 2;
        img.height = 2;
        img.pixels = {0, 17, 128, 255};
        c->event.add("HAND").image = img;
        v.push_back({std::move(c), hdf5 ? "[[0 17 128 255]]\n" : "[0\t17\t128\t255\t]\n"});

        // A 16-bit image with the bytes 01 02 FF FE: pixels 258 and 65534.
        c = small_case("image16", KIND_IMAGE, 4, hdf5);
        img.bpp = 2;
        img.width = 2;
        img.height = 1;
        img.pixels = {0x01, 0x02, 0xff, 0xfe};
        c->event.add("HAND").image = img;
        v.push_back({std::move(c), hdf5 ? "[[258 65534]]\n" : "[258\t65534\t]\n"});

        // Two members: 1, 0.5, -2 with statistics 0 and 2; 100, 300 without.
        c = small_case("spectrum", KIND_SPECTRUM, 3, hdf5);
        standin::ChannelData &d = c->event.add("HAND");
        standin::SpectMember m0, m1;
        m0.values = {1.0f, 0.5f, -2.0f};
        zarn_spect_statistics_2010 st{};
        st.mask = 0x5;
        st.val[0] = 1.5f;
        st.val[2] = -2.0f;
        m0.stat = st;
        m1.values = {100.0f, 300.0f};
        d.members = {m0, m1};
        v.push_back(
            {std::move(c),
             hdf5 ? "[[ [0]:1.500000e+00 [2]:-2.000000e+00 1e+00 5e-01 -2e+00][1e+02 3e+02]]\n"
                  : "{[ [0]:1.500000e+00 [2]:-2.000000e+00 1e+00 5e-01 -2e+00]\t[1e+02 3e+02]}\n"});

        // The same with -nostat: no statistics, nor the blank after them.
        c = small_case("spectrum_nostat", KIND_SPECTRUM, 3, hdf5);
        c->nostat = true;
        c->event.add("HAND").members = {m0, m1};
        v.push_back({std::move(c), hdf5 ? "[[1e+00 5e-01 -2e+00][1e+02 3e+02]]\n"
                                        : "{[1e+00 5e-01 -2e+00]\t[1e+02 3e+02]}\n"});

        // The same in integer form: 42, 7, and the bits of an infinity.
        c = small_case("spectrum_fti", KIND_SPECTRUM, 3, hdf5);
        c->conv = true;
        finish_case(*c, 3);
        standin::SpectMember m2;
        m2.values = {float_of_bits(42), float_of_bits(7), float_of_bits(0x7f800000)};
        c->event.add("HAND").members = {m2};
        v.push_back({std::move(c), hdf5 ? "[[42 7 Invalid]]\n" : "{[42 7 Invalid]}\n"});

        // Items x = 1.0 and y = 0.25.
        c = small_case("namevalue", KIND_VALUE, 2, hdf5);
        c->event.add("HAND").items =
            std::vector<standin::Item>{{std::string("x"), 1.0f}, {std::string("y"), 0.25f}};
        v.push_back({std::move(c),
                     hdf5 ? "[[x:1.00e+00][y:2.50e-01]]\n" : "\t{[x:1.00e+00]\t[y:2.50e-01]}\n"});

        // Two single values, 0.5 and 3.25, in one row.
        c = small_case("single", KIND_VALUE, 2, hdf5);
        c->texts = {"HAND", "HAND2"};
        finish_case(*c, 2);
        c->event.add("HAND").value = 0.5f;
        c->event.add("HAND2").value = 3.25f;
        v.push_back(
            {std::move(c), hdf5 ? "[[0.500000]],[[3.250000]]\n" : "0.500000\t\t3.250000\t\n"});
    }
    return v;
}

/* Both writers against the hand-worked cells, then the three variants of
 * every family against each other. false after reporting a difference. */
bool check_outputs(std::vector<std::unique_ptr<bench_case>> &cases) {
    bool ok = true;
    for (hand_case &h : hand_cases()) {
        std::string tag = std::string(h.c->name) + (h.c->hdf5 ? " (HDF5 mode)" : " (tab mode)");
        ok &= same_bytes("hand-worked " + tag + ", plugin", h.want, capture(*h.c, PLUGIN));
        ok &= same_bytes("hand-worked " + tag + ", reference", h.want, capture(*h.c, REFERENCE));
    }
    for (auto &c : cases) {
        c->expected = capture(*c, REFERENCE);
        ok &= same_bytes(c->name + ": plugin vs reference", c->expected, capture(*c, PLUGIN));
        ok &= same_bytes(c->name + ": limit vs reference", c->expected, capture(*c, LIMIT));
    }
    if (out_errno != 0) {
        fprintf(stderr, "korvel-bench: the plug-in's table writes failed: %s\n",
                strerror(out_errno));
        ok = false;
    }
    return ok;
}

// ---- The benchmarks --------------------------------------------------------

void bench_variant(benchmark::State &state, bench_case *c, variant v) {
    sink_stream s;
    if (!sink_stream_open(&s)) {
        state.SkipWithError("cannot open the sink");
        return;
    }
    if (v == PLUGIN) {
        plugin_stream_setup(&s);
    } else {
        s.buffer.resize(kStreamBuffer);
        setvbuf(s.f, s.buffer.data(), _IOFBF, s.buffer.size());
    }
    plugin_select(*c, s.f);
    prepare_event(*c);
    for (auto _ : state) {
        if (c->kind == KIND_IMAGE && v != LIMIT) {
            // The cell changes the host's buffer (16-bit pixels are
            // swapped in place): every iteration gets a fresh event.
            state.PauseTiming();
            prepare_event(*c);
            state.ResumeTiming();
        }
        run_once(*c, v, s.f);
        sink_advance(&s, c->expected.size());
    }
    out_flush();
    fd = nullptr;
    bool failed = out_errno != 0 || ferror(s.f);
    if (fclose(s.f) != 0 || failed)
        state.SkipWithError("writing the sink failed");
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)c->expected.size());
    state.SetItemsProcessed((int64_t)state.iterations() * c->items);
    state.counters["cell_bytes"] = (double)c->expected.size();
}

/* Take our own options out of argv; false on a bad one. */
bool parse_own_options(int *argc, char **argv) {
    int out = 1;
    for (int k = 1; k < *argc; k++) {
        const char *a = argv[k];
        if (strncmp(a, "--sink=", 7) == 0) {
            sink.path = a + 7;
            if (sink.path.empty()) {
                fprintf(stderr, "korvel-bench: --sink needs a path\n");
                return false;
            }
            continue;
        }
        if (strcmp(a, "--help") == 0)
            printf("korvel-bench: the table's cell writers next to a printf writer and a\n"
                   "single fwrite of the same bytes.\n"
                   "  --sink=PATH   write into PATH (default: an unlinked file in $TMPDIR\n"
                   "                or /tmp); /dev/null measures no copy into the kernel\n"
                   "Google Benchmark options follow.\n\n");
        argv[out++] = argv[k];
    }
    *argc = out;
    argv[out] = nullptr;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (!parse_own_options(&argc, argv))
        return 2;
    // 0.25 s per benchmark keeps the whole suite well under a minute; an
    // explicit --benchmark_min_time wins.
    bool own_min_time = true;
    for (int k = 1; k < argc; k++)
        if (strncmp(argv[k], "--benchmark_min_time", 20) == 0)
            own_min_time = false;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    if (!sink_open())
        return 1;

    std::vector<std::unique_ptr<bench_case>> cases;
    for (int hdf5 = 0; hdf5 < 2; hdf5++) {
        cases.push_back(make_image(1, hdf5));
        cases.push_back(make_image(2, hdf5));
        cases.push_back(make_spectrum(false, false, hdf5));
        cases.push_back(make_spectrum(false, true, hdf5));
        cases.push_back(make_spectrum(true, false, hdf5));
        cases.push_back(make_namevalue(hdf5));
        cases.push_back(make_single(hdf5));
    }
    if (!check_outputs(cases)) {
        fprintf(stderr, "korvel-bench: the variants disagree; nothing timed\n");
        return 1;
    }
    for (auto &c : cases)
        for (variant v : {PLUGIN, REFERENCE, LIMIT}) {
            auto *b = benchmark::RegisterBenchmark(
                ("BM_" + c->name + "/" + variant_names[v]).c_str(), bench_variant, c.get(), v);
            b->Unit(benchmark::kMicrosecond);
            if (own_min_time)
                b->MinTime(0.25);
        }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    close(sink.fdn);
    return 0;
}
