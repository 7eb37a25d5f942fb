// outputs.cc - the files libKorvel's option words make it write, read from
// the words the way the plug-in reads them, and the check that none of
// them is the recording korvel-replay is reading (the plug-in opens its
// table for writing at set-up, which would truncate the recording).
#include <sys/stat.h>

#include <cstring>

#include "standin.h"

namespace standin {
namespace {

// Where the plug-in writes when its words do not say otherwise.
const char *const kDefaultTable = "./user_out.txt";
const char *const kEventIdFile = "./user_evids.txt";
const char *const kDefaultXml = "./user_descr.xml";

// The plug-in's words, as it reads them: a word is an option only when it
// equals one as a whole; -out takes the next word whatever it holds;
// -xdump and -imdump take it only when it holds no '-'; -fti followed by a
// word with '-' makes the plug-in stop at once, before writing anything.
struct WordOptions {
    std::string table = kDefaultTable;
    std::string xml = kDefaultXml;
    bool nodump = false;
    bool evstat = false;
    bool xdump = false;
    bool stops = false;  // -fti with a word holding '-': nothing is written
};

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
    if (!next || (!takes_dash && next->find('-') != std::string::npos))
        return takes_dash ? i + 2 : i + 1;
    if (w[i] == "-out")
        o->table = *next;
    else if (w[i] == "-xdump")
        o->xml = *next;
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

const NamedOutput *output_onto_file(const std::string &path,
                                    const std::vector<NamedOutput> &outputs) {
    struct stat in;
    if (stat(path.c_str(), &in) != 0)
        return nullptr;
    for (const NamedOutput &o : outputs) {
        struct stat st;
        // Through symbolic links, as the plug-in's fopen goes; a file that
        // does not exist yet cannot be the recording.
        if (stat(o.path.c_str(), &st) == 0 && st.st_dev == in.st_dev &&
            st.st_ino == in.st_ino)
            return &o;
    }
    return nullptr;
}

}  // namespace standin
