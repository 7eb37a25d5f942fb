// synthetic.cc - the synthetic run: the MIX syntax that names its channels
// and the SyntheticSource that makes its events in memory, deterministically
// (a fixed seed) and cheaply (each event changes a few values of the one
// before; the pixel buffer is built once), so that a demo or a benchmark
// measures the plug-in and not the generator.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "host_internal.h"

namespace standin {

const char *const kDefaultMix =
    "marker=1,values=300,namevalue=4x16,spectrum=3x4x1000,image=1x1024x1024x2,eq=2";

const char *const kMixHelp =
    "MIX is a comma-separated list of KIND=SIZE entries, each kind at most once:\n"
    "  marker=N          N channels of data type 1 (no data)\n"
    "  values=N          N single-value channels (data type 2)\n"
    "  namevalue=NxK     N name-value channels of K items each (data type 2)\n"
    "  spectrum=NxMxV    N spectrum channels of M members of V values (type 3)\n"
    "  image=NxWxHxB     N cameras of W x H pixels, B bytes per pixel (type 4)\n"
    "  eq=N              N EqData channels (data type 5)\n"
    "Kinds left out get no channels; an empty MIX gives a run without any.\n"
    "The data is deterministic: the same EVENTS and MIX give the same run.\n";

namespace {

// Bounds that keep a mistyped mix from exhausting the machine.
constexpr long long kMaxSynthChannels = 100000;
constexpr long long kMaxSynthFloats = 1LL << 24;        // per kind
constexpr long long kMaxSynthImageBytes = 512LL << 20;  // all cameras together

// Parse "12" or "12x3x4" into exactly `arity` numbers.
bool parse_sizes(const std::string &sizes, int arity, long long *out) {
    size_t pos = 0;
    for (int i = 0; i < arity; i++) {
        size_t end = sizes.find('x', pos);
        if (i == arity - 1)
            end = sizes.size();
        if (end == std::string::npos)
            return false;
        std::string num = sizes.substr(pos, end - pos);
        if (num.empty() || num.size() > 9 ||
            num.find_first_not_of("0123456789") != std::string::npos)
            return false;
        out[i] = std::stoll(num);
        pos = end + 1;
    }
    return true;
}

// The kinds of a mix: each puts its sizes into the Mix and says why they
// are too large ("" when they are not).
struct MixKind {
    const char *name;
    int arity;
    const char *form;
    std::string (*apply)(const long long *v, Mix *m);
};

std::string too_many(const char *what, long long limit) {
    return "mix: more than " + std::to_string(limit) + " " + what;
}

std::string apply_markers(const long long *v, Mix *m) {
    m->markers = static_cast<int>(v[0]);
    return "";
}

std::string apply_values(const long long *v, Mix *m) {
    m->values = static_cast<int>(v[0]);
    return "";
}

std::string apply_namevalue(const long long *v, Mix *m) {
    m->nv_channels = static_cast<int>(v[0]);
    m->nv_items = static_cast<int>(v[1]);
    return v[0] * v[1] > kMaxSynthFloats ? too_many("name-value items", kMaxSynthFloats) : "";
}

std::string apply_spectrum(const long long *v, Mix *m) {
    m->spectra = static_cast<int>(v[0]);
    m->spect_members = static_cast<int>(v[1]);
    m->spect_values = static_cast<int>(v[2]);
    if (v[0] * v[1] > kMaxSynthFloats || v[0] * v[1] * v[2] > kMaxSynthFloats)
        return too_many("spectrum values", kMaxSynthFloats);
    return "";
}

std::string apply_image(const long long *v, Mix *m) {
    m->images = static_cast<int>(v[0]);
    m->width = static_cast<int>(v[1]);
    m->height = static_cast<int>(v[2]);
    m->bpp = static_cast<int>(v[3]);
    if (m->bpp < 1 || m->bpp > 8)
        return "mix: image bytes per pixel must be 1 to 8";
    if (v[1] * v[2] * v[3] > kMaxImageBytes || v[0] * v[1] * v[2] * v[3] > kMaxSynthImageBytes)
        return "mix: images larger than " + std::to_string(kMaxImageBytes) + " bytes each or " +
               std::to_string(kMaxSynthImageBytes) + " together";
    return "";
}

std::string apply_eq(const long long *v, Mix *m) {
    m->eqs = static_cast<int>(v[0]);
    return "";
}

const MixKind kMixKinds[] = {
    {"marker", 1, "N", apply_markers},        {"values", 1, "N", apply_values},
    {"namevalue", 2, "NxK", apply_namevalue}, {"spectrum", 3, "NxMxV", apply_spectrum},
    {"image", 4, "NxWxHxB", apply_image},     {"eq", 1, "N", apply_eq},
};
constexpr int kMixKindCount = sizeof kMixKinds / sizeof kMixKinds[0];

// One entry KIND=SIZE into *m; `seen` marks the kinds given so far. false
// with *error set.
bool parse_mix_entry(const std::string &entry, Mix *m, bool *seen, std::string *error) {
    size_t eq = entry.find('=');
    std::string kind = entry.substr(0, eq);
    int k = 0;
    while (k < kMixKindCount && kind != kMixKinds[k].name)
        k++;
    if (k == kMixKindCount || eq == std::string::npos) {
        *error = "mix entry \"" + entry +
                 "\": expected KIND=SIZE with KIND one of marker, values, "
                 "namevalue, spectrum, image, eq";
        return false;
    }
    if (seen[k]) {
        *error = "mix kind \"" + kind + "\" given twice";
        return false;
    }
    seen[k] = true;
    long long v[4] = {};
    if (!parse_sizes(entry.substr(eq + 1), kMixKinds[k].arity, v)) {
        *error = "mix entry \"" + entry + "\": expected " + kind + "=" + kMixKinds[k].form +
                 " with numbers of up to 9 digits";
        return false;
    }
    *error = kMixKinds[k].apply(v, m);
    return error->empty();
}

}  // namespace

bool parse_mix(const std::string &text, Mix *out, std::string *error) {
    Mix m;
    bool seen[kMixKindCount] = {};
    // Entries between commas; "" is no entry at all, but "a=1," has an
    // empty second one, which is refused like any malformed entry.
    size_t pos = 0;
    while (!text.empty() && pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos)
            end = text.size();
        if (!parse_mix_entry(text.substr(pos, end - pos), &m, seen, error))
            return false;
        pos = end + 1;
    }
    long long total =
        static_cast<long long>(m.markers) + m.values + m.nv_channels + m.spectra + m.images + m.eqs;
    if (total > kMaxSynthChannels) {
        *error = too_many("channels", kMaxSynthChannels);
        return false;
    }
    *out = m;
    return true;
}

// ---- SyntheticSource ----

struct SyntheticSource::State {
    long long total = 0;  // events to make
    long long made = 0;
    Mix mix;
    Event ev;                          // the current event, changed in place
    uint64_t rng = 0x4b6f7276656cULL;  // fixed seed: the same run every time
    // Where each kind starts in ev.channels (the run's channel order).
    size_t first_value = 0, first_nv = 0, first_spect = 0, first_image = 0, first_eq = 0;

    // splitmix64: small, fast and well mixed.
    uint64_t next_u64() {
        uint64_t z = (rng += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // A float in [-scale, scale) with 24 random bits.
    float next_float(float scale) {
        return static_cast<float>((static_cast<double>(next_u64() >> 40) / 8388608.0 - 1.0) *
                                  scale);
    }
    size_t next_index(size_t n) {
        return n ? static_cast<size_t>(next_u64() % n) : 0;
    }

    // The channels of one kind, added to the run's table and the first event.
    void add_namevalue_channels(RunHeader *h);
    void add_spectrum_channels(RunHeader *h);
    void add_image_channels(RunHeader *h);
};

static std::string numbered(const char *prefix, int i) {
    char text[64];
    snprintf(text, sizeof text, "%s%03d", prefix, i);
    return text;
}

SyntheticSource::SyntheticSource(long long events, const Mix &mix)
    : state_(std::make_unique<State>()) {
    state_->total = events < 0 ? 0 : events;
    state_->mix = mix;
}

SyntheticSource::~SyntheticSource() = default;

namespace {

// A channel of the run: its table entry, its description and its (empty)
// entry in the first event. Returns that entry.
ChannelData &add_channel(RunHeader *h, Event *ev, const std::string &name, int type,
                         const char *desc, const char *units) {
    Channel c;
    c.name = name;
    c.type = type;
    h->channels.push_back(c);
    h->descriptions.push_back({name, desc, units});
    return ev->add(name);
}

}  // namespace

void SyntheticSource::State::add_namevalue_channels(RunHeader *h) {
    for (int i = 0; i < mix.nv_channels; i++) {
        auto &items =
            add_channel(h, &ev, numbered("SYN/NV.", i), 2, "synthetic name-value block", "")
                .items.emplace();
        for (int k = 0; k < mix.nv_items; k++)
            items.push_back({numbered("item", k), next_float(100)});
    }
}

void SyntheticSource::State::add_spectrum_channels(RunHeader *h) {
    for (int i = 0; i < mix.spectra; i++) {
        auto &members =
            add_channel(h, &ev, numbered("SYN/SPECT.", i), 3, "synthetic spectrum", "counts")
                .members;
        members.resize(mix.spect_members);
        for (SpectMember &mb : members) {
            mb.start = 0;
            mb.inc = 0.5f;
            mb.values.resize(mix.spect_values);
            for (float &v : mb.values)
                v = next_float(1000);
            mb.stat.emplace();
            mb.stat->mask = 0x7;  // mean, sigma, maximum
        }
    }
}

// Cameras show a gradient with noise; later events change a few bytes.
void SyntheticSource::State::add_image_channels(RunHeader *h) {
    for (int i = 0; i < mix.images; i++) {
        Image &img = add_channel(h, &ev, numbered("SYN/CAM.", i), 4, "synthetic camera", "counts")
                         .image.emplace();
        img.width = mix.width;
        img.height = mix.height;
        img.bpp = mix.bpp;
        size_t n = static_cast<size_t>(mix.width) * mix.height * mix.bpp;
        img.pixels.resize(n);
        for (size_t k = 0; k < n; k++)
            img.pixels[k] = static_cast<uint8_t>((k / mix.bpp + (next_u64() & 7)) & 0xff);
    }
    if (mix.images > 0)
        ev.image_block.emplace();  // camera events carry an image block
}

// The channel table and the first event, whose entries later events only
// change. Each kind's channels stand together, in the order of the mix.
bool SyntheticSource::read_header(RunHeader *out, std::string *) {
    State &st = *state_;
    const Mix &m = st.mix;
    RunHeader h;
    st.ev = Event();
    for (int i = 0; i < m.markers; i++)
        add_channel(&h, &st.ev, numbered("SYN/MARK.", i), 1, "synthetic marker", "");
    st.first_value = st.ev.channels.size();
    for (int i = 0; i < m.values; i++)
        add_channel(&h, &st.ev, numbered("SYN/VAL.", i), 2, "synthetic value", "V").value = 0.0f;
    st.first_nv = st.ev.channels.size();
    st.add_namevalue_channels(&h);
    st.first_spect = st.ev.channels.size();
    st.add_spectrum_channels(&h);
    st.first_image = st.ev.channels.size();
    st.add_image_channels(&h);
    st.first_eq = st.ev.channels.size();
    for (int i = 0; i < m.eqs; i++) {
        Eq &eq =
            add_channel(&h, &st.ev, numbered("SYN/EQ.", i), 5, "synthetic EqData", "").eq.emplace();
        eq.type = 2;  // FLOAT
        eq.values = {0, 0, 0};
    }
    *out = std::move(h);
    return true;
}

int SyntheticSource::next(const Run &, const Event **event, std::string *) {
    State &st = *state_;
    if (st.made >= st.total)
        return 0;
    long long k = st.made++;
    Event &ev = st.ev;
    ev.id = static_cast<uint32_t>(k + 1);
    ev.time.sec = 1700000000u + static_cast<uint32_t>(k / 10);
    ev.time.usec = static_cast<uint32_t>(k % 10) * 100000u;
    const Mix &m = st.mix;

    for (int i = 0; i < m.values; i++)
        ev.channels[st.first_value + i].value = st.next_float(1000);
    for (int i = 0; i < m.nv_channels; i++)
        for (Item &it : *ev.channels[st.first_nv + i].items)
            it.value = st.next_float(100);
    for (int i = 0; i < m.spectra; i++) {
        for (SpectMember &mb : ev.channels[st.first_spect + i].members) {
            for (int c = 0; c < 8 && !mb.values.empty(); c++)
                mb.values[st.next_index(mb.values.size())] = st.next_float(1000);
            mb.stat->val[0] = st.next_float(10);
            mb.stat->val[1] = std::fabs(st.next_float(5));
            mb.stat->val[2] = std::fabs(st.next_float(1000));
        }
    }
    for (int i = 0; i < m.images; i++) {
        Image &img = *ev.channels[st.first_image + i].image;
        for (int c = 0; c < 16 && !img.pixels.empty(); c++)
            img.pixels[st.next_index(img.pixels.size())] = static_cast<uint8_t>(st.next_u64());
        img.set_header("frame", static_cast<double>(ev.id));
    }
    for (int i = 0; i < m.eqs; i++) {
        Eq &eq = *ev.channels[st.first_eq + i].eq;
        eq.values[0] = static_cast<double>(k);
        eq.values[1] = static_cast<double>(st.next_float(1));
        eq.values[2] = static_cast<double>(i);
    }
    *event = &ev;
    return 1;
}

double SyntheticSource::progress() const {
    const State &st = *state_;
    return st.total > 0 ? static_cast<double>(st.made) / static_cast<double>(st.total) : 1.0;
}

}  // namespace standin
