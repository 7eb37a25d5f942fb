// h5_main.cc - korvel-h5: the command line and the order of the work:
// check the output's paths and create OUT.part, read the header, learn the
// titles, survey the rows, lay out the file, convert, and only then give
// the file its name (h5_output.cc); or, for a long table, survey the
// first rows only and convert and survey the rest in one walk.
#include "h5_converter.h"
#include "h5_chunks.h"

#include <hdf5.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#ifndef KORVEL_VERSION
#define KORVEL_VERSION "unknown"
#endif

// %s: the --kind option, its kinds from the kind table (usage_text).
static const char *USAGE =
    "Usage: korvel-h5 [OPTION...] TABLE [-o OUT.h5]\n"
    "       korvel-h5 --fti-word TABLE|LISTING|XML\n"
    "\n"
    "Converts an event table of libKorvel (the comma dialect of -hdf5 or the tab\n"
    "dialect) into an HDF5 file that h5py, xarray, pandas and NeXus viewers read\n"
    "directly: every array is labelled by event id. The layout is described in\n"
    "docs/hdf5-layout.md.\n"
    "\n"
    "Options:\n"
    "  -o FILE               the HDF5 file (default: TABLE with its extension\n"
    "                        replaced by .h5); written as FILE.part and renamed\n"
    "                        at the end\n"
    "  --xml FILE|none       the run's XML description (-xdump); default:\n"
    "                        user_descr.xml beside TABLE when it exists; none:\n"
    "                        convert without one\n"
    "  --names FILE          the plug-in's standard output of the run: its channel\n"
    "                        listing gives the exact titles\n"
    "%s"
    "  --image-shape CHANNEL=WxH[xBYTES]\n"
    "                        an image channel and its frame size (and 1 or 2\n"
    "                        bytes per pixel) (repeatable); frames of another\n"
    "                        size are counted in a warning (--strict: an error)\n"
    "  --like RUN.h5         take every channel's kind, and an image's frame shape,\n"
    "                        from an earlier conversion of the same channels (a\n"
    "                        channel of kind none there is decided by its cells);\n"
    "                        --kind and --image-shape still count over it\n"
    "  --run NAME            the run's name, /entry@run (default: TABLE's file\n"
    "                        name without directory and extension)\n"
    "  --compression none|gzip[=LEVEL]\n"
    "                        default gzip=1, with the shuffle filter\n"
    "  --threads N           compression threads, 1 to 256 (default: every core)\n"
    "  --strict              a row or cell that cannot be understood is an error\n"
    "  --progress            draw a progress bar on standard error (default: only\n"
    "  --no-progress         when standard error is a terminal)\n"
    "  --fti-word FILE       print the plug-in word for -fti that flags every\n"
    "                        channel of a run, so that its values are written\n"
    "                        exactly; FILE is the run's table, the plug-in's\n"
    "                        standard output (channel listing) or the XML\n"
    "                        description; channels that no word can flag (a\n"
    "                        name holding '-') are named on standard error\n"
    "  --version             print the version\n"
    "  -h, --help            print this text\n"
    "Options with a value may also be written --option=VALUE.\n"
    "\n"
    "CHANNEL is the title as the table writes it, or a shell wildcard pattern\n"
    "(*, ?, [...]) on the titles; when several options name a channel, the last\n"
    "one counts (the same CHANNEL twice with different values is an error).\n"
    "--image-shape CHANNEL=... with the channel's very title, and --kind making\n"
    "that channel other than image, is an error.\n"
    "\n"
    "Values that the table's number formats cannot hold exactly (%f, %.e, %.2e,\n"
    "spectra cut by the plug-in) are named in a warning per channel and in the\n"
    "closing summary, with the -fti word that gives exact values.\n"
    "\n"
    "Exit status: 0 on success (warnings are counted on standard error); 1 when\n"
    "the HDF5 file could not be written; 2 for a usage error, an unreadable table\n"
    "or, with --strict, the first row not understood (FILE:LINE: what is wrong);\n"
    "130, 143 or 129 after SIGINT, SIGTERM or SIGHUP. On every failure the old\n"
    "output stays untouched. --fti-word: 0, 1 when a channel cannot be flagged,\n"
    "2 when FILE cannot be read.\n";

// An option of the help: its text after the option's 24 columns, wrapped
// before column 77.
static std::string help_option(const std::string &option, const std::string &text) {
    std::string out, line = option + std::string(24 - std::min<size_t>(option.size(), 23), ' ');
    for (size_t from = 0; from <= text.size();) {
        size_t end = std::min(text.find(' ', from), text.size());
        std::string word = text.substr(from, end - from);
        if (line.size() > 24 && line.size() + 1 + word.size() > 76)
            out += line + "\n", line = std::string(24, ' ');
        else if (line.size() > 24)
            line += ' ';
        line += word;
        from = end + 1;
    }
    return out + line + "\n";
}

// The help text, its --kind option naming the kinds of the kind table.
static std::string usage_text() {
    std::string text = USAGE;
    return text.replace(
        text.find("%s"), 2,
        help_option("  --kind CHANNEL=KIND",
                    "the kind of a channel: " + kind_names(" or ") + " (repeatable)"));
}

// ---- Options ----------------------------------------------------------------------------------

// "CHANNEL=VALUE", split at the last '=' (a title may hold '=').
static bool split_assignment(const std::string &s, std::string &name, std::string &value) {
    size_t eq = s.rfind('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    name = s.substr(0, eq);
    value = s.substr(eq + 1);
    return true;
}

static bool parse_uint(const std::string &s, uint32_t max, uint32_t *out) {
    if (s.empty() || s.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (uint64_t)(c - '0');
    }
    if (v > max)
        return false;
    *out = (uint32_t)v;
    return true;
}

// "WxH" or "WxHxBYTES".
static bool parse_shape(const std::string &s, ImageShape &shape) {
    size_t x1 = s.find('x');
    size_t x2 = x1 == std::string::npos ? x1 : s.find('x', x1 + 1);
    if (x1 == std::string::npos)
        return false;
    std::string h = s.substr(x1 + 1, x2 == std::string::npos ? x2 : x2 - x1 - 1);
    if (!parse_uint(s.substr(0, x1), MAX_IMAGE_SIDE, &shape.width) ||
        !parse_uint(h, MAX_IMAGE_SIDE, &shape.height) || shape.width == 0 || shape.height == 0)
        return false;
    if (x2 != std::string::npos)
        return parse_uint(s.substr(x2 + 1), 2, &shape.bytes) && shape.bytes >= 1;
    return true;
}

static bool parse_compression(const std::string &v, int *level) {
    if (v == "none")
        return *level = -1, true;
    if (v == "gzip")
        return *level = 1, true;
    uint32_t l;
    if (v.compare(0, 5, "gzip=") == 0 && parse_uint(v.substr(5), 9, &l))
        return *level = (int)l, true;
    return false;
}

static int usage_error(const std::string &fmt, const std::string &arg) {
    fprintf(stderr, "korvel-h5: ");
    fprintf(stderr, fmt.c_str(), arg.c_str());
    fprintf(stderr, "\nTry 'korvel-h5 --help'.\n");
    return 2;
}

static bool operator==(const ImageShape &a, const ImageShape &b) {
    return a.width == b.width && a.height == b.height && a.bytes == b.bytes;
}

// True when an earlier option of the same name gave the same CHANNEL text
// another value: which one was meant cannot be told, so neither is taken.
// (Different texts that match one channel are ordered: the last wins.)
template <typename V>
static bool said_otherwise(const std::vector<std::pair<std::string, V>> &given,
                           const std::string &channel, const V &value) {
    for (const auto &kv : given)
        if (kv.first == channel && !(kv.second == value))
            return true;
    return false;
}

// --kind CHANNEL=KIND. Returns 0, or an exit status.
static int take_kind(Options &o, const std::string &v) {
    std::string a, b;
    if (!split_assignment(v, a, b) || kind_from_name(b) == KIND_UNSET)
        return usage_error(
            "--kind wants CHANNEL=KIND with KIND one of " + kind_names(", ") + ": '%s'", v);
    if (said_otherwise(o.kinds, a, kind_from_name(b)))
        return usage_error("--kind names '%s' twice with different kinds", a);
    o.kinds.emplace_back(a, kind_from_name(b));
    return 0;
}

// --image-shape CHANNEL=WxH[xBYTES]. Returns 0, or an exit status.
static int take_image_shape(Options &o, const std::string &v) {
    std::string a, b;
    ImageShape s;
    if (!split_assignment(v, a, b) || !parse_shape(b, s))
        return usage_error("--image-shape wants CHANNEL=WxH or CHANNEL=WxHxBYTES "
                           "(BYTES 1 or 2): '%s'",
                           v);
    if (said_otherwise(o.image_shapes, a, s))
        return usage_error("--image-shape names '%s' twice with different shapes", a);
    o.image_shapes.emplace_back(a, s);
    return 0;
}

// One option with its value. Returns 0, or an exit status.
static int take_option(Options &o, const std::string &name, const std::string &v) {
    if (name == "-o")
        o.out = v;
    else if (name == "--xml") {
        if (v.empty())
            return usage_error("--xml wants a FILE, or none for no XML description%s", "");
        o.xml_none = v == "none";
        o.xml = o.xml_none ? "" : v;
    } else if (name == "--run") {
        if (v.empty())
            return usage_error("--run wants a NAME%s", "");
        o.run_name = v;
    } else if (name == "--fti-word") {
        if (v.empty())
            return usage_error("--fti-word wants a FILE%s", "");
        o.fti_word = v;
    } else if (name == "--names")
        o.names = v;
    else if (name == "--like") {
        if (v.empty())
            return usage_error("--like wants the HDF5 file of an earlier conversion%s", "");
        o.like = v;
    } else if (name == "--kind")
        return take_kind(o, v);
    else if (name == "--image-shape")
        return take_image_shape(o, v);
    else if (name == "--compression") {
        if (!parse_compression(v, &o.gzip_level))
            return usage_error("--compression wants none, gzip or gzip=LEVEL (0 to 9): '%s'", v);
    } else if (name == "--threads") {
        uint32_t n;
        if (!parse_uint(v, CHUNKS_MAX_THREADS, &n) || n == 0)
            return usage_error("--threads wants a number from 1 to " +
                                   std::to_string(CHUNKS_MAX_THREADS) + ": '%s'",
                               v);
        o.threads = (int)n;
    } else
        return usage_error("unknown option '%s'", name);
    return 0;
}

static bool takes_value(const std::string &name) {
    for (const char *n : {"-o", "--xml", "--names", "--kind", "--image-shape", "--compression",
                          "--threads", "--run", "--fti-word", "--like"})
        if (name == n)
            return true;
    return false;
}

// TABLE with its extension (if any) replaced by ".h5".
static std::string default_output(const std::string &table) {
    size_t slash = table.rfind('/'), dot = table.rfind('.');
    bool ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (ext ? table.substr(0, dot) : table) + ".h5";
}

// The table and output the arguments name, once all are read. Returns -1
// to go on, else an exit status.
static int check_args(Options &o) {
    if (!o.fti_word.empty()) {
        if (!o.table.empty())
            return usage_error("--fti-word reads one FILE and converts nothing: '%s'", o.table);
        return -1;
    }
    if (o.table.empty())
        return usage_error("%sno TABLE given", "");
    if (o.out.empty())
        o.out = default_output(o.table);
    if (o.out == o.table)
        return usage_error("the output would replace the table '%s'", o.table);
    return -1;
}

// Parses argv into `o`. Returns -1 to go on, else an exit status.
static int parse_args(int argc, char **argv, Options &o) {
    unsigned hw = std::thread::hardware_concurrency();
    o.threads = hw == 0 ? 1 : hw > (unsigned)CHUNKS_MAX_THREADS ? CHUNKS_MAX_THREADS : (int)hw;
    o.progress = isatty(2);
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i], v;
        size_t eq = a.find('=');
        if (a.compare(0, 2, "--") == 0 && eq != std::string::npos)
            v = a.substr(eq + 1), a = a.substr(0, eq);
        else if (takes_value(a)) {
            if (i + 1 >= argc)
                return usage_error("option '%s' needs a value", a);
            v = argv[++i];
        }
        if (a == "-h" || a == "--help")
            return fputs(usage_text().c_str(), stdout), 0;
        if (a == "--version")
            return printf("korvel-h5 %s\n", KORVEL_VERSION), 0;
        if (a == "--strict" || a == "--progress" || a == "--no-progress") {
            if (a == "--strict")
                o.strict = true;
            else
                o.progress = a == "--progress";
        } else if (takes_value(a)) {
            if (int r = take_option(o, a, v))
                return r;
        } else if (a.size() > 1 && a[0] == '-')
            return usage_error("unknown option '%s'", a);
        else if (o.table.empty())
            o.table = a;
        else
            return usage_error("more than one table: '%s'", a);
    }
    return check_args(o);
}

// ---- The run ----------------------------------------------------------------------------------

// The XML description: --xml, else user_descr.xml beside the table.
static int read_xml(Run &run, std::vector<std::string> &names) {
    std::string path = run.opt.xml;
    if (run.opt.xml_none)
        return 0;
    if (path.empty()) {
        size_t slash = run.opt.table.rfind('/');
        std::string dir = slash == std::string::npos ? "" : run.opt.table.substr(0, slash + 1);
        struct stat st;
        if (stat((dir + "user_descr.xml").c_str(), &st) != 0)
            return 0;
        path = dir + "user_descr.xml";
    }
    return xml_read(run, path, &names);
}

// A title or a shell wildcard pattern on titles ('*' also matches '/').
static bool names_channel(const std::string &pattern, const std::string &title) {
    return pattern == title || fnmatch(pattern.c_str(), title.c_str(), 0) == 0;
}

// --kind and --image-shape name channels by their titles or by patterns;
// a later option wins. --image-shape alone makes a channel an image.
// Returns 0, or an exit status when an option names no channel.
static int apply_channel_options(Run &run) {
    for (auto &kv : run.opt.image_shapes) {
        bool found = false;
        for (Channel &ch : run.channels)
            if (names_channel(kv.first, ch.title))
                channel_extra(ch).shape_option = kv.second, ch.forced = KIND_IMAGE, found = true;
        if (!found)
            return usage_error("--image-shape: no channel of the table is titled '%s' "
                               "or matches it",
                               kv.first);
    }
    for (auto &kv : run.opt.kinds) {
        bool found = false;
        for (Channel &ch : run.channels)
            if (names_channel(kv.first, ch.title))
                ch.forced = kv.second, found = true;
        if (!found)
            return usage_error("--kind: no channel of the table is titled '%s' or matches it",
                               kv.first);
    }
    // A shape given for a channel by its very title asks for an image; a
    // pattern's shape may be overruled by a --kind for some of its channels.
    for (auto &kv : run.opt.image_shapes)
        for (const Channel &ch : run.channels)
            if (ch.title == kv.first && ch.forced != KIND_IMAGE)
                return usage_error("channel '%s' has an --image-shape, but --kind makes it " +
                                       std::string(kind_name(ch.forced)) +
                                       "; a shape needs kind image",
                                   ch.title);
    return 0;
}

// Header, titles, XML, channel options, groups. Returns 0 or an exit status.
static int learn_channels(Run &run, Input &in) {
    RowReader rr;
    rr.run = &run;
    rr.in = &in;
    if (header_read(run, rr, true) != 0)
        return 2;
    std::vector<std::string> listing, xml_names;
    if (!run.opt.names.empty() && names_read(run.opt.names, listing) != 0)
        return 2;
    if (read_xml(run, xml_names) != 0)
        return 2;
    size_t n = run.dialect == DIALECT_HDF5 && !run.channels.empty() ? rows_channel_count(run, in)
                                                                    : run.channels.size();
    if (!run.channels.empty() && titles_resolve(run, n, listing, xml_names) != 0)
        return 2;
    xml_apply(run);
    if (!run.opt.like.empty())
        if (int r = like_apply(run))
            return r;
    if (int r = apply_channel_options(run))
        return r;
    assign_groups(run.channels);
    return 0;
}

// What converting costs besides the chunks being filled: measured with
// bench/wide_memory.sh, about 1.4 KiB per value channel (its bookkeeping,
// its columns, HDF5's records of its datasets) over some 23 MiB; rounded
// up, as other kinds have more columns.
static const uint64_t BYTES_PER_CHANNEL = 2u << 10;
static const uint64_t BYTES_BESIDES = 128u << 20;

// A table so wide that converting it would take more than half of the
// machine's memory is refused before the survey: the kernel would end the
// run (and perhaps other processes) part-way instead; so is one of more
// than MAX_CHANNELS channels. Returns 0 or 2.
static int check_width(const Run &run) {
    if (run.channels.size() > MAX_CHANNELS) {  // a channel listing may give more than the header
        too_many_channels(run, 0, run.channels.size());
        return 2;
    }
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0)
        return 0;
    uint64_t memory = (uint64_t)pages * (uint64_t)page;
    uint64_t need = (uint64_t)run.channels.size() * BYTES_PER_CHANNEL + BYTES_BESIDES;
    if (need <= memory / 2)
        return 0;
    message("%s: %zu channels would need about %llu MiB to convert (some %llu KiB each), "
            "more than half of this machine's %llu MiB; not converted",
            run.opt.table.c_str(), run.channels.size(), (unsigned long long)(need >> 20),
            (unsigned long long)(BYTES_PER_CHANNEL >> 10), (unsigned long long)(memory >> 20));
    return 2;
}

// The one walk (write_in_one_walk): the survey of the rows it converts,
// into a run of its own, and how many rows the survey of the first rows
// read (and reported) already.
struct OneWalk {
    Run whole;
    RowSurvey rows;
    uint64_t surveyed = 0;
};

// What write_file returns when the one walk's file must be made again.
static const int CONVERT_AGAIN = 3;

// After the one walk: the whole run's survey decides the kinds and sizes
// (and says what that decision has to say). When they are those the
// layout was made with, the file stands: its precision attributes follow
// from the whole survey. Returns 0, CONVERT_AGAIN, or 2 after an error
// message.
static int one_walk_settle(Run &run, OneWalk &one) {
    Run &whole = one.whole;
    int d = decide_kinds(whole);
    run.warnings += whole.warnings;
    if (d != 0)
        return 2;
    std::string why = layout_difference(run, whole);
    survey_take(run, whole);
    if (!why.empty()) {
        message("%s: the whole run needs another layout than its first %llu events: %s; "
                "converting again",
                run.opt.table.c_str(), (unsigned long long)one.surveyed, why.c_str());
        return CONVERT_AGAIN;
    }
    precision_decide(run);
    report_bad_cells(run);
    return 0;
}

// Columns whose dataset stays open for the whole run: the event columns,
// which come first, and a few more. An open dataset holds its object
// header in the file's small metadata cache (h5_layout.cc), so with
// hundreds open the cache writes out and reads back all else: 256 open
// made a 310-channel run 4-11 % slower and a 20 000-channel run 7-12 %
// slower, with 4 MB more memory.
static const size_t OPEN_COLUMNS = 16;

// Lays out OUT.part, converts into it and closes it. Returns 0, or 1 for
// an output failure, 2 for a table failure; after the one walk (`one`)
// also CONVERT_AGAIN.
static int write_file(Run &run, Input &in, const std::string &part, OneWalk *one) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    if (chunks_start(run.opt.gzip_level, run.opt.threads, OPEN_COLUMNS) != 0) {
        message("%s", chunks_error());
        return 1;
    }
    // With threads the layout is made on a worker while the rows are
    // converted (h5_chunks.h); a wide run's layout stops early at an
    // interrupt, which is then the run's end, not a failure to report.
    long long file = layout_create(run, part.c_str(), KORVEL_VERSION);
    if (file < 0) {
        chunks_finish(0);
        return interrupted() ? 2 : 1;
    }
    int c = convert_run(run, in, "convert", one ? &one->rows : nullptr, one ? one->surveyed : 0);
    int rc = c == 0 ? 0 : c == -2 ? 1 : 2;
    progress_done(run);
    if (chunks_finish(run.events) != 0 && rc == 0) {
        rc = interrupted() ? 2 : 1;
        if (rc == 1)
            message("%s: %s", run.opt.out.c_str(), chunks_error());
    }
    // Only now is the layout job done with the run's channels.
    if (rc == 0 && one)
        rc = one_walk_settle(run, *one);
    if (rc == 0 && layout_finish(run, file) != 0)
        rc = 1;
    if (layout_close(run, file) != 0 && (rc == 0 || rc == CONVERT_AGAIN))
        rc = 1;
    if (rc == 1 && (errno == ENOSPC || errno == EDQUOT || errno == EFBIG))
        message("%s: %s", run.opt.out.c_str(), strerror(errno));
    return rc;
}

// A table longer than this is converted in one walk when it can be: the
// survey reads only its first rows (at least this many bytes) to lay out
// the file, and the conversion learns the rest as it goes.
static const uint64_t FIRST_ROWS_BYTES = 4u << 20;

// The one walk decides from the first rows what two walks decide from
// all of them, and the whole run's survey confirms it. A channel whose
// kind is not known before the walk (--kind, the XML description, --like)
// is read by every kind's grammar as the rows go by; in the tab dialect
// the kinds decided also settle where a cell ends (a block or an empty
// cell before a spectrum), and the first rows' decision would then read
// the rows otherwise than the survey does, so there every kind must be
// known. --strict stops at the first cell not understood, which a layout
// made from the first rows might not hold.
static bool one_walk_fits(const Run &run) {
    if (run.opt.strict)
        return false;
    if (run.dialect == DIALECT_HDF5)
        return true;
    for (const Channel &ch : run.channels)
        if (kind_given(ch) == KIND_UNSET)
            return false;
    return true;
}

// What the conversion left in the channels, cleared for another.
static void conversion_reset(Run &run) {
    for (Channel &ch : run.channels) {
        ch.col_present = ch.col_srv = ch.col_chan = ch.col_data = -1;
        ch.col_count = ch.col_stats = -1;
        ch.bad_cells = ch.first_bad_line = ch.misfit_frames = ch.left_out = 0;
        if (ch.extra)
            ch.extra->col_items.clear();
    }
}

// The layout decided from the first rows (their decision's warnings are
// left to the whole run's), then every row converted and surveyed in one
// walk, the chunks sized for the events the table's size suggests. When
// the whole run needs another layout (another kind, a larger spectrum, a
// longer text), the file is made again from the whole run's survey, the
// file two walks make.
// decide_kinds without its warnings: the whole run's decision says them.
static int decide_kinds_quietly(Run &run) {
    warnings_hold(true);
    int d = decide_kinds(run);
    warnings_hold(false);
    return d;
}

static int write_in_one_walk(Run &run, Input &in, const std::string &part, uint64_t estimate) {
    if (decide_kinds_quietly(run) != 0)
        return 2;
    OneWalk one;
    one.surveyed = run.events;
    survey_shadow(run, one.whole, one.rows);
    run.events = estimate;
    run.one_walk = true;
    int rc = write_file(run, in, part, &one);
    run.one_walk = false;
    if (rc != CONVERT_AGAIN)
        return rc;
    if (decide_kinds_quietly(run) != 0)
        return 2;
    precision_decide(run);
    conversion_reset(run);
    return write_file(run, in, part, nullptr);
}

// The survey, the decision and the file: in one walk when the table is
// long and one_walk_fits, else in two.
static int survey_and_write(Run &run, Input &in, const std::string &part) {
    uint64_t estimate = 0;
    int r = survey_run(run, in, "survey", one_walk_fits(run) ? FIRST_ROWS_BYTES : 0, &estimate);
    progress_done(run);
    if (r != 0)
        return 2;
    if (estimate > 0)
        return write_in_one_walk(run, in, part, estimate);
    if (decide_kinds(run) != 0)
        return 2;
    precision_decide(run);
    return write_file(run, in, part, nullptr);
}

// Checks the output's paths, opens the table and creates OUT.part, in
// that order, before any work. Returns 0, or an exit status with nothing
// left open or created.
static int open_both(const Options &o, Input &in, const std::string &part) {
    if (int bad = output_check(o, part))
        return bad;
    catch_signals();
    if (int r = input_open(in, o.table.c_str())) {
        message("%s: cannot open: %s", o.table.c_str(), input_open_error(r));
        return 2;
    }
    // Named before it exists: a second interrupt that comes the moment
    // OUT.part appears must find it to remove.
    remove_part_on_second_interrupt(part.c_str());
    if (int bad = output_create(part)) {
        remove_part_on_second_interrupt("");
        input_close(in);
        return bad;
    }
    return 0;
}

int main(int argc, char **argv) {
    Run run;
    int r = parse_args(argc, argv, run.opt);
    if (r >= 0)
        return r;
    if (!run.opt.fti_word.empty())
        return fti_word_main(run.opt.fti_word);
    std::string part = run.opt.out + ".part";
    Input in;
    if (int bad = open_both(run.opt, in, part))
        return bad;
    int rc = learn_channels(run, in);
    if (rc == 0)
        rc = check_width(run);
    if (rc == 0)
        rc = survey_and_write(run, in, part);
    input_close(in);
    rc = output_finish(run, part, rc);
    if (rc == 1) {
        // After a failed write HDF5's own clean-up at exit can crash (seen
        // with 1.10 on a full disk); everything is closed and reported.
        fflush(stdout);
        fflush(stderr);
        _exit(rc);
    }
    return rc;
}
