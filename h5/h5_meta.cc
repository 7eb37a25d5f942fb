// h5_meta.cc - what the converter learns besides the table: the run's XML
// description (units, long names, spectrum axes, image shapes) and the
// plug-in's channel listing (the exact titles), and how the header's
// titles are made to agree with the rows when a title holds the separator.
#include "h5_converter.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sys/stat.h>

// One <spectrum index=... start=... .../> record into its member slot.
static void xml_spectrum(std::vector<XmlSpectrum> &v, const pugi::xml_node &s) {
    long long idx = s.attribute("index").as_llong(-1);
    if (idx < 0 || idx > 1000000)
        return;
    if ((size_t)idx >= v.size())
        v.resize((size_t)idx + 1);
    XmlSpectrum &m = v[(size_t)idx];
    m.start = s.attribute("start").as_float(0);
    m.inc = s.attribute("inc").as_float(1);
    m.ndata = s.attribute("ndata").as_llong(0);
    m.groups = s.attribute("groups").as_llong(0);
}

// "A whole number from 0 to max" of an XML attribute: pugixml's as_uint
// would read "1e300" as 1 and "-3" as a huge number. Returns false for
// anything else (an absent attribute reads as 0).
static bool xml_count(const pugi::xml_attribute &a, uint32_t max, uint32_t *out) {
    const char *s = a.value();
    uint64_t v = 0;
    *out = 0;
    if (!*s)
        return true;
    for (; *s; s++) {
        if (*s < '0' || *s > '9' || (v = v * 10 + (uint64_t)(*s - '0')) > max)
            return false;
    }
    *out = (uint32_t)v;
    return true;
}

// The first <image> record (index 0) of a <dimensions> element into
// `shape`; a width or height that is no plausible count is warned about
// and leaves no shape (the frames are then stored flat).
static void xml_image(Run &run, const std::string &path, const std::string &name,
                      const pugi::xml_node &im, ImageShape &shape) {
    uint32_t bytes = 0;
    shape = ImageShape();
    if (!xml_count(im.attribute("width"), MAX_IMAGE_SIDE, &shape.width) ||
        !xml_count(im.attribute("height"), MAX_IMAGE_SIDE, &shape.height)) {
        run.warnings++;
        message("%s: warning: the image record of channel %s gives width '%s' and height "
                "'%s', not whole numbers up to %u; its shape is not used",
                path.c_str(), name.c_str(), im.attribute("width").value(),
                im.attribute("height").value(), (unsigned)MAX_IMAGE_SIDE);
        shape = ImageShape();
        return;
    }
    if (shape.width == 0 || shape.height == 0)
        shape = ImageShape();
    shape.bytes = xml_count(im.attribute("bpp"), 1u << 16, &bytes) ? bytes : 0;
}

// The XML file itself: a regular file with something in it. pugixml says
// "Could not allocate memory" of a directory and "No document element
// found" of an empty file; an empty user_descr.xml is what a run stopped
// before its end leaves.
static bool xml_file_usable(const Run &run, const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        message("%s: cannot read the XML description: %s", path.c_str(), strerror(errno));
        return false;
    }
    const char *what = S_ISDIR(st.st_mode)    ? "is a directory"
                       : !S_ISREG(st.st_mode) ? "is not a regular file"
                       : st.st_size == 0      ? "is empty"
                                              : nullptr;
    if (what)
        message("%s: %s, not an XML description%s", path.c_str(), what,
                run.opt.xml.empty() ? " (--xml FILE names another, --xml none converts "
                                      "without one)"
                                    : " (--xml none converts without one)");
    return what == nullptr;
}

// The <dimensions> records: spectrum members and image shapes by channel
// name. Of several records of one name the last is used, with a warning.
static void xml_dimensions(Run &run, const std::string &path, const pugi::xml_node &root,
                           std::vector<std::string> *names) {
    std::map<std::string, int> records;
    for (pugi::xml_node d : root.children("dimensions")) {
        std::string name = d.attribute("name").value();
        if (records[name]++ > 0) {
            // Two records of one name: the last is what the conversion uses.
            run.xml.spectra.erase(name);
            run.xml.images.erase(name);
        }
        run.xml.dims[name] = true;
        for (pugi::xml_node s : d.children("spectrum"))
            xml_spectrum(run.xml.spectra[name], s);
        for (pugi::xml_node im : d.children("image"))
            if (im.attribute("index").as_int(-1) == 0)
                xml_image(run, path, name, im, run.xml.images[name]);
        names->push_back(name);
    }
    for (const auto &kv : records)
        if (kv.second > 1) {
            run.warnings++;
            message("%s: warning: %d <dimensions> records of channel %s; the last is used",
                    path.c_str(), kv.second, kv.first.c_str());
        }
}

int xml_read(Run &run, const std::string &path, std::vector<std::string> *names) {
    run.xml = XmlDescription();
    if (!xml_file_usable(run, path))
        return -1;
    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_file(path.c_str());
    if (!r) {
        message("%s: cannot read the XML description: %s (--xml none converts without one)",
                path.c_str(),
                r.status == pugi::status_file_not_found ? strerror(ENOENT) : r.description());
        return -1;
    }
    pugi::xml_node root = doc.child("channels");
    if (!root) {
        message("%s: not an XML channel description (no <channels> element; --xml none "
                "converts without one)",
                path.c_str());
        return -1;
    }
    for (pugi::xml_node c : root.children("channel")) {
        std::string name = c.attribute("daq_name").value();
        run.xml.descr[name] = {c.attribute("units").value(), c.attribute("desc").value()};
        names->push_back(name);
    }
    xml_dimensions(run, path, root, names);
    run.xml_loaded = true;
    return 0;
}

// The entry of `map` for the channel's title, else for its bare name.
template <typename M>
static const typename M::mapped_type *lookup(const M &map, const Channel &ch,
                                             const std::string &bare) {
    auto it = map.find(ch.title);
    if (it == map.end())
        it = map.find(bare);
    return it == map.end() ? nullptr : &it->second;
}

// A channel the description says nothing of gets no ChannelExtra.
void xml_apply(Run &run) {
    const XmlDescription &x = run.xml;
    if (x.descr.empty() && x.spectra.empty() && x.images.empty() && x.dims.empty())
        return;
    for (Channel &ch : run.channels) {
        std::string bare = bare_name(ch.title);
        if (auto *d = lookup(run.xml.descr, ch, bare))
            channel_extra(ch).units = d->first, channel_extra(ch).long_name = d->second;
        if (auto *s = lookup(run.xml.spectra, ch, bare))
            channel_extra(ch).xml_spectra = *s;
        if (auto *im = lookup(run.xml.images, ch, bare))
            channel_extra(ch).xml_image = *im;
        if (lookup(run.xml.dims, ch, bare) != nullptr)
            channel_extra(ch).xml_dims = true;
    }
}

int names_read(const std::string &path, std::vector<std::string> &titles) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        message("%s: cannot read the channel listing: %s", path.c_str(), strerror(errno));
        return -1;
    }
    static const char *BEGIN = "zarn_user_init()==== CHANNELS ==============";
    static const char *END = "zarn_user_init()===== CHANNELS END ==============";
    std::string line;
    bool inside = false, done = false;
    while (!done && std::getline(f, line)) {
        if (!inside) {
            inside = line == BEGIN;
            continue;
        }
        if (line == END) {
            done = true;
            break;
        }
        // "[%d] \t %s": the index, a blank, a tab, a blank and the title.
        size_t mark = line.find("] \t ");
        if (line.empty() || line[0] != '[' || mark == std::string::npos) {
            message("%s: not a channel line of the listing: %s", path.c_str(), line.c_str());
            return -1;
        }
        titles.push_back(line.substr(mark + 4));
    }
    if (!done) {
        message("%s: no complete channel listing (the lines between \"%s\" and \"%s\")",
                path.c_str(), BEGIN, END);
        return -1;
    }
    return 0;
}

static std::string join(const std::vector<std::string> &v, size_t from, size_t to, char sep) {
    std::string s;
    for (size_t i = from; i < to; i++) {
        if (i > from)
            s += sep;
        s += v[i];
    }
    return s;
}

// Joins header fields back into titles where the joined text is a name of
// the XML description (the longest such run of fields first).
static std::vector<std::string> merge_by_names(const std::vector<std::string> &fields,
                                               const std::vector<std::string> &names, char sep) {
    std::vector<std::string> out;
    for (size_t i = 0; i < fields.size();) {
        size_t take = 1;
        for (size_t k = fields.size(); k > i + 1; k--) {
            std::string t = join(fields, i, k, sep);
            bool known = false;
            for (const std::string &n : names)
                known = known || n == t || n == bare_name(t);
            if (known) {
                take = k - i;
                break;
            }
        }
        out.push_back(join(fields, i, i + take, sep));
        i += take;
    }
    return out;
}

int titles_resolve(Run &run, size_t n, const std::vector<std::string> &listing,
                   const std::vector<std::string> &xml_names) {
    char sep = separator(run.dialect);
    std::vector<std::string> fields;
    for (const Channel &ch : run.channels)
        fields.push_back(ch.title);
    std::vector<std::string> titles;
    const char *from = nullptr;
    if (!listing.empty()) {
        titles = listing, from = "the channel listing";
        if (join(titles, 0, titles.size(), sep) != join(fields, 0, fields.size(), sep))
            warn_line(run, 1,
                      "the header's titles differ from those of %s; "
                      "the listing's are used",
                      run.opt.names.c_str());
    } else if (n != fields.size() && !xml_names.empty()) {
        titles = merge_by_names(fields, xml_names, sep), from = "the XML description";
    } else {
        titles = fields;
    }
    if (titles.size() != n) {
        error_line(run, 1, "the header has %zu titles but the rows have %zu channels%s%s%s",
                   titles.size(), n, from ? " (titles from " : "", from ? from : "",
                   from ? ")" : "");
        if (!from || listing.empty())
            message("a title holds the separator '%s': --names FILE (the plug-in's standard "
                    "output of the run) or --xml FILE gives the exact titles",
                    sep == ',' ? "," : "\\t");
        return -1;
    }
    run.channels.clear();
    for (std::string &t : titles) {
        Channel ch;
        ch.title = std::move(t);
        run.channels.push_back(std::move(ch));
    }
    return 0;
}
