// h5_converter.h - the converter's shared types: the run being converted, its
// channels, the rows read from the table, and the functions of each of the
// converter's subsystems (one source file each, named in every section).
//
// The converter reads the table twice. The survey (h5_survey.cc) walks all
// rows to learn what each channel holds over the run (its kind, the largest
// spectrum, the item names of a block, the image size) and decides each
// channel's kind once; the conversion (h5_convert.cc) walks them again and
// writes every cell into the datasets laid out by h5_layout.cc. Both walks
// go through the same loop and row reader (rows_walk, h5_row.cc), so they
// see the same events. When the table is long (and in the tab dialect
// every channel's kind is known before the walk), the survey stops after
// the first rows and the conversion surveys as it goes, into a run of its
// own (RowSurvey); the whole run's survey then confirms the layout or has
// the file made again (the one walk, h5_main.cc).
//
// Two things hold the design together. A `Run` is everything one
// conversion knows (options, channels, what the survey found, the XML
// description, the event columns), passed by reference from step to step.
// The kind table (KINDS, h5_kinds.cc) holds everything that differs by a
// channel's kind: the walks and the layout call a row's functions and
// never switch on the kind, so a new kind is a value of Kind here, a row
// with its functions in h5_kinds.cc and its grammar in h5_cells.cc.
#ifndef KORVEL_H5_CONVERTER_H
#define KORVEL_H5_CONVERTER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// ---- Dialects and kinds --------------------------------------------------

struct RowCell;

enum Dialect {
    DIALECT_TAB,
    DIALECT_HDF5
};

// The character between the columns of a dialect's rows and header.
inline char separator(Dialect d) {
    return d == DIALECT_HDF5 ? ',' : '\t';
}

// What a channel holds over the run. KIND_UNSET only before the decision.
// Each kind has its row in the kind table (KINDS, below).
enum Kind {
    KIND_NONE,
    KIND_MARKER,
    KIND_VALUE,
    KIND_BLOCK,
    KIND_SPECTRUM,
    KIND_IMAGE,
    KIND_COUNT,
    KIND_UNSET = -1
};

// Values of the `present` dataset.
enum Presence : int8_t {
    PRESENT_DATA = 1,          // the cell holds data
    PRESENT_NONE = 0,          // the cell says there is none
    PRESENT_EMPTY = 2,         // an empty cell
    PRESENT_BAD = -1,          // not understood
    PRESENT_NOT_REACHED = -2,  // the row was cut before this channel
    PRESENT_FAILED = -3        // the row was cut here: this channel's reader query failed
};

// ---- Options (h5_main.cc) -------------------------------------------------

struct ImageShape {
    uint32_t width = 0, height = 0, bytes = 0;  // bytes 0: not given
};
// The largest width or height of an image taken from an option or the
// XML description.
const uint32_t MAX_IMAGE_SIDE = 1u << 20;

struct Options {
    std::string table;      // the event table
    std::string out;        // the HDF5 file (written as out + ".part")
    std::string xml;        // XML description, empty: the one beside the table
    bool xml_none = false;  // --xml none: no XML description at all
    std::string run_name;   // --run, empty: the table's base name
    std::string fti_word;   // --fti-word FILE: print the -fti word only
    std::string names;      // the plug-in's standard output, empty: none
    // --kind and --image-shape: a title or a shell wildcard pattern on
    // titles; a later option wins over an earlier one.
    std::vector<std::pair<std::string, Kind>> kinds;
    std::vector<std::pair<std::string, ImageShape>> image_shapes;
    std::string like;       // --like RUN.h5: kinds and image shapes from it
    int gzip_level = 1;     // -1: no compression
    int threads = 1;        // compression threads
    bool strict = false;    // the first row not understood is an error
    bool progress = false;  // draw the progress bar
};

// ---- Memory of wide tables -------------------------------------------------

// Budget for the chunks being filled at one time (h5_layout.cc): with
// thousands of channels the per-event columns get fewer events per chunk.
// Image frames are outside it (one frame per chunk whatever their size).
const uint64_t CHUNK_MEMORY = 64u << 20;
// However few events a chunk holds, every channel fills one of its
// `present` column and one of its data, each a heap block of at least 32
// bytes: a table of more than MAX_CHANNELS channels cannot keep to the
// budget and is refused when its header is read.
const uint64_t CHANNEL_CHUNK_BYTES = 64;
const uint64_t MAX_CHANNELS = CHUNK_MEMORY / CHANNEL_CHUNK_BYTES;

// ---- Channels ---------------------------------------------------------------

// One spectrum member as the XML description records it.
struct XmlSpectrum {
    float start = 0, inc = 1;
    int64_t ndata = 0, groups = 0;
};

// What the survey learns of one channel over the run (the most values of
// each spectrum member are in the channel's ChannelExtra).
struct ChannelSurvey {
    uint64_t fits[KIND_COUNT] = {};  // cells that read as each kind
    uint64_t pixels = 0;             // image: most pixels in a cell
    uint64_t pixel_max = 0;          // image: largest pixel value seen
    int members = 0;                 // spectrum: most members in a cell
    int values = 0;                  // spectrum: most values in a member
    int max_items = 0;               // block: most items in a cell
    bool int_form = false;           // a value in the integer form was seen
    bool stats = false;              // spectrum: statistics occur
    bool nonvn = false;              // block: items without names
};

// How a channel's numbers were written, and the evidence that they lost
// precision, learnt by the survey (h5_precision.cc). A cell is read by
// every grammar it could follow, so the float forms are kept per kind.
struct Precision {
    bool float_value = false;     // a finite single value in "%f"
    bool float_item = false;      // a finite item in "%.2e"
    bool float_spectrum = false;  // a finite spectrum value in "%.e"
    uint64_t zeros = 0;           // "%f" values that read as 0
    uint64_t nonzeros = 0;        // "%f" values that do not
    uint64_t negative_zeros = 0;  // of the zeros, those written "-0.000000"
    uint64_t empty_cells = 0;     // cells that were empty
    uint64_t other_cells = 0;     // reached cells that were not
    // Decided with the kinds:
    const char *source_format = "";  // "%f", "%.2e", "%.e", "integer form", "%d", ""
    bool exact = true;
    bool lossy = false;
    bool fti_helps = false;  // -fti would make the values exact
    bool truncated = false;  // spectra cut (or possibly cut) by the plug-in
    bool certain = false;    // the evidence proves the loss (a 0 may be a true 0)
    bool eqdata = false;
    // The evidence itself (lossy_evidence) is in the channel's ChannelExtra.
};

// The parts of a channel that most channels never need: a common channel
// (one value an event, no XML record) has none, and a wide table would
// otherwise hold them empty a million times over. Made by channel_extra
// when a channel first needs one of them.
struct ChannelExtra {
    ImageShape shape_option;  // --image-shape (width 0: none)
    // From the XML description.
    std::string units, long_name;
    std::vector<XmlSpectrum> xml_spectra;
    ImageShape xml_image;
    bool xml_dims = false;           // the description holds spectrum or image records
    std::vector<int> member_values;  // spectrum survey: most values per member
    // Block items: names in order of first appearance, their index, and
    // the column id (h5_chunks.h) of each item's dataset.
    std::vector<std::string> items;
    std::unordered_map<std::string, int> item_index;
    std::vector<int> col_items;
    std::string evidence;  // lossy_evidence (Precision)
};

// One channel: what every walk touches for each of its cells, kept small;
// the rest is in `extra`.
struct Channel {
    std::string title;                    // as the table writes it
    std::string group;                    // path below /entry/channels
    std::unique_ptr<ChannelExtra> extra;  // null until needed (channel_extra)
    Kind kind = KIND_UNSET;
    Kind forced = KIND_UNSET;  // --kind (or image, from --image-shape alone)
    ImageShape shape;          // decided image shape (width 0: flat)
    // Column ids (h5_chunks.h) of the channel's datasets; -1 none.
    int col_present = -1, col_srv = -1, col_chan = -1, col_data = -1;
    int col_count = -1, col_stats = -1;
    ChannelSurvey survey;
    Precision precision;
    // Cells not understood in the conversion, and the first line.
    uint64_t bad_cells = 0, first_bad_line = 0;
    // Image cells whose pixels do not fit the shape (or depth) decided.
    uint64_t misfit_frames = 0;
    uint64_t left_out = 0;  // kind none: cells with data, not stored
};

// The channel's ChannelExtra, made empty the first time.
inline ChannelExtra &channel_extra(Channel &ch) {
    if (!ch.extra)
        ch.extra.reset(new ChannelExtra);
    return *ch.extra;
}

// The channel's ChannelExtra to read: an empty one when it has none.
inline const ChannelExtra &extra_of(const Channel &ch) {
    static const ChannelExtra none;
    return ch.extra ? *ch.extra : none;
}

// ---- The run ----------------------------------------------------------------

// The XML description as read (xml_read), by channel name, until
// xml_apply gives each channel its part.
struct XmlDescription {
    std::map<std::string, std::pair<std::string, std::string>> descr;  // units, desc
    std::map<std::string, std::vector<XmlSpectrum>> spectra;           // members
    std::map<std::string, ImageShape> images;                          // latest image
    std::map<std::string, bool> dims;  // names with a <dimensions> record
};

// Column ids of the event datasets (h5_chunks.h), made by the layout.
struct EventColumns {
    int event_id = -1, id = -1, time_s = -1, time_us = -1, time = -1, time_iso = -1, type_name = -1;
    int status = -1, complete = -1, line = -1;
};

// Everything one conversion knows, handed from step to step by main():
// the options, the channels, what the survey found, the XML description
// read and the event columns laid out. A Run starts empty; nothing of a
// run is kept elsewhere but the progress bar's and the signals' state
// (h5_messages.cc) and the layout's HDF5 handles while it runs.
struct Run {
    Options opt;
    Dialect dialect = DIALECT_HDF5;
    bool status_columns = false;  // EvHeadStatus and the per-channel pair
    std::vector<Channel> channels;
    // Found by the survey.
    uint64_t events = 0;
    uint64_t cut_events = 0;
    size_t iso_len = 1, type_len = 1;  // longest texts (at least 1)
    uint64_t warnings = 0;
    bool xml_loaded = false;     // an XML description was read
    XmlDescription xml;          // as read, before xml_apply
    EventColumns event_columns;  // the layout's ids of the event datasets
    // Converted in one walk (h5_main.cc): the layout was made from the
    // first rows, and the precision attributes wait for the end of the run.
    bool one_walk = false;
    // The first and the last row, seen by the conversion.
    uint32_t first_id = 0, last_id = 0;
    uint32_t first_s = 0, first_us = 0, last_s = 0, last_us = 0;
};

// ---- The kind table (h5_kinds.cc) -------------------------------------------------------

// Everything the converter does differently for one kind of channel, in
// one row: the survey, the layout and the conversion look the channel's
// kind up in KINDS and call its functions, and name no kind themselves.
// A new kind is a value of Kind (here), its row and functions in
// h5_kinds.cc, and its cell grammar in h5_cells.cc.
struct KindInfo {
    const char *name;      // as --kind, the channel table and @kind write it
    const char *nx_class;  // the class of the channel's group (null: none)
    // Among kinds that explain equally many cells of a channel, the lower
    // `tie` is taken (0: never taken from the cells). The first channel
    // of the lowest `viewer` is the file's default plot (0: never).
    int tie, viewer;
    // How the plug-in writes the kind's numbers: the form that loses
    // digits ("" none) and the survey's mark that it was seen, or a
    // format that holds whatever the cells say (null: learnt).
    const char *float_format;
    bool Precision::*float_seen;
    const char *fixed_format;
    // Reads a cell by this kind's grammar alone, storing nothing (null:
    // the kind has no grammar).
    Presence (*read)(Dialect d, const char *b, const char *e);
    // Survey of one cell with data: `claim` (may be null) counts a cell
    // that only this kind explains and returns true, and the other kinds
    // then leave it alone; `survey` counts a cell that reads as this kind.
    bool (*claim)(Dialect d, Channel &ch, const RowCell &cell);
    void (*survey)(Dialect d, Channel &ch, const RowCell &cell);
    // Once the kind is decided: `decide` settles the channel's sizes,
    // `event_bytes` is one event of its largest dataset, `column_bytes`
    // one event of its columns other than image frames (each may be null:
    // nothing to settle, no bytes).
    void (*decide)(Run &run, Channel &ch);
    uint64_t (*event_bytes)(const Channel &ch);
    uint64_t (*column_bytes)(const Channel &ch);
    // Plans the channel's per-event columns (h5_chunks.h) under `group`
    // (its path in the file, ending in '/'), and creates the channel's
    // datasets in its group (both HDF5's hid_t), the planned ones among
    // them (null: none).
    void (*columns)(Channel &ch, const std::string &group);
    void (*layout)(const Channel &ch, int64_t group, int64_t file);
    // Writes one reached, well-framed cell of event `ev`; returns its
    // presence (bad: the slot keeps the fill value).
    Presence (*write)(Dialect d, Channel &ch, const RowCell &cell, uint64_t ev);
    // Conversion, comma dialect: reads the cell at p where the row reader
    // finds it (its line ends at e) into event `ev`'s slots or the cell's
    // value, and returns the cell's end with cell.read set; null: the cell
    // is found and read the usual way (a null function: always so).
    const char *(*read_at)(const Channel &ch, uint64_t ev, const char *p, const char *e,
                           RowCell &cell);
    // Gives event `ev`'s slots their fill values back after read_at wrote
    // them for a cell the row reader did not keep (null: read_at writes no
    // slots).
    void (*blank)(const Channel &ch, uint64_t ev);
    // After the one walk: writes into the channel's group (HDF5's hid_t)
    // what only the whole run tells (null: nothing).
    void (*finish)(const Channel &ch, int64_t group);
};

extern const KindInfo KINDS[KIND_COUNT];

inline const KindInfo &kind_info(Kind k) {
    return KINDS[k];
}
// The kind's name ("unset" for KIND_UNSET).
const char *kind_name(Kind k);
// The kind named `s`, or KIND_UNSET.
Kind kind_from_name(std::string_view s);

// Every kind's name for --kind: "marker, value, ..., image" then
// `last` and "none".
std::string kind_names(const char *last);

// ---- Messages (h5_messages.cc) ------------------------------------------------------

// "korvel-h5: TABLE:LINE: warning: ..." on standard error, counted.
void warn_line(Run &run, uint64_t line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// "korvel-h5: TABLE:LINE: ..." on standard error (an error).
void error_line(const Run &run, uint64_t line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// "korvel-h5: ..." on standard error.
void message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The refusal of a table of more than MAX_CHANNELS channels.
void too_many_channels(const Run &run, uint64_t line, uint64_t channels);

// ---- An earlier conversion (h5_like.cc) -------------------------------------

// --like: every channel's kind and image shape from run.opt.like, which
// must hold the table's channels in the table's order. Returns 0, or 2
// with the reason said.
int like_apply(Run &run);

// ---- Reading lines (h5_input.cc) ------------------------------------------------

// A table file read line by line into a buffer used again and again; a
// line may be of any length (the buffer grows to hold it).
struct Input {
    int fd = -1;
    uint64_t size = 0;     // file size at open: the bytes both walks read
    uint64_t pos = 0;      // offset of the next line
    uint64_t line = 0;     // number of the line last handed out
    uint64_t read_to = 0;  // offset of the first byte not yet read
    char *buf = nullptr;   // holds the bytes [pos - begin, read_to) of the file
    size_t cap = 0, begin = 0, end = 0;
    size_t searched = 0;  // buf[begin, searched) holds no line end
    int error = 0;        // errno of a failed read (EIO: the file shrank)
    // The buffer's first size (it doubles only for a longer line); tests
    // make it small to reach every path with short lines.
    size_t min_buffer = 4u << 20;
};

// Opens `path`. Returns 0, -1 with errno set, or -2 when it is not a
// regular file (a pipe, a terminal, a device): the table is read twice.
int input_open(Input &in, const char *path);
// Why input_open failed, from its result (errno still as it left it).
const char *input_open_error(int result);
// Back to the first line.
int input_rewind(Input &in);
void input_close(Input &in);
// The next line: [*b, *e) without its "\n" (or "\r\n"); *newline tells whether it had
// one (only the last line of a file can lack it). Valid until the next
// call. Returns 1, 0 at the end of the file, or -1 when it cannot be read
// (input_error says why).
int input_line(Input &in, const char **b, const char **e, bool *newline);
const char *input_error(const Input &in);
// Bytes handed out so far (for the progress bar).
uint64_t input_consumed(const Input &in);

// ---- Rows (h5_row.cc) ------------------------------------------------------------

// One channel's part of a row: its status columns and its cell text.
struct RowCell {
    const char *b = nullptr, *e = nullptr;  // the cell, without its separator
    int32_t srv = 0, chan = 0;              // status columns (when present)
    bool reached = false;                   // false: the row ended before it
    bool bad = false;                       // its frame (status, separator) is broken
    bool failed = false;     // not reached: the row was cut at this channel (its query failed)
    bool srv_read = false;   // not reached, but its server-block status column was written
    bool uncertain = false;  // the row fits two readings here (the survey skips the cell)
    bool misfit = false;     // its text reads as no kind it could be (h5_row.cc)
    // Read where it was found (RowReader::read_at): DATA, with `npix`
    // pixels (an image), or `value` (a value, read_value; the integer form
    // when int_form), or (read_spectrum) a spectrum in its event's slots of
    // `members` members and at most `values` values, the members' counts at
    // `counts` (until the event is over), `stats` when it has statistics,
    // `int_form` and `float_form` as its numbers were written.
    bool read = false;
    uint64_t npix = 0;
    float value = 0;
    bool int_form = false;
    bool read_value = false, read_spectrum = false;
    int members = 0, values = 0;
    const int32_t *counts = nullptr;
    bool stats = false, float_form = false;
};

// One event of the table.
struct Row {
    uint64_t line = 0;     // line on which the row starts
    bool complete = true;  // false: cut short
    uint32_t id = 0, time_s = 0, time_us = 0;
    int32_t status = 0;
    std::string_view iso, type_name;
    std::vector<RowCell> cells;  // one per channel
};

// Reads events from a table whose header has been read.
struct RowReader {
    Run *run = nullptr;
    Input *in = nullptr;
    const char *p = nullptr, *end = nullptr;   // rest of the current line
    bool newline = true;                       // the current line had its "\n"
    bool have_line = false;                    // p..end still holds an event's start
    bool warn = true;                          // report structural problems (first walk only)
    const std::vector<Kind> *hints = nullptr;  // kinds, when known
    bool mark_uncertain = false;               // mark the cells of rows that fit two ways (survey)
    // Comma dialect: reads channel k's cell at p where it is found (pixel
    // lists, spectra and single values), so that its bytes are not
    // searched for its end first. Returns the cell's end and sets cell.read, or null:
    // the cell is then found and read the usual way.
    const char *(*read_at)(void *ctx, size_t k, const char *p, const char *e,
                           RowCell &cell) = nullptr;
    void *read_at_ctx = nullptr;
    // The row reader's own: places of a row that read two ways, a copy of
    // the cells.
    std::vector<std::pair<size_t, const char *>> choices;
    std::vector<RowCell> kept;
};

// Reads the header line, fills run.dialect, run.status_columns and (with
// `titles`) the titles of run.channels, split at the separator. A table
// without channels has no line end after its header: rr is then left on
// the first row. Returns 0, or -1 after an error message.
int header_read(Run &run, RowReader &rr, bool titles);
// Rewinds the table and reads past its header, for a walk over the rows.
int rows_begin(Run &run, RowReader &rr, Input &in);
// The channel count that most of the first complete events have (comma
// dialect), or the header's title count when no row tells.
size_t rows_channel_count(Run &run, Input &in);
// The next event: 1, 0 at the end of the table, -1 on a read error or
// (with --strict) a row not understood, after an error message.
int row_next(RowReader &rr, Row &row);

// A walk over every row, the loop both walks share: each(ctx, row, n)
// for the n-th event (from 0) returns 0 to go on, or ends the walk with
// its result; the progress bar is drawn, and an interrupt looked for,
// every `bar_every` events (a power of two).
struct RowWalk {
    int (*each)(void *ctx, const Row &row, uint64_t n);
    void *ctx;
    const char *bar_label;
    uint64_t bar_every;
};
// Rewinds the table and walks its rows with the reader `rr` as the caller
// set it up. Returns 0 at the end of the table, -1 after a read error (or
// a row not understood with --strict) or an interrupt, or what each
// returned.
int rows_walk(Run &run, RowReader &rr, Input &in, const RowWalk &walk);

// ---- Cells (h5_cells.cc) -----------------------------------------------------------

// What one cell says, read by the grammar of one kind. Data pointers may
// be null (the survey only counts); sizes bound what is written.
struct SpectrumOut {
    int members = 0, values = 0;  // capacity (conversion) of the arrays
    float *data = nullptr;        // [members][values]
    int32_t *count = nullptr;     // [members]
    float *stats = nullptr;       // [members][32]
    // Found:
    int seen_members = 0, seen_values = 0;
    std::vector<int> *member_values = nullptr;  // survey: most values per member
    bool seen_stats = false, int_form = false;
    bool float_form = false;  // a finite value in the float form
};

// Each returns a Presence: data, none, empty, or bad (the cell does not
// read as that kind).
Presence cell_marker(Dialect d, const char *b, const char *e);
Presence cell_value(Dialect d, const char *b, const char *e, float *out, bool *int_form);
// Calls item(ctx, name, value) for each item; nonvn tells whether the
// items have no names. A bad item leaves the cell bad.
typedef void (*ItemFn)(void *ctx, std::string_view name, float value);
Presence cell_block(Dialect d, const char *b, const char *e, ItemFn item, void *ctx, bool *nonvn,
                    bool *int_form);
Presence cell_spectrum(Dialect d, const char *b, const char *e, SpectrumOut &out);
// Pixels into out8 or out16 (one of them, capacity cap); *npix gets the
// count, *maxval the largest value (both also when out is null).
Presence cell_image(Dialect d, const char *b, const char *e, uint8_t *out8, uint16_t *out16,
                    uint64_t cap, uint64_t *npix, uint64_t *maxval);

// A comma-dialect value "[[X]]" at b whose end is found by reading it:
// X a number that number_at reads whole as a value, then "]]" and a comma
// or the line's end (`limit`). Returns the end of the cell, with *out and
// *int_form as cell_value gives them for it; null when the text at b is
// no such cell (it then reads as cell_value reads it, found the usual way).
const char *cell_value_at(const char *b, const char *limit, float *out, bool *int_form);

// A comma-dialect spectrum "[" members "]" at b whose end is found by
// reading it, followed by a comma or the line's end (`limit`). Returns the
// end of the cell, with `out` as cell_spectrum fills it for the cell;
// null when the text at b is no spectrum with data that reads whole (what
// was written into `out` is then to be discarded).
const char *cell_spectrum_at(const char *b, const char *limit, SpectrumOut &out);

// A comma-dialect pixel list "[[...]]" at b whose end is found by reading
// it (into out8 or out16, as cell_image does): the cell must close with
// "]]" before `limit` (the line's end) and be followed by a comma or end
// there. Returns the end of the cell, with *npix and *maxval as
// cell_image gives them for it; null when the text at b is no pixel list
// that reads whole and fits (the pixels read so far are then left in out).
const char *cell_image_at(const char *b, const char *limit, uint8_t *out8, uint16_t *out16,
                          uint64_t cap, uint64_t *npix, uint64_t *maxval);

// Numbers of the leading and status columns.
bool parse_i32(const char *b, const char *e, int32_t *out);    // "%d" of 32 bits
bool parse_hex32(const char *b, const char *e, int32_t *out);  // "0x%X"
// The printf forms of a number text.
enum NumberForm : unsigned {
    FORM_INT = 1,        // "%d": the integer form, a float's bit pattern
    FORM_FIXED = 2,      // "%f": a point, no exponent
    FORM_EXP_POINT = 4,  // "%.2e", "%e": a point and an exponent
    FORM_EXP = 8,        // "%.e": an exponent, no point
    FORM_SPECIAL = 16,   // "inf", "nan", with or without '-'
    FORM_INVALID = 32    // "Invalid": an infinite or NaN spectrum value
};
// The forms each kind of number may take.
const unsigned FORMS_VALUE = FORM_INT | FORM_FIXED | FORM_SPECIAL;
const unsigned FORMS_ITEM = FORM_INT | FORM_EXP_POINT | FORM_SPECIAL;
const unsigned FORMS_SPECTRUM = FORM_INT | FORM_EXP | FORM_INVALID;
const unsigned FORMS_STAT = FORM_EXP_POINT | FORM_SPECIAL;
// A number text of one of `forms` into *out: the integer form as the bit
// pattern it is, "Invalid" as NaN, any other as the nearest float.
bool parse_number(const char *b, const char *e, unsigned forms, float *out, bool *int_form);

// ---- Names and groups (h5_names.cc) -------------------------------------------------

// The group paths of every channel, by the documented rules.
void assign_groups(std::vector<Channel> &channels);
// The dataset name of a block item (a single HDF5 name, escaped).
std::string item_dataset_name(std::string_view item);
// The bare channel name of a title "NAME:SUB" (else the title).
std::string bare_name(const std::string &title);
// True when `s` is UTF-8 throughout (HDF5 strings are then marked so).
bool valid_utf8(std::string_view s);

// ---- The XML description and the channel listing (h5_meta.cc) ---------------------------

// Reads the XML description into the channels (units, long names,
// spectrum and image records). Returns 0, or -1 after a message.
int xml_read(Run &run, const std::string &path, std::vector<std::string> *names);
// Gives the channels what the XML description says of them.
void xml_apply(Run &run);
// Reads the channel titles of the plug-in's standard output. Returns 0,
// or -1 after a message.
int names_read(const std::string &path, std::vector<std::string> &titles);
// Make the header's titles agree with the row's channel count `n` when a
// title holds the separator. Returns 0, or -1 after a message.
int titles_resolve(Run &run, size_t n, const std::vector<std::string> &listing,
                   const std::vector<std::string> &xml_names);

// ---- Survey and kinds (h5_survey.cc) --------------------------------------------------

// Walks the rows and learns the channels. With `prefix_bytes` 0 every
// row; else the walk stops after the row that passes that many bytes of
// the table, and *estimate gets the events the whole table is likely to
// hold (0: the walk reached the end, the survey is whole). Returns 0, or
// -1 after an error message.
int survey_run(Run &run, Input &in, const char *bar_label, uint64_t prefix_bytes = 0,
               uint64_t *estimate = nullptr);

// The survey of a walk that is not its own: the one walk (h5_main.cc)
// hands it every row it converts.
struct RowSurvey {
    Run *run = nullptr;       // where it learns (a run of its own)
    std::vector<Kind> given;  // each channel's kind_given
    std::vector<char> skip;   // image channels whose cells need no survey
};
// A run that knows `run`'s channels as the table and the options give
// them, with nothing surveyed, and a RowSurvey that learns into it.
void survey_shadow(const Run &run, Run &shadow, RowSurvey &s);
// Learns one row.
void survey_row_add(RowSurvey &s, const Row &row);
// Empty when the layout decided for `a` is the one decided for `b`, else
// what differs (the first channel's).
std::string layout_difference(const Run &a, const Run &b);
// Gives `to` what the survey of `from` learnt of every channel and of the
// events, in place of its own.
void survey_take(Run &to, Run &from);
// The kind a channel has before its cells are read: --kind, else the
// XML description's spectrum or image records, else KIND_UNSET.
Kind kind_given(const Channel &ch);
// The image shape --image-shape gives, else the XML description's, with
// the XML description's depth where the option gives none.
ImageShape image_shape_given(const Channel &ch);
// Looks at one cell for every kind it could be, or only as `given` when
// the channel's kind is known before its cells (KIND_UNSET: not known).
void survey_cell(Dialect d, Channel &ch, const RowCell &cell, Kind given);
// Decides the kind (and the dataset shapes) of every channel. Returns 0,
// or -1 after an error message (a channel too large to convert).
int decide_kinds(Run &run);

// ---- The file layout (h5_layout.cc) ---------------------------------------------

// Creates the file's groups, attributes, fixed datasets and columns.
// Returns the file id, or -1 after a message.
long long layout_create(Run &run, const char *path, const char *version);
// Writes what the conversion learnt (the run's metadata: first and last
// event; after one walk also each channel's precision attributes) after
// the last chunk. Returns 0, or -1 after a message.
int layout_finish(Run &run, long long file);
// Closes the file. Returns 0, or -1.
int layout_close(Run &run, long long file);

// ---- Conversion (h5_convert.cc) -----------------------------------------------------

// Walks every row again and writes it. Returns 0, -1 after a message on
// the table (or an interrupt), -2 after a message on the output. With
// `survey` (the one walk) every row is also handed to it, and rows past
// the first `surveyed` (those the survey has not reported) are reported
// as the survey would; the cells not understood are then reported by
// report_bad_cells once the layout is known to hold.
int convert_run(Run &run, Input &in, const char *bar_label, RowSurvey *survey = nullptr,
                uint64_t surveyed = 0);
// One warning per channel with cells that were not understood.
void report_bad_cells(Run &run);

// ---- Precision (h5_precision.cc) -------------------------------------------------------

// The survey's view of one reached cell (empty or not) for the EqData mark.
void precision_cell(Channel &ch, const RowCell &cell);
// A cell that read as a single value v (`int_form`: in the integer form):
// its form, and whether it reads as zero.
void precision_value(Channel &ch, Dialect d, const RowCell &cell, float v, bool int_form);
// True when the XML description shows that a spectrum member held more
// values than the table wrote of it.
bool spectrum_truncated(const Channel &ch);
// Decides every channel's source format, exactness, evidence of loss and
// EqData mark once its kind is decided, and warns once for each lossy
// channel.
void precision_decide(Run &run);
// The closing lines on the lossy channels and how to get exact values.
void precision_summary(const Run &run);
// The shortest -fti word this converter makes that holds every name of
// `names` (the plug-in flags a channel whose name occurs anywhere in the
// word); names holding '-' (or empty) cannot be given in the word and go
// to *unflaggable.
std::string fti_word(const std::vector<std::string> &names, std::vector<std::string> *unflaggable);
// korvel-h5 --fti-word FILE: the word for every channel of a table, a
// channel listing or an XML description. Returns the exit status.
int fti_word_main(const std::string &path);

// ---- The output file (h5_output.cc) ---------------------------------------------------------

// Refuses (status 2) an OUT that is not a regular file or is the table,
// and an OUT.part that no interrupted run left; removes one that did.
int output_check(const Options &o, const std::string &part);
// Creates the empty OUT.part before any work. Returns 0, or 1 after a
// message naming it and the reason.
int output_create(const std::string &part);
// Ends the run with status `rc` (0, 1 or 2): renames OUT.part to OUT only
// when rc is 0 and no interrupt came, else removes it, and reports what
// happened. Returns the exit status (128 + the signal after an interrupt).
int output_finish(Run &run, const std::string &part, int rc);

// ---- Progress and interrupts (h5_messages.cc) -------------------------------------------------

// While held, warnings are neither printed nor counted: a decision made
// again says nothing new.
void warnings_hold(bool hold);
void progress_update(const Run &run, const Input &in, const char *label);
void progress_done(const Run &run);
// The first of SIGINT, SIGTERM or SIGHUP received (0: none); a second
// one ends the process at once.
int interrupted();
// Catches SIGINT, SIGTERM and SIGHUP (into interrupted(); a second one
// ends the process, see remove_part_on_second_interrupt), and ignores
// SIGXFSZ: a write past a file-size limit then fails with EFBIG instead
// of ending the process.
void catch_signals();
// Holds SIGINT, SIGTERM and SIGHUP back from here on (until the next
// catch_signals): interrupted() no longer changes, and the process ends
// with the answer already decided. interrupt_held() tells whether one
// came since.
void hold_interrupts();
bool interrupt_held();
// The file that a second interrupt removes before it ends the process.
void remove_part_on_second_interrupt(const char *path);

#endif
