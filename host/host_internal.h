// host_internal.h - state shared by the stand-in's own files: the run and
// cursor states behind the host objects' `impl` pointers, the table of the
// frame header fields, the limits that keep hostile recordings small, and
// the progress bar.
// Nothing here is part of the API of standin.h.
#ifndef KORVEL_HOST_INTERNAL_H
#define KORVEL_HOST_INTERNAL_H

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "eq_data.h"
#include "event.h"
#include "event_util.h"
#include "standin.h"
#include "zarn_daq_data.h"
#include "zarn_daq_reader_2010.h"

namespace standin {

// ---- Limits ----
// A recording may ask for buffers the stand-in must allocate: these bound
// them so that a bad file gets an error message instead of an allocation
// failure in the middle of a run.
constexpr long long kMaxImageBytes = 256LL << 20;  // pixel buffer of one image
constexpr long long kMaxRoiFloats = 1LL << 24;     // zero-padded ROI data
constexpr int kMaxJsonDepth = 64;                  // nesting of one line
// The largest count a recording may give (16 Mi): item and member counts,
// block channel counts, spectrum lengths, ROI lengths and image sizes in
// bytes. No real reader delivers more, and a count the plug-in loops over
// would otherwise turn one line into gigabytes of output.
constexpr long long kMaxRecordedCount = 1LL << 24;

// A double rounded to single precision as IEEE rounding does, without
// leaving the conversion's defined range: magnitudes up to halfway between
// the largest float and 2^128 give the largest float, beyond it infinity.
float round_to_float(double d);

// ---- XML description writer ----
// The first failure of dump_chan_desr to write its file since the last
// set_dump_error() ("FILE: reason"), or "" when every file was written.
const std::string &dump_failure();

// ---- Frame header fields ----
// zarn_image_ext_frame_head is 25 four-byte fields; the recording names them
// in `header` and the XML writer writes all of them, both by this table.
enum FieldKind {
    FIELD_INT,
    FIELD_UNSIGNED,
    FIELD_FLOAT
};
struct FrameField {
    const char *name;
    size_t offset;
    FieldKind kind;
};
constexpr int kFrameFields = 25;
extern const FrameField kFrameFieldTable[kFrameFields];
// Index of a field by name, or -1.
int frame_field_index(const std::string &name);

// ---- Progress bar (progress.cc) ----
// A one-line bar on `out`, redrawn in place at most ten times a second.
// When `out` is standard error and both it and standard output are
// terminals, standard output is routed through a stream that clears the
// bar before every write, until finish().
class ProgressBar {
  public:
    ProgressBar(FILE *out, bool on);
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    // Draw the bar: `fraction` of the run done (negative: unknown), unless
    // it was drawn less than 100 ms ago and `force` is false.
    void update(long long events, double fraction, bool force = false);
    // Take the bar off its line, so that a message can start there; the
    // next update draws it again.
    void clear();
    // End the bar for good: its last state stays on its own line, and
    // standard output is the real one again.
    void finish();
    // The first error of a write to the routed standard output (an errno
    // value), 0 when none failed.
    int stdout_error() const {
        return stdout_error_;
    }
    void note_stdout_error(int err);

  private:
    void route_stdout();
    void restore_stdout();

    FILE *out_;
    bool on_;
    bool drawn_ = false;  // the bar is on the terminal's current line
    bool ever_drawn_ = false;
    std::chrono::steady_clock::time_point last_;
    FILE *real_stdout_ = nullptr;  // set while stdout is routed
    int stdout_error_ = 0;
};

// ---- Run state (behind zarn_daq_reader_2010::impl) ----
struct Run::State {
    RunHeader header;
    std::vector<std::string> texts;                // channel text per channel
    std::unordered_map<std::string, int> by_text;  // first channel per text
    std::vector<chan_descr_2010> descr_store;      // the reader's records
    std::vector<chan_descr_2010 *> descr_list;     // get_descr_list()
    int delivered = 0;
    zarn_daq_reader_2010 reader;  // impl points here
};

// ---- Cursor state (behind zarn_daq_getdata::impl) ----

// One channel entry of the bound event with every default resolved and the
// records the plug-in gets pointers to. The sub-head is handed out as
// ChanHeader_2010; zarn_daq_to_eqdata() finds the entry again from it.
struct BoundChan {
    zarn_serv_block_subhead_2010 sub{};
    zarn_serv_block_head_2010 head{};
    const ChannelData *data = nullptr;
    int type = 0;                                   // SetProp answer
    int nmemb = 0;                                  // Nmemb
    const char *chan_name = nullptr;                // GetChanInfo name (may be null)
    const char *bare_name = nullptr;                // the channel's name without ":sub"
    std::vector<zarn_spect_statistics_2010> stats;  // copy per member
    zarn_image_roi1 roi{};
    std::vector<float> roi_mean;  // ROI data, zero-padded
    zarn_image_ext_frame_head frame{};
    std::vector<unsigned char> pixels;  // made on the first GetImage()
    bool pixels_ready = false;
    EqData eq{};
};

struct Cursor::State {
    enum Selection {
        NONE,
        CHANNEL,
        ABSENT,
        SIDE
    };

    zarn_daq_getdata obj{};  // impl points here
    const Run::State *run = nullptr;
    const Event *event = nullptr;
    std::vector<BoundChan> chans;  // first `nbound` are in use
    size_t nbound = 0;
    unsigned event_len = 0;     // GetEventInfo len: sum of block sizes
    std::vector<size_t> order;  // indices into chans, by text
    Selection sel = NONE;
    size_t sel_chan = 0;                               // CHANNEL: index into chans
    const SideBlock *side = nullptr;                   // SIDE: the selected block
    const char *absent_name = "";                      // ABSENT: GetChanInfo name
    std::string absent_text;                           // storage when not a run channel
    const volatile std::sig_atomic_t *stop = nullptr;  // see watch_stop
    std::chrono::steady_clock::time_point bound_at;    // when bind() ran
    bool cut_by_stop = false;                          // a query failed because of a stop
};

// How long an event may go on after a stop was asked for before its
// channel queries fail (see stop_cuts_event in cursor.cc).
constexpr std::chrono::milliseconds kStopGrace{500};
bool stop_cuts_event(Cursor::State *st);

// The bound channel whose sub-head is `sub`, among all cursors bound now;
// null when `sub` is not such a sub-head.
const BoundChan *find_bound_channel(const zarn_serv_block_subhead_2010 *sub);

}  // namespace standin

#endif
