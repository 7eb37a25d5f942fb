// h5_precision.cc - what the table's number formats kept of each channel's
// values, and how to get them whole: the source format and exactness of
// every channel, the evidence that values were lost (with one warning per
// lossy channel and the closing lines that name them), the EqData mark,
// and the -fti word that makes the plug-in write every channel exactly.
//
// The plug-in writes single values with "%f" (six decimals: a value below
// 5e-7 becomes 0.000000), name-value items with "%.2e" (three significant
// digits), spectrum values with "%.e" (one), and cuts a spectrum member to
// the reader's nbunch values (100 by default) unless -dumpall is given.
// Its -fti word writes the listed channels' floats as the integers of
// their bit patterns instead, which this converter restores exactly; a
// channel is listed when its name occurs anywhere in the word.
#include "h5_converter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

// ---- What the survey sees ------------------------------------------------------------------

void precision_cell(Channel &ch, const RowCell &cell) {
    if (!cell.reached)
        return;
    if (cell.b == cell.e && !cell.bad)
        ch.precision.empty_cells++;
    else
        ch.precision.other_cells++;
}

void precision_value(Channel &ch, Dialect d, const RowCell &cell, float v, bool int_form) {
    Precision &p = ch.precision;
    if (int_form || !std::isfinite(v))
        return;  // "inf" and "nan" say nothing of the digits
    p.float_value = true;
    const char *text = cell.b + (d == DIALECT_HDF5 ? 2 : 0);  // after "[["
    if (v != 0)
        p.nonzeros++;
    else
        p.zeros++, p.negative_zeros += text < cell.e && *text == '-';
}

bool spectrum_truncated(const Channel &ch) {
    const ChannelExtra &extra = extra_of(ch);
    for (size_t m = 0; m < extra.xml_spectra.size(); m++) {
        const XmlSpectrum &x = extra.xml_spectra[m];
        int64_t held = x.groups >= 2 ? x.ndata * x.groups : x.ndata;
        int written = m < extra.member_values.size() ? extra.member_values[m] : 0;
        if (written > 0 && held > written)
            return true;
    }
    return false;
}

// ---- The decision per channel ------------------------------------------------------------

// The reader's default value limit of a spectrum member (nbunch 0).
static const int DEFAULT_SPECTRUM_CUT = 100;

// The kind's source format: a fixed one, else its float form once the
// survey saw one value in it, else the integer form when that was seen.
static void decide_format(Channel &ch) {
    Precision &p = ch.precision;
    const KindInfo &k = kind_info(ch.kind);
    bool seen = k.float_seen && p.*k.float_seen;
    if (k.fixed_format)
        p.source_format = k.fixed_format;
    else if (seen)
        p.source_format = k.float_format;
    else if (*k.float_format && ch.survey.int_form)
        p.source_format = "integer form";
    else
        p.source_format = "";
    p.exact = !seen;
}

static void add(std::string &evidence, const std::string &sentence) {
    evidence += (evidence.empty() ? "" : "; ") + sentence;
}

static std::string count_text(uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Evidence that -fti would have kept: the digits of the float forms.
static void float_evidence(Channel &ch, std::string &evidence) {
    Precision &p = ch.precision;
    if (p.exact)
        return;
    if (ch.kind == KIND_VALUE && p.zeros > 0 && p.nonzeros > 0)
        add(evidence, count_text(p.zeros, "value reads", "values read") + " as 0.000000 where " +
                          count_text(p.nonzeros, "other event", "other events") +
                          " of the channel are not zero (%f keeps 6 decimals: a value "
                          "below 5e-7 reads as 0)");
    if (ch.kind == KIND_VALUE && p.negative_zeros > 0) {
        add(evidence, count_text(p.negative_zeros, "value reads", "values read") +
                          " as -0.000000, a negative value too small for %f");
        p.certain = true;
    }
    if (ch.kind == KIND_BLOCK)
        add(evidence, "items written with %.2e keep 3 significant digits");
    if (ch.kind == KIND_SPECTRUM)
        add(evidence, "spectrum values written with %.e keep 1 significant digit");
    p.certain = p.certain || ch.kind == KIND_BLOCK || ch.kind == KIND_SPECTRUM;
    p.fti_helps = !evidence.empty();
}

// Evidence that only -dumpall would have kept: members cut short.
static void cut_evidence(Channel &ch, std::string &evidence) {
    if (ch.kind != KIND_SPECTRUM)
        return;
    Precision &p = ch.precision;
    if (spectrum_truncated(ch)) {
        p.truncated = p.certain = true;
        add(evidence, "the XML description records members with more values than the "
                      "table wrote of them");
        return;
    }
    if (!extra_of(ch).xml_spectra.empty())
        return;
    for (int n : extra_of(ch).member_values)
        p.truncated = p.truncated || n == DEFAULT_SPECTRUM_CUT;
    if (p.truncated)
        add(evidence, "members of exactly 100 values, the plug-in's cut without -dumpall, "
                      "are possibly cut");
}

static const char *remedy(const Precision &p) {
    if (p.fti_helps && p.truncated)
        return "the plug-in words -fti (with a word holding the channel's name) and "
               "-dumpall write every value exactly";
    if (p.fti_helps)
        return "the plug-in word -fti with a word holding the channel's name writes its "
               "values exactly";
    return "the plug-in word -dumpall writes every value";
}

void precision_decide(Run &run) {
    for (Channel &ch : run.channels) {
        Precision &p = ch.precision;
        std::string evidence;
        decide_format(ch);
        float_evidence(ch, evidence);
        cut_evidence(ch, evidence);
        p.lossy = !evidence.empty();
        if (p.lossy)
            channel_extra(ch).evidence = std::move(evidence);
        // The table leaves an EqData channel's cells empty by design; so
        // does an image of 3 or 4 bytes per pixel, but the description
        // then records its image header.
        p.eqdata = run.xml_loaded && ch.kind == KIND_NONE && p.empty_cells > 0 &&
                   p.other_cells == 0 && !extra_of(ch).xml_dims;
        if (p.lossy)
            warn_line(run, 0, "channel %s: values %s precision in the table: %s; %s",
                      ch.title.c_str(), p.certain ? "lost" : "may have lost",
                      extra_of(ch).evidence.c_str(), remedy(p));
    }
}

// ---- The closing lines -------------------------------------------------------------------

// Longest -fti word the closing lines print; a longer one is left to
// --fti-word.
static const size_t WORD_SHOWN = 200;
// Lossy channels named in the closing lines.
static const size_t NAMES_SHOWN = 10;

static std::string joined(const std::vector<std::string> &v, size_t most) {
    std::string s;
    for (size_t k = 0; k < v.size() && k < most; k++)
        s += (k ? ", " : "") + v[k];
    if (v.size() > most)
        s += " and " + std::to_string(v.size() - most) + " more";
    return s;
}

void precision_summary(const Run &run) {
    std::vector<std::string> lossy, fixable;
    bool cut = false;
    for (const Channel &ch : run.channels) {
        if (!ch.precision.lossy)
            continue;
        lossy.push_back(ch.title);
        if (ch.precision.fti_helps)
            fixable.push_back(ch.title);
        cut = cut || ch.precision.truncated;
    }
    if (lossy.empty())
        return;
    message("%zu channel%s the table did not keep exactly: %s", lossy.size(),
            lossy.size() == 1 ? "'s values" : "s' values", joined(lossy, NAMES_SHOWN).c_str());
    std::vector<std::string> unflaggable;
    std::string word = fti_word(fixable, &unflaggable);
    std::string words;
    if (!word.empty())
        words = word.size() <= WORD_SHOWN
                    ? "-fti " + word
                    : "-fti WORD (korvel-h5 --fti-word " + run.opt.table + " prints WORD)";
    if (cut)
        words += std::string(words.empty() ? "" : " ") + "-dumpall";
    message("for exact values, replay the run with the plug-in words %s", words.c_str());
    if (!unflaggable.empty())
        message("no -fti word can flag %s (a word holding '-' is taken as an option)",
                joined(unflaggable, NAMES_SHOWN).c_str());
}

// ---- The -fti word -----------------------------------------------------------------------

std::string fti_word(const std::vector<std::string> &names, std::vector<std::string> *unflaggable) {
    std::vector<std::string> order;
    for (const std::string &n : names) {
        if (n.empty())
            continue;
        if (n.find('-') != std::string::npos) {
            if (std::find(unflaggable->begin(), unflaggable->end(), n) == unflaggable->end())
                unflaggable->push_back(n);
        } else {
            order.push_back(n);
        }
    }
    // Longest first: a name that already occurs in the word (inside a
    // longer name, or across two) is flagged without being added.
    std::stable_sort(order.begin(), order.end(), [](const std::string &a, const std::string &b) {
        return a.size() > b.size();
    });
    std::string word;
    for (const std::string &n : order)
        if (word.find(n) == std::string::npos)
            word += n;
    return word;
}

// The first bytes of a file, to tell a table, a listing and an XML
// description apart.
static std::string file_start(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    char buf[16] = {};
    f.read(buf, sizeof buf);
    return std::string(buf, (size_t)f.gcount());
}

// The titles of a table's header.
static int table_titles(const std::string &path, std::vector<std::string> &names) {
    Run run;
    run.opt.table = path;
    Input in;
    if (int r = input_open(in, path.c_str())) {
        message("%s: cannot open: %s", path.c_str(), input_open_error(r));
        return -1;
    }
    RowReader rr;
    rr.run = &run;
    rr.in = &in;
    int r = header_read(run, rr, true);
    input_close(in);
    for (const Channel &ch : run.channels)
        names.push_back(ch.title);
    return r;
}

// Channel names from a table, a channel listing or an XML description.
static int run_names(const std::string &path, std::vector<std::string> &names) {
    std::string start = file_start(path);
    if (start.compare(0, 7, "EventId") == 0)
        return table_titles(path, names);
    size_t first = start.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && start[first] == '<') {
        Run run;
        return xml_read(run, path, &names);
    }
    std::ifstream probe(path);
    if (!probe) {
        message("%s: cannot open: %s", path.c_str(), strerror(errno));
        return -1;
    }
    return names_read(path, names);
}

int fti_word_main(const std::string &path) {
    std::vector<std::string> names, unflaggable;
    if (run_names(path, names) != 0)
        return 2;
    // A title "NAME:SUB" is kept whole: the plug-in looks for the bare
    // name, which the title holds, and a name that merely ends in ":7"
    // is then flagged as well.
    std::string word = fti_word(names, &unflaggable);
    if (!word.empty())
        printf("%s\n", word.c_str());
    if (!unflaggable.empty())
        message("%s: no -fti word can flag %s: a word holding '-' is taken as an option",
                path.c_str(), joined(unflaggable, unflaggable.size()).c_str());
    if (word.empty() && unflaggable.empty())
        message("%s: no channels", path.c_str());
    if (word.size() >= 131072)
        message("the word has %zu bytes; Linux passes at most 131071 in one argument", word.size());
    return unflaggable.empty() && !word.empty() ? 0 : 1;
}
