// h5_row.cc - the header row and the frame of every event row: leading
// columns, status columns, where each channel's cell begins and ends, and
// where a row cut short by the plug-in stops.
//
// The plug-in writes the line end only after the last channel, so a row
// that it gave up on (a failed reader query) has none, and the next event
// starts on the same line. Such a cut can only fall before a channel group
// or after a channel's server-block status column, so the reader looks for
// the start of an event there: in the comma dialect a bare integer field
// followed by "seconds:microseconds" (no cell is a bare integer), in the
// tab dialect "[TYPE]ID", two tabs and "seconds:microseconds" (no pixel
// list has a ']' before its first tab).
#include "h5_converter.h"

#include <cerrno>
#include <cstring>
#include <map>

static const char *HDF5_LEAD = "EventId,Time,TimeISO,";
static const char *TAB_LEAD = "EventId\tTime\t\t\t";

// ---- Small scanners ---------------------------------------------------------------

static const char *find_char(const char *p, const char *e, char c)
{
    const char *q = (const char *)memchr(p, c, (size_t)(e - p));
    return q ? q : e;
}

static bool starts(const char *p, const char *e, const char *lit)
{
    size_t n = strlen(lit);
    return (size_t)(e - p) >= n && memcmp(p, lit, n) == 0;
}

// "seconds:microseconds" in [b, e).
static bool parse_time(const char *b, const char *e, uint32_t *s, uint32_t *us)
{
    const char *colon = find_char(b, e, ':');
    int32_t a, c;
    if (colon == e || !parse_i32(b, colon, &a) || !parse_i32(colon + 1, e, &c))
        return false;
    *s = (uint32_t)a;
    *us = (uint32_t)c;
    return true;
}

// ---- Header -------------------------------------------------------------------------

// Splits the channel part of the header into titles. With status columns
// every title follows "SrvBlockStatus" and "ChanStatus", which also keeps
// a title that holds the separator whole.
static void split_titles(Run &run, const char *p, const char *e)
{
    char sep = run.dialect == DIALECT_HDF5 ? ',' : '\t';
    std::string marker = run.dialect == DIALECT_HDF5 ? "SrvBlockStatus,ChanStatus,"
                                                     : "SrvBlockStatus\t\t\tChanStatus\t\t\t";
    std::string_view rest(p, (size_t)(e - p));
    while (!rest.empty() || run.channels.empty()) {
        if (run.status_columns && rest.substr(0, marker.size()) == marker)
            rest.remove_prefix(marker.size());
        size_t cut = run.status_columns ? rest.find(sep + marker) : rest.find(sep);
        Channel ch;
        ch.title = std::string(rest.substr(0, cut));
        run.channels.push_back(std::move(ch));
        if (cut == std::string_view::npos)
            break;
        rest.remove_prefix(cut + 1);
    }
}

static bool is_event_start(const Run &run, const char *p, const char *e);

int header_read(Run &run, RowReader &rr, bool titles)
{
    const char *b, *e;
    bool nl;
    int r = input_line(*rr.in, &b, &e, &nl);
    if (r == 0) {
        message("%s: empty file, not an event table", run.opt.table.c_str());
        return -1;
    }
    const char *lead;
    if (starts(b, e, HDF5_LEAD))
        run.dialect = DIALECT_HDF5, lead = HDF5_LEAD;
    else if (starts(b, e, TAB_LEAD))
        run.dialect = DIALECT_TAB, lead = TAB_LEAD;
    else {
        error_line(run, 1, "not an event table: the first line does not begin with "
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
    if (titles)
        split_titles(run, p, e);
    return 0;
}

int rows_begin(Run &run, RowReader &rr, Input &in)
{
    if (input_rewind(in) != 0) {
        message("%s: cannot read it again: %s", run.opt.table.c_str(), strerror(errno));
        return -1;
    }
    rr.run = &run;
    rr.in = &in;
    rr.have_line = false;
    return header_read(run, rr, false);
}

size_t rows_channel_count(Run &run, Input &in)
{
    size_t lead = 3 + run.status_columns, per = run.status_columns ? 3 : 1;
    std::map<size_t, int> seen;
    const char *b, *e;
    bool nl;
    for (int i = 0; i < 20 && input_line(in, &b, &e, &nl) > 0 && nl;) {
        if (in.line == 1)
            continue;
        size_t f = hdf5_field_count(b, e);
        if (f > lead && (f - lead) % per == 0)
            seen[(f - lead) / per]++;
        i++;
    }
    size_t best = run.channels.size();
    int most = 0;
    for (auto &kv : seen)
        if (kv.second > most)
            best = kv.first, most = kv.second;
    return best;
}

static const char *hdf5_cell_end(const char *p, const char *e, bool *bad);

size_t hdf5_field_count(const char *b, const char *e)
{
    size_t n = 1;
    bool bad = false;
    for (const char *p = hdf5_cell_end(b, e, &bad); p < e && *p == ',' && !bad;
         p = hdf5_cell_end(p + 1, e, &bad))
        n++;
    return n;
}

// ---- Event starts and leading columns ------------------------------------------------

// Comma dialect: "ID,S:US," ; tab dialect: "[TYPE]ID\t\tS:US\t".
static bool is_event_start(const Run &run, const char *p, const char *e)
{
    int32_t id;
    uint32_t s, us;
    if (run.dialect == DIALECT_HDF5) {
        const char *c1 = find_char(p, e, ',');
        if (c1 == e || !parse_i32(p, c1, &id))
            return false;
        const char *c2 = find_char(c1 + 1, e, ',');
        return c2 < e && parse_time(c1 + 1, c2, &s, &us);
    }
    if (p == e || *p != '[')
        return false;
    const char *t = find_char(p, e, '\t');
    const char *close = t;
    while (close > p && close[-1] != ']')
        close--;
    if (close == p || t == e || e - t < 2 || t[1] != '\t' || !parse_i32(close, t, &id))
        return false;
    const char *t2 = find_char(t + 2, e, '\t');
    return t2 < e && parse_time(t + 2, t2, &s, &us);
}

// One "0x%X" status column and its separator (a comma, or three tabs in
// the tab dialect) at rr.p. Returns false when it does not read.
static bool read_status(RowReader &rr, int32_t *out)
{
    bool hdf = rr.run->dialect == DIALECT_HDF5;
    const char *f = find_char(rr.p, rr.end, hdf ? ',' : '\t');
    if (f == rr.end || !parse_hex32(rr.p, f, out))
        return false;
    if (!hdf && (rr.end - f < 3 || f[1] != '\t' || f[2] != '\t'))
        return false;
    rr.p = f + (hdf ? 1 : 3);
    return true;
}

// The event id column at p: "%d" (comma dialect) or "[TYPE]%d" and two
// tabs (tab dialect). Returns the position after it, or null.
static const char *read_event_id(const Run &run, const char *p, const char *e, Row &row)
{
    char sep = run.dialect == DIALECT_HDF5 ? ',' : '\t';
    const char *f = find_char(p, e, sep);
    int32_t id;
    if (run.dialect == DIALECT_HDF5) {
        if (f == e || !parse_i32(p, f, &id))
            return nullptr;
        row.type_name = std::string_view();
        row.id = (uint32_t)id;
        return f + 1;
    }
    const char *close = f;
    while (close > p && close[-1] != ']')
        close--;
    if (*p != '[' || close == p || e - f < 2 || f[1] != '\t' || !parse_i32(close, f, &id))
        return nullptr;
    row.type_name = std::string_view(p + 1, (size_t)(close - 1 - (p + 1)));
    row.id = (uint32_t)id;
    return f + 2;
}

// Reads the leading columns at rr.p into `row`. Returns false when the
// text there is no event's start.
static bool read_leading(RowReader &rr, Row &row)
{
    const Run &run = *rr.run;
    const char *e = rr.end;
    char sep = run.dialect == DIALECT_HDF5 ? ',' : '\t';
    const char *p = read_event_id(run, rr.p, e, row);
    if (!p)
        return false;
    const char *f = find_char(p, e, sep);
    if (f == e || !parse_time(p, f, &row.time_s, &row.time_us))
        return false;
    p = f + 1;
    f = find_char(p, e, sep);
    if (f == e)
        return false;
    row.iso = std::string_view(p, (size_t)(f - p));
    p = f + 1;
    row.status = 0;
    rr.p = p;
    return !run.status_columns || read_status(rr, &row.status);
}

// ---- Cell extents -------------------------------------------------------------------

// Comma dialect: up to the next comma at bracket depth 0. A list of
// numbers "[[1 2 ...]]" (a pixel list) ends at its first ']': it is found
// with memchr, so that megabytes of digits are not looked at byte by byte
// here (a '[' among the digits would make the cell unreadable by any kind,
// so it need not be looked for). Sets *bad for unbalanced brackets.
static const char *hdf5_cell_end(const char *p, const char *e, bool *bad)
{
    if (e - p > 3 && p[0] == '[' && p[1] == '[' && (unsigned)(p[2] - '0') < 10u) {
        const char *q = (const char *)memchr(p + 2, ']', (size_t)(e - p - 2));
        if (q && e - q >= 2 && q[1] == ']' && (q + 2 == e || q[2] == ','))
            return q + 2;
    }
    int depth = 0;
    const char *q = p;
    for (; q < e; q++) {
        char c = *q;
        if (c == '[')
            depth++;
        else if (c == ']') {
            if (--depth < 0)
                break;
        } else if (c == ',' && depth == 0)
            break;
    }
    *bad = depth != 0;
    return q;
}

// Tab dialect, "\t{": a name-value block, or an empty cell (its separator)
// followed by a spectrum. A first item with a name (':') or a "%.2e" value
// ('.') is a block's: no spectrum member holds either. An empty "\t{}" or
// a first item of integers (the integer form without names) reads both
// ways; then the channel's kind decides, and a block is taken while it is
// not known.
static bool tab_block_here(const char *p, const char *e, Kind hint)
{
    bool ambiguous = e - p >= 3 && p[2] == '}';
    if (e - p >= 4 && p[2] == '[' && p[3] != ' ') {
        const char *q = find_char(p + 3, e, ']');
        for (const char *c = p + 3; c < q; c++)
            if (*c == ':' || *c == '.')
                return true;
        ambiguous = q < e;
    }
    return ambiguous && (hint == KIND_BLOCK || hint == KIND_UNSET);
}

// Tab dialect: each cell by its own grammar, as tabs inside cells make
// field counts meaningless. Returns the end of the cell (its own trailing
// tab included, the separator not).
static const char *tab_cell_end(const char *p, const char *e, Kind hint, bool *bad)
{
    if (p == e)
        return p;
    if (*p == '\t') {
        if (e - p < 2 || p[1] != '{' || !tab_block_here(p, e, hint))
            return p;  // an empty cell
        for (const char *q = p + 2; q < e; q++) {
            q = find_char(q, e, '}');
            if (q == e)
                break;
            if (q + 1 == e || q[1] == '\t')
                return q + 1;
        }
        *bad = true;
        return e;
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
static void rest_of_row(Row &row, size_t from, bool cut)
{
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
    GROUP_SHORT,  // the line ends where the separator should stand
    GROUP_BAD     // status columns, brackets or separator do not read
};

// One channel group at rr.p: status columns, cell, separator.
static GroupResult read_group(RowReader &rr, Row &row, size_t k)
{
    const Run &run = *rr.run;
    RowCell &cell = row.cells[k];
    cell = RowCell();
    if (is_event_start(run, rr.p, rr.end))
        return GROUP_CUT;
    if (run.status_columns) {
        if (!read_status(rr, &cell.srv))
            return GROUP_BAD;
        if (is_event_start(run, rr.p, rr.end))
            return GROUP_CUT;
        if (!read_status(rr, &cell.chan))
            return GROUP_BAD;
    }
    bool bad = false;
    Kind hint = rr.hints ? (*rr.hints)[k] : KIND_UNSET;
    const char *q = run.dialect == DIALECT_HDF5 ? hdf5_cell_end(rr.p, rr.end, &bad)
                                                : tab_cell_end(rr.p, rr.end, hint, &bad);
    cell.b = rr.p, cell.e = q, cell.reached = true;
    if (bad)
        return GROUP_BAD;
    bool last = k + 1 == row.cells.size();
    char sep = run.dialect == DIALECT_HDF5 ? ',' : '\t';
    if (last && q != rr.end)
        return GROUP_BAD;
    if (!last && q == rr.end)
        return GROUP_SHORT;
    if (!last && *q != sep)
        return GROUP_BAD;
    rr.p = last ? q : q + 1;
    return GROUP_OK;
}

// The next line into rr. Returns 1, or 0 at the end of the table.
static int next_line(RowReader &rr)
{
    const char *b, *e;
    bool nl;
    if (input_line(*rr.in, &b, &e, &nl) == 0)
        return 0;
    rr.p = b, rr.end = e, rr.newline = nl, rr.have_line = true;
    return 1;
}

// Reports a row that does not read; with --strict it is an error.
static bool row_problem(RowReader &rr, uint64_t line, const char *what, const char *title)
{
    Run &run = *rr.run;
    if (run.opt.strict) {
        error_line(run, line, "%s%s%s", what, title ? " " : "", title ? title : "");
        return false;
    }
    if (rr.warn)
        warn_line(run, line, "%s%s%s", what, title ? " " : "", title ? title : "");
    return true;
}

// The file ends inside channel k's group: an interrupted run. Channel k
// and the ones after it were not reached.
static int file_cut(RowReader &rr, Row &row, size_t k)
{
    rest_of_row(row, k, true);
    rr.have_line = false;
    return row_problem(rr, row.line, "the last row is cut off (an interrupted run?)",
                       nullptr) ? 1 : -1;
}

// Reads the channel groups of the row whose leading columns were read.
// Returns 1, or -1 (strict mode) after an error.
static int read_groups(RowReader &rr, Row &row)
{
    size_t n = row.cells.size();
    for (size_t k = 0; k < n; k++) {
        GroupResult g = read_group(rr, row, k);
        if (g == GROUP_OK)
            continue;
        if (g == GROUP_CUT) {
            rest_of_row(row, k, true);
            return 1;
        }
        if (!rr.newline && (g == GROUP_SHORT || row.cells[k].e == rr.end))
            return file_cut(rr, row, k);
        size_t from = g == GROUP_SHORT ? k + 1 : k;
        const char *what = g == GROUP_SHORT ? "the row ends before channel"
                                            : "cannot read the cell of channel";
        rest_of_row(row, from, false);
        rr.have_line = false;
        return row_problem(rr, row.line, what, rr.run->channels[from].title.c_str()) ? 1
                                                                                    : -1;
    }
    if (!rr.newline) {
        // An empty last cell at the end of the file was never written.
        RowCell &last = row.cells[n - 1];
        if (last.b == last.e)
            last = RowCell();
        row.complete = false;
        rr.have_line = false;
        return row_problem(rr, row.line, "the last row has no line end (an interrupted run?)",
                           nullptr) ? 1 : -1;
    }
    rr.have_line = rr.p < rr.end;
    return 1;
}

int row_next(RowReader &rr, Row &row)
{
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
