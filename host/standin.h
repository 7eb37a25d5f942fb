// standin.h - the stand-in DAQ reader as a C++ API: runs and events in
// memory, the reader and cursor objects bound to them, the recording reader,
// the synthetic run generator, the plug-in loader and the run driver.
//
// korvel-replay is a thin command line over this header; benchmarks, fuzz
// targets and tests use it to drive the plug-in's entry points through real
// zarn_daq_reader_2010 / zarn_daq_getdata objects without writing files.
//
// Sections:
//   1. Run header and event model    plain structs, built by hand or parsed
//   2. Run and Cursor                 bind the host objects to a run / event
//   3. Recording lines                parse one header or event line
//   4. Event sources                  recording file or stream, synthetic run
//   5. Plug-in and run driver         dlopen, init / loop / end, exit codes
//   6. Outputs and signals            what the words make the plug-in
//                                     write; signals that end a run
//
// Everything runs on one thread. Values the plug-in receives through
// pointers (names, pixel buffers, records) stay valid until the cursor is
// bound to the next event (or, for the reader, for the life of the Run).
#ifndef KORVEL_STANDIN_H
#define KORVEL_STANDIN_H

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "event.h"

class zarn_daq_reader_2010;
class zarn_daq_getdata;

namespace standin {

// ==== 1. Run header and event model ========================================
//
// Optional members left empty take the defaults of the recording format
// when a cursor is bound (for instance a channel entry without `type` gets
// the type of the run's channel with the same channel text).

// One channel of the run's channel table.
struct Channel {
    std::optional<std::string> name;  // empty: get_channel_name() fails
    int sub = -1;                     // sub-channel number, negative: none
    int type = 2;                     // data-type code in events carrying it
    // "name", or "name:sub" when sub >= 0; "" without a name.
    std::string text() const;
};

// One entry of the reader's description list.
struct Description {
    std::string daq_name;  // the reader holds at most 255 bytes of it
    std::string desc;
    std::string units;
};

struct RunHeader {
    std::vector<Channel> channels;
    std::vector<Description> descriptions;
    std::optional<int> events;  // get_number_of_events(); empty: delivered
    int empty_events = 0;       // get_number_of_empty_events()
    int nbunch = 0;             // host globals before command-line overrides
    int outmode = 0;
    int dump_error = 0;  // non-zero: dump_chan_desr() returns it
};

struct TimePair {
    uint32_t sec = 0;
    uint32_t usec = 0;
};

// An image or fast block of an event (SetImage(0) / SetFast(0)).
struct SideBlock {
    std::optional<TimePair> time;   // default: the event's
    std::optional<int32_t> status;  // default: the event's
    std::optional<int32_t> mpulse;  // default: the event's
};

// The server block a channel entry lives in (GetServBlockInfo).
struct ServBlock {
    std::optional<TimePair> time;   // default: the event's
    std::optional<int32_t> mpulse;  // default: the event's
    int32_t status = 0;
    int32_t nchan = 1;
    bool fail = false;  // GetServBlockInfo fails
};

// What GetChanInfo answers.
struct ChanQuery {
    std::optional<std::string> name;  // default: the bare channel name
    bool null_name = false;           // answer a null name instead
    int32_t status = 0;
    bool fail = false;
};

// One item of a name-value block.
struct Item {
    std::optional<std::string> name;  // empty: GetValNamChan gives null
    float value = 0;
};

// One spectrum member.
struct SpectMember {
    bool fail = false;  // GetSpectPar fails for this member
    float start = 0;
    float inc = 1;
    float groups_inc = 0;
    int groups = 0;
    std::optional<int> ndata;  // default: values / groups (groups >= 2)
    std::vector<float> values;
    std::optional<zarn_spect_statistics_2010> stat;  // empty: pointer stays
    int resolved_ndata() const;
};

// Region of interest of a single-member spectrum channel (GetRoiPar).
struct Roi {
    int w = 0;
    int h = 0;
    float mean = 0;
    float max = 0;
    float sig = 0;
    float cofm = 0;
    float start1 = 0;
    float inc1 = 0;
    int ndata1 = 0;
    std::vector<float> data;  // zero-padded to ndata1 floats when bound
    // Answers no real reader is known to give, for tests that hand events
    // to the plug-in directly (a recording cannot ask for them):
    // GetRoiPar succeeds with a null record, or with a null projection.
    bool null_record = false;
    bool null_mean = false;
};

// A camera image (GetImagePar, GetImageSize, GetImage, GetImageHeader).
struct Image {
    int bpp = 1;
    int width = 0;
    int height = 0;
    std::optional<int> len;       // default: width * height * bpp
    std::optional<int> size;      // GetImageSize result; default: len
    std::vector<uint8_t> pixels;  // as delivered; zero-padded to len
    int nframe = 1;
    int compr = 0;
    bool fail = false;  // GetImagePar fails
    // For tests, not in recordings: GetImage gives a null buffer although
    // GetImagePar promised len bytes.
    bool null_pixels = false;
    // Frame header fields set explicitly: bit i of header_set stands for
    // field i of zarn_image_ext_frame_head (in declaration order) and its
    // value is taken from `header`. The others: width, height, bpp of the
    // image, length = len, event = the event id, the rest 0.
    zarn_image_ext_frame_head header{};
    uint32_t header_set = 0;
    // Set a header field by its name; ints and unsigned take integral
    // values in their range, floats any value. false: no such field or
    // the value does not fit (nothing changed).
    bool set_header(const std::string &field, double value);
    int resolved_len() const;
    int resolved_size() const;
};

// EqData content (zarn_daq_to_eqdata, print_data_type_2010).
struct Eq {
    int type = 0;  // the container's type code
    std::vector<double> values;
    bool fail = false;  // zarn_daq_to_eqdata fails
    // For tests, not in recordings: zarn_daq_to_eqdata succeeds but hands
    // back no container.
    bool null_container = false;
};

// The data of one channel in one event, keyed by the channel text.
struct ChannelData {
    std::string text;
    std::optional<int> type;  // SetProp answer; default: the channel's
    ServBlock block;
    ChanQuery chan;
    std::optional<float> value;              // single value
    std::optional<std::vector<Item>> items;  // name-value block
    std::optional<int> count;                // item count override
    std::vector<SpectMember> members;
    std::optional<int> nmemb;  // Nmemb override
    std::optional<Roi> roi;
    std::optional<Image> image;
    std::optional<Eq> eq;
};

struct Event {
    uint32_t id = 0;
    int type = 1;
    TimePair time;
    int32_t status = 0;
    std::optional<int32_t> mpulse;  // default: id as a signed 32-bit int
    bool fail = false;              // GetEventInfo fails
    std::optional<SideBlock> image_block;
    std::optional<SideBlock> fast_block;
    // Channel entries; when two share a text the first one counts.
    std::vector<ChannelData> channels;

    // Append an entry for `text` and return it (references stay valid
    // until the next add()).
    ChannelData &add(const std::string &text);
    int32_t resolved_mpulse() const;
};

// ==== 2. Run and Cursor =====================================================

// A run header bound to a zarn_daq_reader_2010 object: what the plug-in's
// init and end entry points receive. Neither copyable nor movable, because
// the plug-in keeps pointers into it (channel names) for the whole run.
class Run {
  public:
    explicit Run(RunHeader header);
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    const RunHeader &header() const;
    // The reader object; valid for the life of the Run.
    zarn_daq_reader_2010 *reader();
    // Index of the first channel whose channel text is `text`, or -1.
    int find_channel(const std::string &text) const;
    // One more event was handed to the loop: get_number_of_events()
    // answers this count unless the header gives `events`.
    void count_event();
    int delivered() const;

    struct State;

  private:
    friend class Cursor;
    std::unique_ptr<State> state_;
};

// A zarn_daq_getdata positioned on one event of a run. bind() gives the
// plug-in a fresh view of the event: fresh pixel buffers, statistics and
// header records (the plug-in may change them, e.g. swap pixels in place).
class Cursor {
  public:
    Cursor();
    ~Cursor();
    Cursor(const Cursor &) = delete;
    Cursor &operator=(const Cursor &) = delete;

    // Position on `event`. `run` and `event` must stay alive and unchanged
    // until the next bind(), unbind() or the Cursor's end.
    void bind(const Run &run, const Event &event);
    // Detach; the cursor then answers as for an event that cannot be read.
    void unbind();
    // The object handed to zarn_user_loop; valid for the Cursor's life.
    zarn_daq_getdata *get();
    // Once `flag` is non-zero and the bound event has run for half a
    // second, every channel's server-block query fails, so that a long
    // event ends at its next channel, its row cut short.
    void watch_stop(const volatile std::sig_atomic_t *flag);
    // Whether a query of the bound event failed for that reason.
    bool cut_by_stop() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// ==== 3. Recording lines ====================================================
//
// The recording is JSON Lines: the run header, then one event per line.
// Both parsers are strict: every key, type and range is checked and an
// unknown or repeated key is an error. On failure they return false and set
// *error to a message without file and line (the sources add those).

bool parse_header(const std::string &line, RunHeader *out, std::string *error);
// `run` gives the channel texts an event may use as keys. What is odd but
// usable (pixels shorter than the image's len) is appended to *warnings,
// when given, as messages without file and line.
bool parse_event(const std::string &line, const Run &run, Event *out, std::string *error,
                 std::vector<std::string> *warnings = nullptr);

// ==== 4. Event sources ======================================================

class EventSource {
  public:
    virtual ~EventSource();
    // Read the run header. false: *error holds the full message.
    virtual bool read_header(RunHeader *out, std::string *error) = 0;
    // Next event: 1 and *event set (valid until the next call), 0 at the
    // end, -1 with *error set ("FILE:LINE: what is wrong").
    virtual int next(const Run &run, const Event **event, std::string *error) = 0;
    // Share of the run done so far, 0 to 1; negative when unknown.
    virtual double progress() const;
    // Warnings about the event the last next() gave ("FILE:LINE: warning:
    // ..."), to be shown before it is replayed; none by default.
    virtual const std::vector<std::string> &warnings() const;
    // After next() returned -1: true when nothing more can be read (a
    // read error, a line refused unread), false when the next call goes on
    // with the next event.
    virtual bool failed() const;
    // A flag (see install_stop_signals()) that, once non-zero, makes a
    // long read or parse give up: next() then answers 0 as at the end.
    // Sources that read quickly need not look at it.
    virtual void watch_stop(const volatile std::sig_atomic_t *flag);
};

// The longest recording line read (256 MiB): a longer line, or one with a
// NUL byte, is refused as soon as it is seen, so that a file that is not a
// recording cannot fill the memory before it is judged. A line holds eight
// images of the largest size (16 MiB, 32 MiB of hex digits) or a spectrum
// of 16 Mi values of up to 15 characters; parsing it costs at most about
// 28 bytes of memory a byte of line (a line of nothing but "0,"), about 6
// for hex pixels.
constexpr uint64_t kMaxRecordingLine = 256ULL << 20;

// A recording read line by line from a stream: one event in memory at a
// time. `name` is the FILE of FILE:LINE messages; `size` (bytes, 0 when
// unknown) only feeds progress().
class RecordingSource : public EventSource {
  public:
    RecordingSource(std::istream &in, std::string name, uint64_t size = 0);
    ~RecordingSource() override;
    // Open a recording file; null with *error set when it cannot be read
    // (a directory is refused here, before any read).
    static std::unique_ptr<RecordingSource> open(const std::string &path, std::string *error);
    bool read_header(RunHeader *out, std::string *error) override;
    int next(const Run &run, const Event **event, std::string *error) override;
    double progress() const override;
    const std::vector<std::string> &warnings() const override;
    bool failed() const override;
    void watch_stop(const volatile std::sig_atomic_t *flag) override;
    // A smaller bound than kMaxRecordingLine, for tests and tools.
    void limit_line_length(uint64_t bytes);

  private:
    enum LineResult {
        kLine,
        kEnd,
        kRefused,
        kStopped
    };
    static constexpr size_t kReadChunk = 1 << 16;
    bool fill();
    bool stop_raised() const;
    // One line without its line end (kLine), or why there is none: the
    // stream ended, the line was refused (*why says why), or the stop
    // flag was raised.
    int read_line(std::string *line, std::string *why);
    // The same, skipping blank lines and counting lines.
    int next_line(std::string *line, std::string *why);

    std::unique_ptr<std::istream> owned_;
    std::istream &in_;
    std::string name_;
    uint64_t size_;
    uint64_t consumed_ = 0;
    uint64_t line_limit_ = kMaxRecordingLine;
    const volatile std::sig_atomic_t *stop_ = nullptr;
    std::vector<char> buf_;
    size_t pos_ = 0, end_ = 0;  // unread bytes of buf_
    bool refused_ = false;      // a line was refused: nothing more is read
    long line_no_ = 0;
    std::string line_;
    Event event_;
    std::vector<std::string> warnings_;  // of event_
};

// Channel mix of a synthetic run; see kDefaultMix and parse_mix().
struct Mix {
    int markers = 0;                                       // marker=N       data type 1
    int values = 0;                                        // values=N       single values
    int nv_channels = 0, nv_items = 0;                     // namevalue=NxK  name-value blocks
    int spectra = 0, spect_members = 0, spect_values = 0;  // spectrum=NxMxV
    int images = 0, width = 0, height = 0, bpp = 0;        // image=NxWxHxB
    int eqs = 0;                                           // eq=N           EqData channels
};

// The default: hundreds of value channels, a few spectra, one megapixel
// 16-bit camera.
extern const char *const kDefaultMix;
// Help text describing the MIX syntax (lines ending in "\n").
extern const char *const kMixHelp;

// Parse "KIND=SIZE,..." (kinds marker, values, namevalue, spectrum, image,
// eq; each at most once; "" is a run without channels). false: *error set.
bool parse_mix(const std::string &text, Mix *out, std::string *error);

// A deterministic run generated in memory: the same events count and mix
// always give the same run. Each event is made by changing a few values of
// the previous one, so generating costs little and memory stays constant.
class SyntheticSource : public EventSource {
  public:
    SyntheticSource(long long events, const Mix &mix);
    ~SyntheticSource() override;
    bool read_header(RunHeader *out, std::string *error) override;
    int next(const Run &run, const Event **event, std::string *error) override;
    double progress() const override;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// ==== 5. Plug-in and run driver =============================================

// The four entry points of a plug-in, and its optional output status.
struct Entries {
    int (*init)(int, char **, zarn_daq_reader_2010 *) = nullptr;
    int (*loop)(zarn_daq_getdata *) = nullptr;
    int (*end)(zarn_daq_reader_2010 *) = nullptr;
    void (*help)() = nullptr;
    // korvel_output_failure(what, size), an unmangled C function a plug-in
    // may export; null when it does not. Asked after the end entry point:
    // 0 when every output file was written and closed whole, else the
    // errno of the first failure, with a NUL-terminated text of at most
    // `size` bytes naming the file and the reason in `what`.
    int (*output_failure)(char *, size_t) = nullptr;
};

// A plug-in loaded with dlopen; unloaded by unload() or the destructor.
class Plugin {
  public:
    Plugin() = default;
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;
    // Load `path` and find the entry points by their symbol names (and the
    // optional output status by its C name). false: *error says why
    // (nothing stays loaded).
    bool load(const std::string &path, std::string *error);
    void unload();
    const Entries &entries() const {
        return entries_;
    }

  private:
    void *handle_ = nullptr;
    Entries entries_;
};

// Where korvel-replay looks for the plug-in when neither --plugin nor
// KORVEL_PLUGIN names one: libKorvel.so beside the running program, else in
// ../lib beside it. Returns the first that exists (the first candidate when
// none does).
std::string default_plugin_path();

// Exit statuses of a run. A run ended early by a signal exits with 128 +
// the signal's number (130 SIGINT, 143 SIGTERM, 129 SIGHUP, 141 SIGPIPE).
enum ExitStatus {
    kExitOk = 0,            // run complete
    kExitOutputFailed = 1,  // run complete, but an output could not be written
    kExitBadInput = 2,      // usage error, recording error, plug-in not loaded
    kExitInitFailed = 3     // zarn_user_init_2010 returned non-zero
};

struct DriveOptions {
    std::string program = "korvel-replay";  // argv[0] and message prefix
    std::vector<std::string> words;         // argv[1]...
    std::optional<int> nbunch;              // override the header's
    std::optional<int> outmode;
    bool progress = false;  // progress bar on `diag`
    // When set and non-zero, the number of a signal that asks the run to
    // end: looked at before set-up, after every event, while a long line
    // is read and, in a long event, by the reader's queries (see
    // install_stop_signals()).
    const volatile std::sig_atomic_t *stop = nullptr;
    // The recording being read, when it is a file: no image file of the
    // plug-in may be it. The .bin files of -imbin are checked before
    // set-up, the files of single images before each event.
    std::string recording;
};

struct DriveResult {
    int status = kExitBadInput;  // an ExitStatus
    bool init_called = false;
    int init_result = 0;
    bool end_called = false;
    long long events = 0;         // loop calls
    long long failed = 0;         // loop calls that returned non-zero
    std::string error;            // the recording error, if any
    bool refused_output = false;  // the error: an image file onto the recording
    int stop_signal = 0;          // the signal that ended the run early, if any
    // The event a stop cut short in the middle (see Cursor::watch_stop).
    std::optional<uint32_t> cut_event;
    int stdout_error = 0;  // errno of a failed write to standard output
                           // while the progress bar routed it, else 0
    // One line per output that failed (the plug-in's files, the XML
    // description, standard output), without the program's prefix.
    std::vector<std::string> output_failures;
};

// Set the host globals for a run: nbunch and outmode from the header unless
// overridden, and the XML writer's dump_error.
void apply_globals(const RunHeader &header, const DriveOptions &opt);
// Set what dump_chan_desr() returns instead of writing (0: write); also
// forgets the write failures of an earlier run.
void set_dump_error(int code);

// Drive one run: read the header, set the globals, call init, then loop
// once per event, then end. A recording error in an event line still ends
// the run (end is called) before the result says kExitBadInput; so does a
// stop signal, with 128 + its number. After the end, the plug-in's output
// status, the XML writer's and standard output's are checked: a failure
// gives kExitOutputFailed unless the run already failed otherwise.
// Messages and the progress bar go to `diag`; standard output carries only
// what the plug-in and the host functions print.
DriveResult drive(const Entries &entries, EventSource &source, const DriveOptions &opt,
                  FILE *diag = stderr);

// Read the whole source without running anything: every recording error
// is reported on `diag` as FILE:LINE: what, and the reading goes on with
// the next line (a header error or a read error ends it); warnings are
// reported too. Returns kExitOk when no error was found, else
// kExitBadInput; a closing line on `diag` gives the counts.
int check_events(EventSource &source, const char *program, FILE *diag = stderr);

// ==== 6. Outputs and signals ================================================

// A file the plug-in's words make it write.
struct NamedOutput {
    const char *what;  // "event table", "event-ID file", "XML description"
    std::string path;  // as the plug-in will open it
};

// The files libKorvel writes for these option words, read as the plug-in
// reads them: the table (-out FILE, default ./user_out.txt) unless
// -nodump, ./user_evids.txt with -evstat, the XML description with -xdump
// (its FILE, default ./user_descr.xml). Image files take their names from
// the data and are not listed; words that make the plug-in stop at set-up
// (-fti followed by a word holding '-') list nothing.
std::vector<NamedOutput> plugin_outputs(const std::vector<std::string> &words);

// "-imdump run-7/", "-xdump my-file.xml": the word after -imdump or
// -xdump that holds '-' and is no option of the plug-in, with its option.
// The plug-in does not take such a word as the directory or file (images
// then go to ./, the description to ./user_descr.xml); korvel-replay
// warns of it.
std::vector<std::string> words_not_taken(const std::vector<std::string> &words);

// When -xdump names the event table itself (the same name, or the same
// file once both exist), the plug-in keeps the table and skips the XML
// description with a note on standard output; this gives the failure
// line for standard error, "" otherwise. Call it after the run.
std::string xml_onto_table(const std::vector<std::string> &words);

// The image files of -imdump as the words set them (none with -nodump).
struct ImageWords {
    bool on = false;   // -imdump
    bool bin = false;  // -imbin: DIR/CHANNEL.bin, appended to
    std::string dir = "./";
};
ImageWords image_words(const std::vector<std::string> &words);
// With -imbin: DIR/CHANNEL.bin of every named channel of the run, known
// before the run.
std::vector<NamedOutput> bin_files(const ImageWords &iw, const RunHeader &header);
// Without -imbin: the file each camera image of `event` would be written
// to, DIR/CHANNEL_ID_CTIME_MS.pgm (.raw, .ppm), named from the event.
std::vector<NamedOutput> image_files(const ImageWords &iw, const Run &run, const Event &event);

// The first of `outputs` that is the existing file `path` itself (same
// device and inode, through symbolic links), or null.
const NamedOutput *output_onto_file(const std::string &path,
                                    const std::vector<NamedOutput> &outputs);

// Make SIGINT, SIGTERM, SIGHUP and SIGPIPE ask the run to end after the
// event in progress instead of killing the process; a second SIGINT,
// SIGTERM or SIGHUP then ends it at once. SIGXFSZ is ignored, so that a
// write past the file-size limit fails (EFBIG) and is reported. Returns the flag to hand to
// DriveOptions::stop (the number of the first such signal, 0 while none).
const volatile std::sig_atomic_t *install_stop_signals();
// "SIGINT", "SIGTERM", "SIGHUP", "SIGPIPE"; "a signal" for others.
const char *stop_signal_name(int sig);

}  // namespace standin

#endif
