// replay_main.cc - korvel-replay: the command line of the stand-in reader.
// It picks the event source (a recording file or a synthetic run) and the
// plug-in, keeps the plug-in's outputs off the recording, lets signals end
// the run cleanly, and leaves the run itself to standin::drive().
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin.h"

#ifndef KORVEL_VERSION
#define KORVEL_VERSION "unknown"
#endif

namespace {

const char *const kProgram = "korvel-replay";

const char *const kUsage =
    "Usage: korvel-replay [OPTION...] RECORDING [-- WORD...]\n"
    "  or:  korvel-replay --synthetic EVENTS [--mix MIX] [OPTION...] [-- WORD...]\n"
    "  or:  korvel-replay --check RECORDING\n"
    "  or:  korvel-replay --help | --version\n"
    "\n"
    "Replays a recording into a DAQ reader plug-in as the reader would: it loads\n"
    "the plug-in, calls zarn_user_init_2010 once, zarn_user_loop once per event\n"
    "and zarn_user_end_2010 once, then unloads it. RECORDING is a JSON Lines file:\n"
    "the run header on its first line, then one event per line. The WORDs after\n"
    "\"--\" are the plug-in's argv[1]...; argv[0] is \"korvel-replay\".\n"
    "\n"
    "A recording gives no more than any real reader does: every count in it\n"
    "(nmemb, count, block.nchan, ndata or ndata x groups, ndata1, an image's len,\n"
    "size and width x height x bpp) is at most 16777216 (16 Mi), and channel names,\n"
    "item names, chan.name and daq_name hold no tab, carriage return, line end or\n"
    "NUL. Image pixels shorter than len are zero-padded, with a warning.\n"
    "\n"
    "The run refuses to start (status 2) when the WORDs make the plug-in write\n"
    "onto the recording: its table (-out FILE, default ./user_out.txt, unless\n"
    "-nodump), ./user_evids.txt (-evstat), its XML description (-xdump) or,\n"
    "with -imdump DIR -imbin, DIR/CHANNEL.bin; it ends before an event whose\n"
    "image file would be the recording. A recording line is at most 256 MiB\n"
    "and holds no NUL byte.\n"
    "\n"
    "Options:\n"
    "  --plugin PATH       the plug-in to load; default: $KORVEL_PLUGIN, else\n"
    "                      libKorvel.so beside this program, else ../lib/libKorvel.so\n"
    "  --nbunch N          the host global nbunch (any int), instead of the\n"
    "                      recording's\n"
    "  --outmode N         the host global outmode (any int), instead of the\n"
    "                      recording's\n"
    "  --progress          draw a progress bar on standard error (default: only\n"
    "                      when standard error is a terminal)\n"
    "  --no-progress       never draw it\n"
    "  --synthetic EVENTS  replay EVENTS generated events instead of a file\n"
    "  --mix MIX           the channels of the synthetic run (below)\n"
    "  --check             read and check the whole RECORDING, report every\n"
    "                      error as FILE:LINE: what, and run nothing (status 0\n"
    "                      when it has none, else 2)\n"
    "  -h, --help          print this text and the plug-in's usage, then exit\n"
    "  --version           print the version, then exit\n"
    "Options with a value may also be written --option=VALUE.\n"
    "\n";

const char *const kUsageEnd =
    "\n"
    "SIGINT, SIGTERM and SIGHUP end the run after the event in progress: the\n"
    "plug-in's end of run still writes its table, statistics and event IDs. An\n"
    "event still running half a second later is cut short at its next channel.\n"
    "A second signal ends the program at once. A closed standard output ends the\n"
    "run the same way. A write past a file-size limit fails and is reported.\n"
    "\n"
    "Exit status: 0 when the run is complete (events for which zarn_user_loop\n"
    "returned -1 are counted on standard error); 1 when the run is complete but\n"
    "an output could not be written (a file of the plug-in, the XML description\n"
    "or standard output; one line each on standard error); 2 for a usage error,\n"
    "a plug-in that cannot be loaded, an output onto the recording or a\n"
    "recording error (reported as FILE:LINE: message; after an error in an event\n"
    "line the run is still ended properly); 3 when zarn_user_init_2010 returned\n"
    "non-zero; 130, 143 or 129 after SIGINT, SIGTERM or SIGHUP, 141 after a\n"
    "closed standard output. Standard output carries only what the plug-in and\n"
    "the reader's functions print.\n"
    "\n"
    "Plug-in usage (zarn_user_help):\n";

struct CommandLine {
    std::optional<std::string> plugin;
    std::optional<int> nbunch;
    std::optional<int> outmode;
    std::optional<bool> progress;
    std::optional<std::string> recording;
    std::optional<long long> synthetic;
    std::optional<std::string> mix;
    bool help = false;
    bool version = false;
    bool check = false;
    std::vector<std::string> words;
};

int usage_error(const std::string &what) {
    fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, what.c_str(), kProgram);
    return standin::kExitBadInput;
}

// A whole decimal int in [lo, hi]; false for anything else.
bool parse_number(const std::string &s, long long lo, long long hi, long long *out) {
    if (s.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi || isspace(static_cast<unsigned char>(s[0])))
        return false;
    *out = v;
    return true;
}

// An option without a value: true when `name` is one (and it is noted).
bool take_flag(const std::string &name, CommandLine *cl) {
    if (name == "-h" || name == "--help")
        cl->help = true;
    else if (name == "--version")
        cl->version = true;
    else if (name == "--check")
        cl->check = true;
    else if (name == "--progress" || name == "--no-progress")
        cl->progress = name == "--progress";
    else
        return false;
    return true;
}

bool takes_value(const std::string &name) {
    return name == "--plugin" || name == "--nbunch" || name == "--outmode" ||
           name == "--synthetic" || name == "--mix";
}

// An option that takes_value(), with its value; 0, or the status of a
// reported usage error.
int take_valued(const std::string &name, const std::string &value, CommandLine *cl) {
    long long n = 0;
    if (name == "--plugin") {
        cl->plugin = value;
    } else if (name == "--mix") {
        cl->mix = value;
    } else if (name == "--synthetic") {
        if (!parse_number(value, 0, 2147483647, &n))
            return usage_error("--synthetic needs an event count from 0 to 2147483647, not '" +
                               value + "'");
        cl->synthetic = n;
    } else {  // --nbunch, --outmode
        if (!parse_number(value, -2147483648LL, 2147483647, &n))
            return usage_error(name + " needs an int, not '" + value + "'");
        (name == "--nbunch" ? cl->nbunch : cl->outmode) = static_cast<int>(n);
    }
    return 0;
}

// The combinations that make no sense; 0 when there is none.
int check_combination(const CommandLine &cl) {
    if (cl.help || cl.version)
        return 0;
    if (cl.check && (cl.synthetic || !cl.recording))
        return usage_error("--check needs a recording (and no --synthetic)");
    if (cl.synthetic && cl.recording)
        return usage_error("give either a recording or --synthetic, not both");
    if (!cl.synthetic && !cl.recording)
        return usage_error("no recording given");
    if (cl.mix && !cl.synthetic)
        return usage_error("--mix belongs to --synthetic");
    return 0;
}

// 0: parsed; otherwise the exit status of a usage error (already reported).
int parse_command_line(int argc, char **argv, CommandLine *cl) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--") {
            cl->words.assign(argv + i + 1, argv + argc);
            break;
        }
        if (a.size() < 2 || a[0] != '-') {
            if (cl->recording)
                return usage_error("more than one recording: " + *cl->recording + " and " + a);
            cl->recording = a;
            continue;
        }
        // --option=VALUE or --option VALUE
        size_t eq = a.compare(0, 2, "--") == 0 ? a.find('=') : std::string::npos;
        std::string name = a.substr(0, eq);
        if (take_flag(name, cl)) {
            if (eq != std::string::npos)
                return usage_error("option " + name + " takes no value");
            continue;
        }
        if (!takes_value(name))
            return usage_error("unknown option " + a);
        if (eq == std::string::npos && i + 1 >= argc)
            return usage_error("option " + name + " needs a value");
        std::string value = eq != std::string::npos ? a.substr(eq + 1) : argv[++i];
        if (int rc = take_valued(name, value, cl))
            return rc;
    }
    return check_combination(*cl);
}

std::string plugin_path(const CommandLine &cl) {
    if (cl.plugin)
        return *cl.plugin;
    const char *env = getenv("KORVEL_PLUGIN");
    if (env && *env)
        return env;
    return standin::default_plugin_path();
}

// 0, or kExitOutputFailed with a message when what went to standard
// output did not all arrive.
int check_stdout() {
    errno = 0;
    bool flushed = fflush(stdout) == 0;
    int err = errno;
    if (flushed && !ferror(stdout))
        return standin::kExitOk;
    fprintf(stderr, "%s: standard output could not be written: %s\n", kProgram,
            !flushed && err != 0 ? strerror(err) : "a write failed");
    return standin::kExitOutputFailed;
}

int show_help(const CommandLine &cl) {
    fputs(kUsage, stdout);
    fputs(standin::kMixHelp, stdout);
    printf("The default MIX is\n  %s\n", standin::kDefaultMix);
    fputs(kUsageEnd, stdout);
    fflush(stdout);
    standin::Plugin plugin;
    std::string error;
    if (!plugin.load(plugin_path(cl), &error)) {
        fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return standin::kExitBadInput;
    }
    plugin.entries().help();
    return check_stdout();
}

// kExitBadInput with a message when the words make the plug-in write onto
// the recording: it opens its table at set-up, truncating the file the
// run reads. 0 otherwise.
int refuse_output_onto(const std::string &recording, const std::vector<std::string> &words) {
    std::vector<standin::NamedOutput> outputs = standin::plugin_outputs(words);
    const standin::NamedOutput *o = standin::output_onto_file(recording, outputs);
    if (!o)
        return 0;
    fprintf(stderr,
            "%s: the plug-in's %s %s is the recording %s itself; it would be "
            "overwritten while it is read. Nothing was run: choose another file.\n",
            kProgram, o->what, o->path.c_str(), recording.c_str());
    return standin::kExitBadInput;
}

// --check: the whole recording read and judged, nothing run.
int check_recording(const std::string &recording) {
    std::string error;
    auto source = standin::RecordingSource::open(recording, &error);
    if (!source) {
        fprintf(stderr, "%s\n", error.c_str());
        return standin::kExitBadInput;
    }
    return standin::check_events(*source, kProgram, stderr);
}

// The event source the command line names; null after a reported error.
std::unique_ptr<standin::EventSource> open_source(const CommandLine &cl, int *status) {
    std::string error;
    *status = standin::kExitBadInput;
    if (cl.synthetic) {
        standin::Mix mix;
        if (!standin::parse_mix(cl.mix ? *cl.mix : standin::kDefaultMix, &mix, &error)) {
            usage_error(error);
            return nullptr;
        }
        return std::make_unique<standin::SyntheticSource>(*cl.synthetic, mix);
    }
    if ((*status = refuse_output_onto(*cl.recording, cl.words)) != 0)
        return nullptr;
    auto source = standin::RecordingSource::open(*cl.recording, &error);
    if (!source) {
        fprintf(stderr, "%s\n", error.c_str());
        *status = standin::kExitBadInput;
    }
    return source;
}

// "-imdump run-7/": the plug-in does not take the directory, and the
// images go to ./ without a word from it.
void warn_words_not_taken(const std::vector<std::string> &words) {
    for (const std::string &w : standin::words_not_taken(words))
        fprintf(stderr,
                "%s: warning: \"%s\": the plug-in takes no directory or file name holding "
                "'-'; the word is read as a word of its own and the default is used\n",
                kProgram, w.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    CommandLine cl;
    if (int rc = parse_command_line(argc, argv, &cl))
        return rc;
    if (cl.help)
        return show_help(cl);
    if (cl.version) {
        printf("%s %s\n", kProgram, KORVEL_VERSION);
        return check_stdout();
    }
    if (cl.check)
        return check_recording(*cl.recording);

    int status = 0;
    std::unique_ptr<standin::EventSource> source = open_source(cl, &status);
    if (!source)
        return status;

    standin::Plugin plugin;
    std::string error;
    if (!plugin.load(plugin_path(cl), &error)) {
        fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return standin::kExitBadInput;
    }

    standin::DriveOptions opt;
    opt.program = kProgram;
    opt.words = cl.words;
    opt.nbunch = cl.nbunch;
    opt.outmode = cl.outmode;
    opt.progress = cl.progress ? *cl.progress : isatty(STDERR_FILENO) != 0;
    opt.stop = standin::install_stop_signals();
    if (cl.recording)
        opt.recording = *cl.recording;
    warn_words_not_taken(cl.words);
    standin::DriveResult r = standin::drive(plugin.entries(), *source, opt, stderr);
    // drive() flushed standard output after the end entry point and
    // judged the result; nothing is printed after it.
    plugin.unload();
    return r.status;
}
