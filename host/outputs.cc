// outputs.cc - the files libKorvel's option words make it write, read from
// the words the way the plug-in reads them, and the check that none of
// them is the recording korvel-replay is reading (the plug-in opens its
// table for writing at set-up, which would truncate the recording). Image
// files take their names from the run and its events: the .bin files of
// -imbin from the channel names, known before the run; the files of one
// image each from the event, known only as it comes.
#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include "standin.h"

namespace standin {
namespace {

// Where the plug-in writes when its words do not say otherwise.
const char *const kDefaultTable = "./user_out.txt";
const char *const kEventIdFile = "./user_evids.txt";
const char *const kDefaultXml = "./user_descr.xml";
const char *const kDefaultImageDir = "./";

// The plug-in's words, as it reads them: a word is an option only when it
// equals one as a whole; -out takes the next word whatever it holds;
// -xdump and -imdump take it only when it holds no '-'; -fti followed by a
// word with '-' makes the plug-in stop at once, before writing anything.
struct WordOptions {
    std::string table = kDefaultTable;
    std::string xml = kDefaultXml;
    std::string imdir = kDefaultImageDir;
    bool nodump = false;
    bool evstat = false;
    bool xdump = false;
    bool imdump = false;
    bool imbin = false;
    bool stops = false;  // -fti with a word holding '-': nothing is written
    // Words after -xdump or -imdump that hold '-' and are no option word:
    // most likely meant as the file or directory, which the plug-in does
    // not take.
    std::vector<std::string> not_taken;
};

// The words the plug-in knows; a word among them after -xdump or -imdump
// is an option of its own, not a file name meant for it.
bool plugin_word(const std::string &w) {
    static const char *const words[] = {"-out",    "-zerocheck", "-imbin",  "-evstat",
                                        "-nodump", "-dumpall",   "-nostat", "-nonvn",
                                        "-hdf5",   "-imdump",    "-fti",    "-xdump"};
    for (const char *k : words)
        if (w == k)
            return true;
    return false;
}

// Index of the word after an option with a value at i; i + 1 when the
// option left the next word to be read as a word of its own.
size_t read_valued_option(const std::vector<std::string> &w, size_t i, WordOptions *o) {
    const std::string *next = i + 1 < w.size() ? &w[i + 1] : nullptr;
    bool takes_dash = w[i] == "-out" || w[i] == "-fti";
    if (w[i] == "-fti" && next && next->find('-') != std::string::npos) {
        o->stops = true;
        return w.size();
    }
    if (w[i] == "-xdump")
        o->xdump = true;
    if (w[i] == "-imdump")
        o->imdump = true;
    if (!next || (!takes_dash && next->find('-') != std::string::npos)) {
        if (next && !takes_dash && !plugin_word(*next))
            o->not_taken.push_back(w[i] + " " + *next);
        return takes_dash ? i + 2 : i + 1;
    }
    if (w[i] == "-out")
        o->table = *next;
    else if (w[i] == "-xdump")
        o->xml = *next;
    else if (w[i] == "-imdump")
        o->imdir = *next;
    return i + 2;
}

WordOptions read_words(const std::vector<std::string> &w) {
    WordOptions o;
    size_t i = 0;
    while (i < w.size()) {
        const std::string &a = w[i];
        if (a == "-out" || a == "-fti" || a == "-xdump" || a == "-imdump") {
            i = read_valued_option(w, i, &o);
            continue;
        }
        if (a == "-nodump")
            o.nodump = true;
        else if (a == "-evstat")
            o.evstat = true;
        else if (a == "-imbin")
            o.imbin = true;
        i++;
    }
    return o;
}

}  // namespace

std::vector<NamedOutput> plugin_outputs(const std::vector<std::string> &words) {
    WordOptions o = read_words(words);
    std::vector<NamedOutput> out;
    if (o.stops)
        return out;
    if (!o.nodump)
        out.push_back({"event table", o.table});
    if (o.evstat)
        out.push_back({"event-ID file", kEventIdFile});
    if (o.xdump)
        out.push_back({"XML description", o.xml});
    return out;
}

std::vector<std::string> words_not_taken(const std::vector<std::string> &words) {
    return read_words(words).not_taken;
}

std::string xml_onto_table(const std::vector<std::string> &words) {
    WordOptions o = read_words(words);
    if (o.stops || o.nodump || !o.xdump)
        return std::string();
    struct stat x, t;
    if (o.xml != o.table && !(stat(o.xml.c_str(), &x) == 0 && stat(o.table.c_str(), &t) == 0 &&
                              x.st_dev == t.st_dev && x.st_ino == t.st_ino))
        return std::string();
    return "the XML description was not written: " + o.xml + " is the event table " + o.table +
           " itself (-xdump and -out name the same file)";
}

ImageWords image_words(const std::vector<std::string> &words) {
    WordOptions o = read_words(words);
    ImageWords iw;
    iw.on = o.imdump && !o.nodump && !o.stops;
    iw.bin = o.imbin;
    iw.dir = o.imdir;
    return iw;
}

namespace {

// The channel part of an image file name: '/' becomes '_' (one file per
// channel in the directory); "" for a name of 256 bytes or more, for which
// the plug-in writes no file.
std::string file_channel(const std::string &name) {
    if (name.size() >= 256)
        return std::string();
    std::string s = name;
    for (char &c : s)
        if (c == '/')
            c = '_';
    return s;
}

// The whole name as the plug-in makes it: every blank becomes '_', and a
// name longer than 255 bytes is never opened ("").
std::string finished_name(std::string name) {
    if (name.size() > 255)
        return std::string();
    for (char &c : name)
        if (c == ' ')
            c = '_';
    return name;
}

}  // namespace

std::vector<NamedOutput> bin_files(const ImageWords &iw, const RunHeader &header) {
    std::vector<NamedOutput> out;
    if (!iw.on || !iw.bin)
        return out;
    for (const Channel &c : header.channels) {
        if (!c.name)
            continue;
        std::string ch = file_channel(*c.name);
        std::string name = ch.empty() ? ch : finished_name(iw.dir + "/" + ch + ".bin");
        if (!name.empty())
            out.push_back({"image file", name});
    }
    return out;
}

// DIR/CHANNEL_EVENT_CTIME_MS.EXT for each image of the event: the event's
// id and time (ctime in local time, without its line end), the
// milliseconds of its microseconds, .pgm, .raw or .ppm by bytes per pixel.
std::vector<NamedOutput> image_files(const ImageWords &iw, const Run &run, const Event &ev) {
    std::vector<NamedOutput> out;
    if (!iw.on || iw.bin || ev.fail)
        return out;
    time_t tt = static_cast<time_t>(ev.time.sec);
    char ct[64] = {0};
    if (ctime_r(&tt, ct) == nullptr)
        ct[0] = '\0';
    size_t ctl = strlen(ct);
    if (ctl > 0 && ct[ctl - 1] == '\n')
        ct[ctl - 1] = '\0';
    for (const ChannelData &d : ev.channels) {
        int i = run.find_channel(d.text);
        if (i < 0 || !d.image || d.image->fail)
            continue;
        const Channel &c = run.header().channels[static_cast<size_t>(i)];
        int type = d.type ? *d.type : c.type;
        int bpp = d.image->bpp;
        const char *ext = bpp == 1 ? ".pgm" : bpp == 2 ? ".raw" : bpp == 3 ? ".ppm" : nullptr;
        std::string ch = c.name ? file_channel(*c.name) : std::string();
        if (type != 4 || !ext || ch.empty())
            continue;
        std::string name =
            finished_name(iw.dir + "/" + ch + "_" + std::to_string(static_cast<int>(ev.id)) + "_" +
                          ct + "_" + std::to_string(static_cast<int>(ev.time.usec / 1000)) + ext);
        if (!name.empty())
            out.push_back({"image file", name});
    }
    return out;
}

const NamedOutput *output_onto_file(const std::string &path,
                                    const std::vector<NamedOutput> &outputs) {
    struct stat in;
    if (stat(path.c_str(), &in) != 0)
        return nullptr;
    for (const NamedOutput &o : outputs) {
        struct stat st;
        // Through symbolic links, as the plug-in's fopen goes; a file that
        // does not exist yet cannot be the recording.
        if (stat(o.path.c_str(), &st) == 0 && st.st_dev == in.st_dev && st.st_ino == in.st_ino)
            return &o;
    }
    return nullptr;
}

}  // namespace standin
