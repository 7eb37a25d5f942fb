// h5_row.cc - the header row and the frame of every event row: leading
// columns, status columns, where each channel's cell begins and ends, and
// where a row cut short by the plug-in stops.
//
// The plug-in writes the line end only after the last channel, so a row
// that it gave up on (a failed reader query) has none, and the next event
// starts on the same line. Such a cut can only fall before a channel group
// or after a channel's server-block status column, so the reader looks for
// the start of an event there: its whole leading columns (in the comma
// dialect a bare integer field, "seconds:microseconds" and the ISO time; in
// the tab dialect "[TYPE]ID", two tabs, "seconds:microseconds" and the ISO
// time; then the event status when the table has status columns).
//
// In the tab dialect one text reads two ways: "\t{" is a name-value block,
// or an empty cell whose separator is followed by a spectrum. Where both
// readings fit the cell, the row reader takes the one the channels' kinds
// prefer and, when that leaves the row a cell short or long, the other.
#include "h5_converter.h"

#include <cerrno>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <map>
#include <string>

static const char *HDF5_LEAD = "EventId,Time,TimeISO,";
static const char *TAB_LEAD = "EventId\tTime\t\t\t";

// ---- Small scanners ---------------------------------------------------------------

static const char *find_char(const char *p, const char *e, char c) {
    const char *q = (const char *)memchr(p, c, (size_t)(e - p));
    return q ? q : e;
}

static bool starts(const char *p, const char *e, const char *lit) {
    size_t n = strlen(lit);
    return (size_t)(e - p) >= n && memcmp(p, lit, n) == 0;
}

// "seconds:microseconds" in [b, e).
static bool parse_time(const char *b, const char *e, uint32_t *s, uint32_t *us) {
    const char *colon = find_char(b, e, ':');
    int32_t a, c;
    if (colon == e || !parse_i32(b, colon, &a) || !parse_i32(colon + 1, e, &c))
        return false;
    *s = (uint32_t)a;
    *us = (uint32_t)c;
    return true;
}

// ---- Header -------------------------------------------------------------------------

// Calls title(t) for each title of the channel part of the header. With
// status columns every title follows "SrvBlockStatus" and "ChanStatus",
// which also keeps a title that holds the separator whole.
template <typename Fn>
static void each_title(const Run &run, const char *p, const char *e, Fn title) {
    char sep = separator(run.dialect);
    std::string marker = run.dialect == DIALECT_HDF5 ? "SrvBlockStatus,ChanStatus,"
                                                     : "SrvBlockStatus\t\t\tChanStatus\t\t\t";
    std::string_view rest(p, (size_t)(e - p));
    for (bool first = true; !rest.empty() || first; first = false) {
        if (run.status_columns && rest.substr(0, marker.size()) == marker)
            rest.remove_prefix(marker.size());
        size_t cut = run.status_columns ? rest.find(sep + marker) : rest.find(sep);
        title(rest.substr(0, cut));
        if (cut == std::string_view::npos)
            break;
        rest.remove_prefix(cut + 1);
    }
}

// Splits the channel part of the header into titles. They are counted
// first, so that a header of more than MAX_CHANNELS is refused before a
// record is made for any of them. Returns 0, or -1 after an error message.
static int split_titles(Run &run, const char *p, const char *e) {
    uint64_t n = 0;
    each_title(run, p, e, [&n](std::string_view) { n++; });
    if (n > MAX_CHANNELS) {
        too_many_channels(run, 1, n);
        return -1;
    }
    run.channels.reserve((size_t)n);
    each_title(run, p, e, [&run](std::string_view t) {
        run.channels.emplace_back();
        run.channels.back().title = std::string(t);
    });
    return 0;
}

static bool is_event_start(const Run &run, const char *p, const char *e);

int header_read(Run &run, RowReader &rr, bool titles) {
    const char *b, *e;
    bool nl;
    int r = input_line(*rr.in, &b, &e, &nl);
    if (r <= 0) {
        if (r < 0)
            message("%s: cannot read: %s", run.opt.table.c_str(), input_error(*rr.in));
        else
            message("%s: empty file, not an event table", run.opt.table.c_str());
        return -1;
    }
    const char *lead;
    if (starts(b, e, HDF5_LEAD))
        run.dialect = DIALECT_HDF5, lead = HDF5_LEAD;
    else if (starts(b, e, TAB_LEAD))
        run.dialect = DIALECT_TAB, lead = TAB_LEAD;
    else {
        error_line(run, 1,
                   "not an event table: the first line does not begin with "
                   "the titles EventId and Time");
        return -1;
    }
    const char *p = b + strlen(lead);
    const char *status = run.dialect == DIALECT_HDF5 ? "EvHeadStatus," : "EvHeadStatus\t\t\t";
    if (starts(p, e, status))
        run.status_columns = true, p += strlen(status);
    if (!nl || is_event_start(run, p, e)) {
        // A run without channels: the plug-in writes no line end at all,
        // so the header and every row share one line.
        if (!is_event_start(run, p, e) && p != e) {
            error_line(run, 1, "the header row has no line end");
            return -1;
        }
        rr.p = p, rr.end = e, rr.newline = nl, rr.have_line = p != e;
        return 0;
    }
    return titles ? split_titles(run, p, e) : 0;
}

int rows_begin(Run &run, RowReader &rr, Input &in) {
    if (input_rewind(in) != 0) {
        message("%s: cannot read it again: %s", run.opt.table.c_str(), strerror(errno));
        return -1;
    }
    rr.run = &run;
    rr.in = &in;
    rr.have_line = false;
    return header_read(run, rr, false);
}

int rows_walk(Run &run, RowReader &rr, Input &in, const RowWalk &walk) {
    if (rows_begin(run, rr, in) != 0)
        return -1;
    Row row;
    uint64_t n = 0;
    int r;
    while ((r = row_next(rr, row)) > 0) {
        if (int stop = walk.each(walk.ctx, row, n))
            return stop;
        n++;
        if ((n & (walk.bar_every - 1)) == 0) {
            progress_update(run, in, walk.bar_label);
            if (interrupted())
                return -1;
        }
    }
    return r;
}

static const char *hdf5_cell_end(const char *p, const char *e, bool *bad);

// Depth-0 fields of the last event on a comma-dialect line. A line may
// hold rows cut short before it: each event begins where an event's
// leading columns stand at a field's start. 0 when a bracket does not
// close.
static size_t last_event_fields(const Run &run, const char *b, const char *e) {
    size_t n = 0;
    bool bad = false;
    for (const char *p = b;; p++) {
        if (p != b && is_event_start(run, p, e))
            n = 0;
        n++;
        p = hdf5_cell_end(p, e, &bad);
        if (bad)
            return 0;
        if (p >= e)
            return n;
    }
}

size_t rows_channel_count(Run &run, Input &in) {
    size_t lead = 3 + run.status_columns, per = run.status_columns ? 3 : 1;
    // A count that 11 of the 20 rows looked at have is what most have,
    // whatever the rest say: the rows after it (megabytes each with a
    // camera) are not read. The header's titles and the first two rows
    // agreeing settle it sooner: a title holding a comma makes the header
    // longer than every row, and a damaged row rarely has a header's count,
    // let alone two in a row.
    const int rows = 20, majority = rows / 2 + 1, confirming = 2;
    const size_t titles = run.channels.size();
    std::map<size_t, int> seen;
    bool agreeing = true;
    const char *b, *e;
    bool nl;
    for (int i = 0; i < rows && input_line(in, &b, &e, &nl) > 0 && nl;) {
        if (in.line == 1 || !is_event_start(run, b, e))
            continue;
        size_t f = last_event_fields(run, b, e);
        bool fits = f > lead && (f - lead) % per == 0;
        agreeing = agreeing && fits && (f - lead) / per == titles;
        if (agreeing && i + 1 == confirming)
            return titles;
        if (fits && ++seen[(f - lead) / per] == majority)
            break;
        i++;
    }
    size_t best = run.channels.size();
    int most = 0;
    for (auto &kv : seen)
        if (kv.second > most)
            best = kv.first, most = kv.second;
    return best;
}

// ---- Event starts and leading columns ------------------------------------------------

// One "0x%X" status column and its separator (a comma, or three tabs in
// the tab dialect) at p. Returns the position after it, or null.
static const char *status_end(Dialect d, const char *p, const char *e, int32_t *out) {
    bool hdf = d == DIALECT_HDF5;
    const char *f = find_char(p, e, separator(d));
    if (f == e || !parse_hex32(p, f, out))
        return nullptr;
    if (!hdf && (e - f < 3 || f[1] != '\t' || f[2] != '\t'))
        return nullptr;
    return f + (hdf ? 1 : 3);
}

static bool read_status(RowReader &rr, int32_t *out) {
    const char *p = status_end(rr.run->dialect, rr.p, rr.end, out);
    if (p)
        rr.p = p;
    return p != nullptr;
}

// The event id column at p: "%d" (comma dialect) or "[TYPE]%d" and two
// tabs (tab dialect). Returns the position after it, or null.
static const char *read_event_id(const Run &run, const char *p, const char *e, Row &row) {
    // The first byte first: a pixel list's megabytes are not searched for
    // a separator.
    bool hdf = run.dialect == DIALECT_HDF5;
    if (p == e || (hdf ? *p != '-' && (unsigned)(*p - '0') >= 10u : *p != '['))
        return nullptr;
    const char *f = find_char(p, e, separator(run.dialect));
    int32_t id;
    if (hdf) {
        if (f == e || !parse_i32(p, f, &id))
            return nullptr;
        row.type_name = std::string_view();
        row.id = (uint32_t)id;
        return f + 1;
    }
    const char *close = f;
    while (close > p && close[-1] != ']')
        close--;
    if (close == p || e - f < 2 || f[1] != '\t' || !parse_i32(close, f, &id))
        return nullptr;
    row.type_name = std::string_view(p + 1, (size_t)(close - 1 - (p + 1)));
    row.id = (uint32_t)id;
    return f + 2;
}

// The leading columns at p read into `row`: event id, time, ISO time and
// (with status columns) the event status, each with its separator.
// Returns the position after them, or null when the text there is no
// event's start.
static const char *leading_end(const Run &run, const char *p, const char *e, Row &row) {
    char sep = separator(run.dialect);
    p = read_event_id(run, p, e, row);
    if (!p)
        return nullptr;
    const char *f = find_char(p, e, sep);
    if (f == e || !parse_time(p, f, &row.time_s, &row.time_us))
        return nullptr;
    p = f + 1;
    f = find_char(p, e, sep);
    if (f == e)
        return nullptr;
    row.iso = std::string_view(p, (size_t)(f - p));
    row.status = 0;
    return run.status_columns ? status_end(run.dialect, f + 1, e, &row.status) : f + 1;
}

// Whole leading columns of an event at p. No cell or status column begins
// like them: in the comma dialect no cell is a bare integer, in the tab
// dialect no pixel list has a ']' before its first tab.
static bool is_event_start(const Run &run, const char *p, const char *e) {
    Row scratch;
    return leading_end(run, p, e, scratch) != nullptr;
}

// Reads the leading columns at rr.p into `row`. Returns false when the
// text there is no event's start.
static bool read_leading(RowReader &rr, Row &row) {
    const char *p = leading_end(*rr.run, rr.p, rr.end, row);
    if (p)
        rr.p = p;
    return p != nullptr;
}

// ---- Cell extents -------------------------------------------------------------------

// The first '[', ']' or ',' in [p, e), or e. Spectra are long runs of
// numbers with a bracket now and then: sixteen bytes are looked at at once.
static const char *next_bracket_or_comma(const char *p, const char *e) {
#ifdef __SSE2__
    const __m128i open = _mm_set1_epi8('['), close = _mm_set1_epi8(']'), comma = _mm_set1_epi8(',');
    for (; e - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128((const __m128i *)p);
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, open), _mm_cmpeq_epi8(v, close)),
                                   _mm_cmpeq_epi8(v, comma));
        unsigned mask = (unsigned)_mm_movemask_epi8(hit);
        if (mask)
            return p + __builtin_ctz(mask);
    }
#endif
    for (; p < e; p++)
        if (*p == '[' || *p == ']' || *p == ',')
            return p;
    return e;
}

// Comma dialect: up to the next comma at bracket depth 0. A list of
// numbers "[[1 2 ...]]" (a pixel list) ends at its first ']': it is found
// with memchr, so that megabytes of digits are not looked at byte by byte
// here (a '[' among the digits would make the cell unreadable by any kind,
// so it need not be looked for). Sets *bad for unbalanced brackets.
static const char *hdf5_cell_end(const char *p, const char *e, bool *bad) {
    if (e - p > 3 && p[0] == '[' && p[1] == '[' && (unsigned)(p[2] - '0') < 10u) {
        const char *q = (const char *)memchr(p + 2, ']', (size_t)(e - p - 2));
        if (q && e - q >= 2 && q[1] == ']' && (q + 2 == e || q[2] == ','))
            return q + 2;
    }
    int depth = 0;
    const char *q = p;
    for (; (q = next_bracket_or_comma(q, e)) < e; q++) {
        char c = *q;
        if (c == '[')
            depth++;
        else if (c == ']') {
            if (--depth < 0)
                break;
        } else if (depth == 0)
            break;  // a comma
    }
    *bad = depth != 0;
    return q;
}

// Tab dialect, "\t{": a name-value block of this channel, or an empty cell
// (an EqData channel, a colour image) whose separator is followed by the
// next channel's spectrum "{...}". The items of a block are "%d", "%s:%d",
// "%.2e" or "%s:%.2e"; spectrum values are "%.e", "Invalid" or "%d"; so
// the two read alike only for "\t{}" and for items of bare integers (the
// integer form without names). Then the kinds of the two channels decide
// which reading comes first, and the other one is kept for the row
// reader to try when the first leaves the row a cell short or long.

// The end of the block "\t{...}" at p: its '}' followed by the separator
// or the line's end (no item holds a tab). Null when there is none.
static const char *tab_block_end(const char *p, const char *e) {
    for (const char *q = p + 2; q < e; q++) {
        q = find_char(q, e, '}');
        if (q == e)
            break;
        if (q + 1 == e || q[1] == '\t')
            return q + 1;
    }
    return nullptr;
}

static bool reads_as_block(const char *b, const char *e) {
    bool nonvn, intf;
    return cell_block(DIALECT_TAB, b, e, nullptr, nullptr, &nonvn, &intf) != PRESENT_BAD;
}

// A spectrum cell "{...}" at p (no member entry holds a '}').
static bool spectrum_at(const char *p, const char *e) {
    const char *q = find_char(p, e, '}');
    SpectrumOut out;
    return q < e && cell_spectrum(DIALECT_TAB, p, q + 1, out) != PRESENT_BAD;
}

// Whether the empty cell comes first when both readings fit: channel k is
// no block and the next channel is a spectrum, as far as the kinds known
// say.
static bool empty_first(Kind here, Kind next) {
    if (here == KIND_BLOCK)
        return false;
    if (next == KIND_SPECTRUM)
        return true;
    return here != KIND_UNSET && here != KIND_NONE && next == KIND_UNSET;
}

// The cell of channel k at p in the tab dialect that begins "\t{". `second`
// takes the reading that comes second; *two says whether there is one.
// *misfit: the cell reads neither way, or not as the kind known for
// channel k.
static const char *tab_brace_cell_end(const RowReader &rr, size_t k, bool last, const char *p,
                                      const char *e, bool second, bool *two, bool *bad,
                                      bool *misfit) {
    const std::vector<Kind> *h = rr.hints;
    Kind here = h ? (*h)[k] : KIND_UNSET;
    const char *block_end = tab_block_end(p, e);
    bool block = block_end && reads_as_block(p, block_end);
    bool empty = !last && spectrum_at(p + 1, e);
    bool take_empty = empty;
    if (block && empty) {
        *two = true;
        take_empty = empty_first(here, h ? (*h)[k + 1] : KIND_UNSET) != second;
    }
    bool known = here != KIND_UNSET && here != KIND_NONE;
    *misfit = take_empty ? here == KIND_BLOCK : !block || (known && here != KIND_BLOCK);
    if (take_empty)
        return p;
    if (!block_end) {
        *bad = true;
        return e;
    }
    return block_end;  // a block (not understood when it does not read as one)
}

// Tab dialect: each cell by its own grammar, as tabs inside cells make
// field counts meaningless. Returns the end of the cell (its own trailing
// tab included, the separator not).
static const char *tab_cell_end(const RowReader &rr, size_t k, bool last, bool second, bool *two,
                                bool *bad, bool *misfit) {
    const char *p = rr.p, *e = rr.end;
    if (p == e)
        return p;
    if (*p == '\t') {
        if (e - p < 2 || p[1] != '{')
            return p;  // an empty cell
        return tab_brace_cell_end(rr, k, last, p, e, second, two, bad, misfit);
    }
    if (*p == '{' || *p == '[') {
        const char *q = find_char(p, e, *p == '{' ? '}' : ']');
        if (q == e)
            *bad = true;
        return q == e ? e : q + 1;
    }
    for (const char *lit : {"No Image\t", "Invalid Image\t", "Not found"})
        if (starts(p, e, lit))
            return p + strlen(lit);
    const char *t = find_char(p, e, '\t');
    return t == e ? e : t + 1;
}

// ---- Rows ----------------------------------------------------------------------------

// Marks the channels from `from` on as not reached (cut: the row was cut
// short) or as not understood (the row is malformed there, not short).
static void rest_of_row(Row &row, size_t from, bool cut) {
    for (size_t k = from; k < row.cells.size(); k++) {
        row.cells[k] = RowCell();
        row.cells[k].bad = !cut;
    }
    if (cut)
        row.complete = false;
}

enum GroupResult {
    GROUP_OK,     // read, with its separator
    GROUP_CUT,    // an event starts here: the plug-in gave up on this row
    GROUP_END,    // the file ends here, without a line end: the same, in the last event
    GROUP_TRUNC,  // the file ends inside the group: an interrupted run
    GROUP_SHORT,  // the line ends where the separator should stand
    GROUP_BAD     // status columns, brackets or separator do not read
};

// Where the row stops within a group, before its cell: the next event,
// or (in the last line of the file, without its line end) the file's
// end. GROUP_OK when it goes on.
static GroupResult group_cut(const RowReader &rr) {
    if (is_event_start(*rr.run, rr.p, rr.end))
        return GROUP_CUT;
    if (rr.p == rr.end && !rr.newline)
        return GROUP_END;
    return GROUP_OK;
}

// A status column that does not read at the end of the file: cut inside.
static GroupResult bad_status(const RowReader &rr) {
    char sep = separator(rr.run->dialect);
    return !rr.newline && find_char(rr.p, rr.end, sep) == rr.end ? GROUP_TRUNC : GROUP_BAD;
}

// The server-block and channel status columns of a group at rr.p.
static GroupResult read_status_pair(RowReader &rr, RowCell &cell) {
    if (!read_status(rr, &cell.srv))
        return bad_status(rr);
    cell.srv_read = true;  // kept when the channel query failed after it
    GroupResult g = group_cut(rr);
    if (g != GROUP_OK)
        return g;
    if (!read_status(rr, &cell.chan))
        return bad_status(rr);
    cell.srv_read = false;
    return GROUP_OK;
}

// After a cell ending at q: the separator before the next group, or the
// line's end after the last one; rr.p moves to the next group.
static GroupResult group_end(RowReader &rr, const char *q, bool last) {
    if (last && q != rr.end)
        return GROUP_BAD;
    if (!last && q == rr.end)
        return GROUP_SHORT;
    if (!last && *q != separator(rr.run->dialect))
        return GROUP_BAD;
    rr.p = last ? q : q + 1;
    return GROUP_OK;
}

// One channel group at rr.p: status columns, cell, separator. `second`
// reads the cell the way that comes second; *two says whether it has one.
static GroupResult read_group(RowReader &rr, Row &row, size_t k, bool second, bool *two) {
    const Run &run = *rr.run;
    RowCell &cell = row.cells[k];
    cell = RowCell();
    GroupResult g = group_cut(rr);
    if (g != GROUP_OK || (run.status_columns && (g = read_status_pair(rr, cell)) != GROUP_OK))
        return g;
    bool bad = false;
    bool last = k + 1 == row.cells.size();
    const char *q = nullptr;
    if (run.dialect == DIALECT_HDF5 && rr.read_at)
        q = rr.read_at(rr.read_at_ctx, k, rr.p, rr.end, cell);
    if (!q)
        q = run.dialect == DIALECT_HDF5
                ? hdf5_cell_end(rr.p, rr.end, &bad)
                : tab_cell_end(rr, k, last, second, two, &bad, &cell.misfit);
    cell.b = rr.p, cell.e = q, cell.reached = true;
    if (q == rr.end && !rr.newline && (bad || !last))
        return GROUP_TRUNC;
    if (bad)
        return GROUP_BAD;
    return group_end(rr, q, last);
}

// The next line into rr. Returns 1, 0 at the end of the table, or -1 when
// it cannot be read (said here).
static int next_line(RowReader &rr) {
    const char *b, *e;
    bool nl;
    int r = input_line(*rr.in, &b, &e, &nl);
    if (r < 0)
        message("%s: cannot read: %s", rr.run->opt.table.c_str(), input_error(*rr.in));
    if (r <= 0)
        return r;
    rr.p = b, rr.end = e, rr.newline = nl, rr.have_line = true;
    return 1;
}

// Reports a row that does not read; with --strict it is an error.
static bool row_problem(RowReader &rr, uint64_t line, const char *what, const char *title) {
    Run &run = *rr.run;
    if (run.opt.strict) {
        error_line(run, line, "%s%s%s", what, title ? " " : "", title ? title : "");
        return false;
    }
    if (rr.warn)
        warn_line(run, line, "%s%s%s", what, title ? " " : "", title ? title : "");
    return true;
}

// How one reading of a row's channel groups ended.
struct Reading {
    GroupResult end = GROUP_OK;  // GROUP_OK: every channel read, up to the line's end
    size_t k = 0;                // the channel where it stopped
    bool misfit = false;         // a cell reads as no kind it could be
};

static bool reading_fits(const Reading &r) {
    return r.end != GROUP_SHORT && r.end != GROUP_BAD && !r.misfit;
}

static bool any_misfit(const Row &row) {
    for (const RowCell &c : row.cells)
        if (c.misfit)
            return true;
    return false;
}

// The row cut at channel k: the rest not reached. The server-block status
// column stands in the row when the channel query failed after it: it is
// kept.
static void cut_at(Row &row, size_t k, GroupResult g) {
    RowCell cut = row.cells[k];
    rest_of_row(row, k, true);
    row.cells[k].failed = g != GROUP_TRUNC;
    row.cells[k].srv_read = cut.srv_read;
    row.cells[k].srv = cut.srv;
}

// The last line of the file lacks its line end. An empty last cell was
// never written: the last channel's query failed.
static void unended_last_line(Row &row, Reading &r) {
    size_t n = row.cells.size();
    RowCell &last = row.cells[n - 1];
    r.end = GROUP_TRUNC, r.k = n;
    if (last.b == last.e) {
        last = RowCell();
        last.failed = true;
        r.end = GROUP_END, r.k = n - 1;
    }
    row.complete = false;
}

// Reads the channel groups from channel k0 at rr.p to the end of the row.
// `second` reads channel k0 the way that comes second; places that read
// two ways are pushed onto rr.choices (when `note`).
static Reading read_from(RowReader &rr, Row &row, size_t k0, bool second, bool note) {
    Reading r;
    row.complete = true;
    size_t n = row.cells.size();
    for (size_t k = k0; k < n; k++) {
        const char *at = rr.p;
        bool two = false;
        GroupResult g = read_group(rr, row, k, second && k == k0, &two);
        if (two && note && !(second && k == k0))
            rr.choices.emplace_back(k, at);
        if (g == GROUP_OK)
            continue;
        r.end = g, r.k = k;
        if (g == GROUP_CUT || g == GROUP_END || g == GROUP_TRUNC)
            cut_at(row, k, g);
        r.misfit = any_misfit(row);
        return r;
    }
    if (!rr.newline)
        unended_last_line(row, r);
    r.misfit = any_misfit(row);
    return r;
}

// Tries the other reading at each place of the row (read, and fitting)
// that reads two ways. Where that fits too, the cells the two readings
// give differently tell nothing certain of their channels. A row cut
// short, or one whose last cell is empty, can fit both ways.
static void mark_uncertain(RowReader &rr, Row &row) {
    rr.kept = row.cells;
    const char *p = rr.p;
    bool complete = row.complete;
    std::vector<char> differ(row.cells.size(), 0);
    // The other readings only tell where cells begin and end, which a
    // cell read in place ends where the usual way does; read in place,
    // they would write over the slots of the reading that is kept.
    auto read_at = rr.read_at;
    rr.read_at = nullptr;
    for (auto &c : rr.choices) {
        rr.p = c.second;
        if (!reading_fits(read_from(rr, row, c.first, true, false)))
            continue;
        for (size_t j = c.first; j < row.cells.size(); j++) {
            const RowCell &x = row.cells[j], &y = rr.kept[j];
            differ[j] |= x.b != y.b || x.e != y.e || x.reached != y.reached || x.failed != y.failed;
        }
    }
    rr.read_at = read_at;
    row.cells.swap(rr.kept);
    rr.p = p;
    row.complete = complete;
    for (size_t j = 0; j < row.cells.size(); j++)
        row.cells[j].uncertain = differ[j];
}

// At most this many other readings are tried for one row.
static const int MAX_REREADS = 64;

// Reads the channel groups of the row whose leading columns were read, in
// the first reading that fits: the plug-in ends a complete row with its
// last channel's cell and the line end, and cuts a row short only where a
// channel group would begin. When none fits, the first reading is kept
// for the report.
static Reading read_fitting(RowReader &rr, Row &row) {
    const char *start = rr.p;
    rr.choices.clear();
    Reading r = read_from(rr, row, 0, false, true);
    int n = 0;
    while (!reading_fits(r) && !rr.choices.empty() && n++ < MAX_REREADS) {
        auto c = rr.choices.back();
        rr.choices.pop_back();
        rr.p = c.second;
        r = read_from(rr, row, c.first, true, true);
    }
    if (!reading_fits(r) && n > 0) {
        rr.choices.clear();
        rr.p = start;
        r = read_from(rr, row, 0, false, false);
    }
    if (rr.mark_uncertain && reading_fits(r) && !rr.choices.empty())
        mark_uncertain(rr, row);
    return r;
}

// Reads the channel groups of the row whose leading columns were read.
// Returns 1, or -1 (strict mode) after an error.
static int read_groups(RowReader &rr, Row &row) {
    Reading r = read_fitting(rr, row);
    if (r.end == GROUP_OK || r.end == GROUP_CUT) {
        rr.have_line = r.end == GROUP_CUT || rr.p < rr.end;
        return 1;
    }
    rr.have_line = false;
    const std::vector<Channel> &chs = rr.run->channels;
    if (r.end == GROUP_END) {
        std::string what = "the last row stops before channel " + chs[r.k].title +
                           " without a line end (its reader query failed, or the run was "
                           "interrupted)";
        return row_problem(rr, row.line, what.c_str(), nullptr) ? 1 : -1;
    }
    if (r.end == GROUP_TRUNC)
        return row_problem(rr, row.line,
                           r.k == chs.size() ? "the last row has no line end (an interrupted run?)"
                                             : "the last row is cut off (an interrupted run?)",
                           nullptr)
                   ? 1
                   : -1;
    size_t from = r.end == GROUP_SHORT ? r.k + 1 : r.k;
    const char *what =
        r.end == GROUP_SHORT ? "the row ends before channel" : "cannot read the cell of channel";
    rest_of_row(row, from, false);
    return row_problem(rr, row.line, what, chs[from].title.c_str()) ? 1 : -1;
}

int row_next(RowReader &rr, Row &row) {
    Run &run = *rr.run;
    row.cells.resize(run.channels.size());
    for (;;) {
        if (!rr.have_line || rr.p == rr.end) {
            rr.have_line = false;
            int r = next_line(rr);
            if (r <= 0)
                return r;
        }
        row.line = rr.in->line;
        row.complete = true;
        if (read_leading(rr, row))
            break;
        rr.have_line = false;
        if (!row_problem(rr, row.line, "not an event row; skipped", nullptr))
            return -1;
    }
    if (run.channels.empty()) {
        rr.have_line = rr.p < rr.end;
        return 1;
    }
    return read_groups(rr, row);
}
