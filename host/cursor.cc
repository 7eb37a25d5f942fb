// cursor.cc - the cursor zarn_daq_getdata over one event of a run, and
// standin::Cursor, which binds it: every default of the event resolved
// once per event, the records the plug-in gets pointers to, the selection
// that SetProp / SetImage / SetFast make.
//
// A channel with no entry in the event is "not in the event": SetProp
// answers 0, the block query succeeds with the event's time and mpulse,
// status 0 and count 0, the channel query gives the channel's name and
// status 0, and the 2010 headers are null.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "host_internal.h"

namespace {

// The reader's queries answer through pointers, any of which the plug-in
// may pass as null for what it does not want.
template <class T, class V>
void put(T *out, V value) {
    if (out)
        *out = value;
}

}  // namespace

namespace standin {
namespace {

// Every cursor that exists, so that the host functions that get only a
// sub-head pointer (zarn_daq_to_eqdata, print_data_type_2010) can find the
// channel it belongs to. One thread: no lock.
std::vector<Cursor::State *> &live_cursors() {
    static std::vector<Cursor::State *> all;
    return all;
}

// Bytes of data a channel entry stands for; only its block sizes show it.
int data_length(const ChannelData &d) {
    long long n = 0;
    if (d.image)
        n = std::max(d.image->resolved_len(), 0);
    else if (d.items)
        n = 8LL * static_cast<long long>(d.items->size());
    else if (!d.members.empty())
        for (const SpectMember &m : d.members)
            n += 4LL * static_cast<long long>(m.values.size());
    else
        n = 4;
    return n > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(n);
}

// The names and type the plug-in sees: the entry's own, else its
// channel's in the run header.
void resolve_identity(BoundChan &b, const ChannelData &d, const Channel *ch) {
    b.type = d.type ? *d.type : (ch ? ch->type : 2);
    b.bare_name = ch && ch->name ? ch->name->c_str() : d.text.c_str();
    if (d.chan.null_name)
        b.chan_name = nullptr;
    else
        b.chan_name = d.chan.name ? d.chan.name->c_str() : b.bare_name;
    b.nmemb = d.nmemb ? *d.nmemb : static_cast<int>(std::min<size_t>(d.members.size(), INT_MAX));
}

// The server-block head and channel sub-head, with the event's time and
// macro-pulse number unless the block gives its own.
void resolve_heads(BoundChan &b, const ChannelData &d, const Channel *ch, const Event &ev) {
    int len = data_length(d);
    TimePair t = d.block.time ? *d.block.time : ev.time;
    b.head.timeup = t.sec;
    b.head.timelow = t.usec;
    b.head.ltot = static_cast<int>(sizeof(b.head) + sizeof(b.sub)) + len;
    b.head.mpulse = d.block.mpulse ? *d.block.mpulse : ev.resolved_mpulse();
    b.head.status = d.block.status;
    b.head.nchan = d.block.nchan;
    b.sub.type = b.type;
    b.sub.status = d.chan.status;
    b.sub.length = len;
    b.sub.nsub = ch ? ch->sub : -1;
}

// The ROI record and its projection, zero-padded to ndata1 floats (at
// least one, at most kMaxRoiFloats unless the recording gave more).
void resolve_roi(BoundChan &b, const ChannelData &d) {
    b.roi = zarn_image_roi1{};
    b.roi_mean.clear();
    if (!d.roi)
        return;
    const Roi &r = *d.roi;
    b.roi.roi_param.w = r.w;
    b.roi.roi_param.h = r.h;
    b.roi.stat.stat1.mean = r.mean;
    b.roi.stat.stat1.max = r.max;
    b.roi.stat.stat1.sig = r.sig;
    b.roi.stat.stat1.cofm = r.cofm;
    b.roi.stat.start1 = r.start1;
    b.roi.stat.inc1 = r.inc1;
    b.roi.stat.ndata1 = r.ndata1;
    b.roi.stat.data1[0] = r.data.empty() ? 0.0f : r.data[0];
    long long n = std::max<long long>(
        {static_cast<long long>(r.ndata1), static_cast<long long>(r.data.size()), 1});
    n = std::min(n, std::max<long long>(kMaxRoiFloats, static_cast<long long>(r.data.size())));
    b.roi_mean.assign(static_cast<size_t>(n), 0.0f);
    std::copy(r.data.begin(), r.data.end(), b.roi_mean.begin());
}

// The frame header: the image's geometry and the event id, then the
// fields the recording sets explicitly.
void resolve_frame(BoundChan &b, const ChannelData &d, const Event &ev) {
    b.frame = zarn_image_ext_frame_head{};
    if (!d.image)
        return;
    const Image &img = *d.image;
    b.frame.width = img.width;
    b.frame.height = img.height;
    b.frame.bpp = img.bpp;
    b.frame.length = img.resolved_len();
    b.frame.event = ev.id;
    for (int i = 0; i < kFrameFields; i++)
        if (img.header_set & (1u << i))
            memcpy(reinterpret_cast<unsigned char *>(&b.frame) + kFrameFieldTable[i].offset,
                   reinterpret_cast<const unsigned char *>(&img.header) +
                       kFrameFieldTable[i].offset,
                   4);
}

// Bind one channel entry: every default resolved, the records the plug-in
// gets pointers to filled in afresh.
void resolve(BoundChan &b, const ChannelData &d, const Run::State &run, const Event &ev) {
    b.data = &d;
    auto ch_it = run.by_text.find(d.text);
    const Channel *ch = ch_it == run.by_text.end() ? nullptr : &run.header.channels[ch_it->second];
    resolve_identity(b, d, ch);
    resolve_heads(b, d, ch, ev);
    // Statistics are copies: the plug-in gets writable pointers, and the
    // next event must not see what it may have changed.
    b.stats.resize(d.members.size());
    for (size_t m = 0; m < d.members.size(); m++)
        b.stats[m] = d.members[m].stat ? *d.members[m].stat : zarn_spect_statistics_2010{};
    resolve_roi(b, d);
    resolve_frame(b, d, ev);
    b.pixels_ready = false;  // the buffer (and its capacity) is reused
    b.eq.type_code = d.eq ? d.eq->type : 0;
}

Cursor::State *cursor_state(void *impl) {
    auto *st = static_cast<Cursor::State *>(impl);
    return st && st->event ? st : nullptr;
}

// The selected channel entry, when SetProp found one.
BoundChan *selected(Cursor::State *st) {
    if (!st || st->sel != Cursor::State::CHANNEL)
        return nullptr;
    return &st->chans[st->sel_chan];
}

// Forget the channel selection; the 2010 headers go with it.
void deselect(Cursor::State *st, Cursor::State::Selection sel) {
    st->sel = sel;
    st->side = nullptr;
    st->absent_name = "";
    st->obj.Nmemb = 0;
    st->obj.data_2010 = 0;
    st->obj.SrvbHeader_2010 = nullptr;
    st->obj.ChanHeader_2010 = nullptr;
}

// The pixel buffer of this event: a copy of the recorded bytes, zero-padded
// to len, made the first time it is asked for. Later calls in the same
// event return the same buffer, so a swap done in place stays.
unsigned char *pixel_buffer(BoundChan &b) {
    const Image &img = *b.data->image;
    if (!b.pixels_ready) {
        long long len = std::min<long long>(std::max(img.resolved_len(), 0), kMaxImageBytes);
        size_t n = std::max<size_t>(static_cast<size_t>(len), img.pixels.size());
        b.pixels.resize(std::max<size_t>(n, 1));
        if (!img.pixels.empty())
            memcpy(b.pixels.data(), img.pixels.data(), img.pixels.size());
        memset(b.pixels.data() + img.pixels.size(), 0, b.pixels.size() - img.pixels.size());
        b.pixels_ready = true;
    }
    return b.pixels.data();
}

}  // namespace

const BoundChan *find_bound_channel(const zarn_serv_block_subhead_2010 *sub) {
    if (!sub)
        return nullptr;
    uintptr_t a = reinterpret_cast<uintptr_t>(sub);
    for (const Cursor::State *st : live_cursors()) {
        if (st->nbound == 0)
            continue;
        uintptr_t base = reinterpret_cast<uintptr_t>(st->chans.data());
        if (a < base || a >= base + st->nbound * sizeof(BoundChan))
            continue;
        size_t i = (a - base) / sizeof(BoundChan);
        if (&st->chans[i].sub == sub)
            return &st->chans[i];
    }
    return nullptr;
}

// ---- standin::Cursor ----

Cursor::Cursor() : state_(std::make_unique<State>()) {
    state_->obj.impl = state_.get();
    live_cursors().push_back(state_.get());
}

Cursor::~Cursor() {
    auto &all = live_cursors();
    all.erase(std::remove(all.begin(), all.end(), state_.get()), all.end());
}

void Cursor::bind(const Run &run, const Event &event) {
    State &st = *state_;
    unbind();
    size_t n = event.channels.size();
    if (st.chans.size() < n)
        st.chans.resize(n);
    st.run = run.state_.get();
    st.event = &event;
    st.event_len = 0;
    for (size_t i = 0; i < n; i++) {
        resolve(st.chans[i], event.channels[i], *st.run, event);
        st.event_len += static_cast<unsigned>(st.chans[i].head.ltot);
    }
    st.nbound = n;
    st.bound_at = std::chrono::steady_clock::now();
    st.cut_by_stop = false;
    // Sorted by text for SetProp; stable, so the first of equal texts wins.
    st.order.resize(n);
    for (size_t i = 0; i < n; i++)
        st.order[i] = i;
    std::stable_sort(st.order.begin(), st.order.end(), [&](size_t a, size_t b) {
        return event.channels[a].text < event.channels[b].text;
    });
}

void Cursor::watch_stop(const volatile std::sig_atomic_t *flag) {
    state_->stop = flag;
}

bool Cursor::cut_by_stop() const {
    return state_->cut_by_stop;
}

// A stop was asked for while an event has run longer than kStopGrace: its
// next channel query fails, as a reader's does for a block it cannot read,
// and the plug-in cuts the row short there. Shorter events end whole.
bool stop_cuts_event(Cursor::State *st) {
    if (!st->stop || *st->stop == 0)
        return false;
    if (!st->cut_by_stop && std::chrono::steady_clock::now() - st->bound_at < kStopGrace)
        return false;
    st->cut_by_stop = true;
    return true;
}

void Cursor::unbind() {
    State &st = *state_;
    st.run = nullptr;
    st.event = nullptr;
    st.nbound = 0;
    deselect(&st, State::NONE);
}

zarn_daq_getdata *Cursor::get() {
    return &state_->obj;
}

}  // namespace standin

// ---- zarn_daq_getdata ----

using standin::BoundChan;
using standin::cursor_state;
using standin::selected;
using CursorState = standin::Cursor::State;

int zarn_daq_getdata::GetEventInfo(unsigned *evid, int *evtype, unsigned *len, unsigned *tup,
                                   unsigned *tlow, int *status, int *nsrvb) {
    CursorState *st = cursor_state(impl);
    if (!st || st->event->fail)
        return 1;
    const standin::Event &ev = *st->event;
    put(evid, ev.id);
    put(evtype, ev.type);
    put(len, st->event_len);
    put(tup, ev.time.sec);
    put(tlow, ev.time.usec);
    put(status, ev.status);
    put(nsrvb, static_cast<int>(st->nbound));
    return 0;
}

// Selecting block 0 of the image or fast data; other numbers never exist.
static int select_side(CursorState *st, int n, bool image) {
    if (!st || n != 0)
        return 0;
    const auto &block = image ? st->event->image_block : st->event->fast_block;
    if (!block)
        return 0;
    standin::deselect(st, CursorState::SIDE);
    st->side = &*block;
    return 1;
}

int zarn_daq_getdata::SetImage(int n) {
    return select_side(cursor_state(impl), n, true);
}

int zarn_daq_getdata::SetFast(int n) {
    return select_side(cursor_state(impl), n, false);
}

int zarn_daq_getdata::GetServBlockInfo(unsigned *tup, unsigned *tlow, int *ltot, int *mpulse,
                                       int *spare, int *status, int *nchan) {
    CursorState *st = cursor_state(impl);
    if (!st)
        return 1;
    const standin::Event &ev = *st->event;
    standin::TimePair t = ev.time;
    int l = 0, mp = ev.resolved_mpulse(), s = 0, nc = 0;
    if (BoundChan *b = selected(st)) {
        if (b->data->block.fail || standin::stop_cuts_event(st))
            return 1;
        t = {b->head.timeup, b->head.timelow};
        l = b->head.ltot;
        mp = b->head.mpulse;
        s = b->head.status;
        nc = b->head.nchan;
    } else if (st->sel == CursorState::SIDE) {
        const standin::SideBlock &sb = *st->side;
        t = sb.time ? *sb.time : ev.time;
        mp = sb.mpulse ? *sb.mpulse : ev.resolved_mpulse();
        s = sb.status ? *sb.status : ev.status;
        nc = 1;
    }
    put(tup, t.sec);
    put(tlow, t.usec);
    put(ltot, l);
    put(mpulse, mp);
    put(spare, 0);
    put(status, s);
    put(nchan, nc);
    return 0;
}

int zarn_daq_getdata::SetProp(const char *chname) {
    CursorState *st = cursor_state(impl);
    if (!st) {
        Nmemb = 0;
        data_2010 = 0;
        SrvbHeader_2010 = nullptr;
        ChanHeader_2010 = nullptr;
        return 0;
    }
    std::string_view text = chname ? chname : "";
    const standin::Event &ev = *st->event;
    auto it =
        std::lower_bound(st->order.begin(), st->order.end(), text,
                         [&](size_t i, std::string_view key) { return ev.channels[i].text < key; });
    if (it != st->order.end() && ev.channels[*it].text == text) {
        BoundChan &b = st->chans[*it];
        st->sel = CursorState::CHANNEL;
        st->sel_chan = *it;
        st->side = nullptr;
        Nmemb = b.nmemb;
        data_2010 = 1;
        SrvbHeader_2010 = &b.head;
        ChanHeader_2010 = &b.sub;
        return b.type;
    }
    standin::deselect(st, CursorState::ABSENT);
    auto ch = st->run->by_text.find(std::string(text));
    if (ch != st->run->by_text.end()) {
        st->absent_name = st->run->header.channels[ch->second].name->c_str();
    } else {
        st->absent_text.assign(text);
        st->absent_name = st->absent_text.c_str();
    }
    return 0;
}

int zarn_daq_getdata::GetChanInfo(const char **name, int *spare, int *status, int *len) {
    CursorState *st = cursor_state(impl);
    if (!st)
        return 1;
    const char *nm = "";
    int s = 0, l = 0;
    if (BoundChan *b = selected(st)) {
        if (b->data->chan.fail)
            return 1;
        nm = b->chan_name;
        s = b->data->chan.status;
        l = b->sub.length;
    } else if (st->sel == CursorState::ABSENT) {
        nm = st->absent_name;
    }
    put(name, nm);
    put(spare, 0);
    put(status, s);
    put(len, l);
    return 0;
}

int zarn_daq_getdata::GetImagePar(int *nframe, int *compr, int *bpp, int *len) {
    BoundChan *b = selected(cursor_state(impl));
    if (!b || !b->data->image || b->data->image->fail)
        return 1;
    const standin::Image &img = *b->data->image;
    put(nframe, img.nframe);
    put(compr, img.compr);
    put(bpp, img.bpp);
    put(len, img.resolved_len());
    return 0;
}

bool zarn_daq_getdata::GetValNamPrm(void **block, int *type, const char **text, int *n,
                                    void **items) {
    BoundChan *b = selected(cursor_state(impl));
    put(block, nullptr);
    put(type, b ? b->type : 0);
    put(text, nullptr);
    put(items, nullptr);
    // A count alone (built in memory) is a block without items too.
    if (b && (b->data->items || b->data->count)) {
        if (n)
            *n = b->data->count ? *b->data->count
                                : static_cast<int>(std::min<size_t>(
                                      b->data->items ? b->data->items->size() : 0, INT_MAX));
        return false;
    }
    put(n, 1);
    return true;
}

float zarn_daq_getdata::GetSingle(int k) {
    BoundChan *b = selected(cursor_state(impl));
    if (!b || k != 0 || !b->data->value)
        return 0.0f;
    return *b->data->value;
}

bool zarn_daq_getdata::GetValNamChan(const char **name, float *value, int k) {
    BoundChan *b = selected(cursor_state(impl));
    if (b && b->data->items && k >= 0 && static_cast<size_t>(k) < b->data->items->size()) {
        const standin::Item &it = (*b->data->items)[k];
        put(name, it.name ? it.name->c_str() : nullptr);
        put(value, it.value);
        return true;
    }
    put(name, nullptr);
    put(value, 0.0f);
    return false;
}

int zarn_daq_getdata::GetSpectPar(float *start, float *inc, float **data, int *ndata, int m,
                                  int *groups, float *groups_inc,
                                  zarn_spect_statistics_2010 **stat) {
    BoundChan *b = selected(cursor_state(impl));
    if (!b || m < 0 || static_cast<size_t>(m) >= b->data->members.size())
        return 1;
    const standin::SpectMember &mb = b->data->members[m];
    if (mb.fail)
        return 1;
    put(start, mb.start);
    put(inc, mb.inc);
    // The recorded values themselves (values.size() floats, not padded).
    put(data, mb.values.empty() ? nullptr : const_cast<float *>(mb.values.data()));
    put(ndata, mb.resolved_ndata());
    put(groups, mb.groups);
    put(groups_inc, mb.groups_inc);
    if (stat && mb.stat)
        *stat = &b->stats[m];
    return 0;
}

float zarn_daq_getdata::GetSpectVal(int m, int k) {
    BoundChan *b = selected(cursor_state(impl));
    if (!b || m < 0 || static_cast<size_t>(m) >= b->data->members.size())
        return 0.0f;
    const standin::SpectMember &mb = b->data->members[m];
    if (mb.fail || k < 0 || static_cast<size_t>(k) >= mb.values.size())
        return 0.0f;
    return mb.values[k];
}

// Only ROI 0 exists.
int zarn_daq_getdata::GetRoiPar(void **blk, float *start, float *inc, float **mean, int *ndata,
                                int n) {
    BoundChan *b = selected(cursor_state(impl));
    if (!b || !b->data->roi || n != 0)
        return 1;
    put(blk, b->data->roi->null_record ? nullptr : &b->roi);
    put(start, b->data->roi->start1);
    put(inc, b->data->roi->inc1);
    put(mean, b->data->roi->null_mean ? nullptr : b->roi_mean.data());
    put(ndata, b->data->roi->ndata1);
    return 0;
}

int zarn_daq_getdata::GetImageSize(int *xstart, int *xinc, int *nx, int *ystart, int *yinc,
                                   int *ny) {
    BoundChan *b = selected(cursor_state(impl));
    const standin::Image *img = b && b->data->image ? &*b->data->image : nullptr;
    put(xstart, 0);
    put(xinc, 1);
    put(nx, img ? img->width : 0);
    put(ystart, 0);
    put(yinc, 1);
    put(ny, img ? img->height : 0);
    return img ? img->resolved_size() : 0;
}

unsigned char *zarn_daq_getdata::GetImage() {
    BoundChan *b = selected(cursor_state(impl));
    if (!b || !b->data->image || b->data->image->null_pixels)
        return nullptr;
    return standin::pixel_buffer(*b);
}

zarn_image_ext_frame_head *zarn_daq_getdata::GetImageHeader() {
    BoundChan *b = selected(cursor_state(impl));
    if (!b || !b->data->image)
        return nullptr;
    return &b->frame;
}
