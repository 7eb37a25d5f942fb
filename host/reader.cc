// reader.cc - the reader object zarn_daq_reader_2010 over a run header, and
// standin::Run, which owns the header and the records the reader hands out.
#include <algorithm>
#include <cstring>

#include "host_internal.h"

// ---- zarn_daq_reader_2010 ----
//
// A reader answers from the Run::State its impl points at. A default-
// constructed one is attached to nothing and answers as an empty run.

zarn_daq_reader_2010::zarn_daq_reader_2010() : impl(nullptr) {}

// The state belongs to the Run that attached it, not to the reader.
zarn_daq_reader_2010::~zarn_daq_reader_2010() = default;

static standin::Run::State *run_state(void *impl) {
    return static_cast<standin::Run::State *>(impl);
}

int zarn_daq_reader_2010::get_number_of_channels() {
    standin::Run::State *st = run_state(impl);
    return st ? static_cast<int>(st->header.channels.size()) : 0;
}

// The name stays valid for the life of the Run; *sub is set only when a
// name is returned.
const char *zarn_daq_reader_2010::get_channel_name(int i, int *sub) {
    standin::Run::State *st = run_state(impl);
    if (!st || i < 0 || static_cast<size_t>(i) >= st->header.channels.size())
        return nullptr;
    const standin::Channel &c = st->header.channels[i];
    if (!c.name)
        return nullptr;
    if (sub)
        *sub = c.sub;
    return c.name->c_str();
}

int zarn_daq_reader_2010::get_number_of_events() {
    standin::Run::State *st = run_state(impl);
    if (!st)
        return 0;
    return st->header.events ? *st->header.events : st->delivered;
}

int zarn_daq_reader_2010::get_number_of_empty_events() {
    standin::Run::State *st = run_state(impl);
    return st ? st->header.empty_events : 0;
}

// A detached reader gives an empty list of its own, emptied again on every
// call so that nothing a caller adds to it survives.
std::vector<chan_descr_2010 *> &zarn_daq_reader_2010::get_descr_list() {
    standin::Run::State *st = run_state(impl);
    if (st)
        return st->descr_list;
    static std::vector<chan_descr_2010 *> none;
    none.clear();
    return none;
}

// ---- standin::Run ----

namespace standin {

Run::Run(RunHeader header) : state_(std::make_unique<State>()) {
    State &st = *state_;
    st.header = std::move(header);
    st.texts.reserve(st.header.channels.size());
    for (size_t i = 0; i < st.header.channels.size(); i++) {
        st.texts.push_back(st.header.channels[i].text());
        if (st.header.channels[i].name)
            st.by_text.emplace(st.texts.back(), static_cast<int>(i));
    }
    // The records are made once; the list points into the store, which is
    // never resized afterwards. daq_name keeps at most 255 bytes.
    st.descr_store.resize(st.header.descriptions.size());
    for (size_t i = 0; i < st.descr_store.size(); i++) {
        const Description &d = st.header.descriptions[i];
        chan_descr_2010 &r = st.descr_store[i];
        memset(r.daq_name, 0, sizeof r.daq_name);
        memcpy(r.daq_name, d.daq_name.data(), std::min(d.daq_name.size(), sizeof r.daq_name - 1));
        r.desc = d.desc;
        r.units = d.units;
        st.descr_list.push_back(&r);
    }
    st.reader.impl = &st;
}

Run::~Run() {
    state_->reader.impl = nullptr;
}

const RunHeader &Run::header() const {
    return state_->header;
}

zarn_daq_reader_2010 *Run::reader() {
    return &state_->reader;
}

int Run::find_channel(const std::string &text) const {
    auto it = state_->by_text.find(text);
    return it == state_->by_text.end() ? -1 : it->second;
}

void Run::count_event() {
    state_->delivered++;
}

int Run::delivered() const {
    return state_->delivered;
}

}  // namespace standin
