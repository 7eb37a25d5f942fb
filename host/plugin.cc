// plugin.cc - loading a plug-in with dlopen and finding its four entry
// points by their C++ symbol names (and its optional output status by its
// C name); where korvel-replay looks for libKorvel.so by default.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "standin.h"

namespace standin {
namespace {

// The entry points' symbols encode their parameter types.
const char *const kInitSymbol = "_Z19zarn_user_init_2010iPPcP20zarn_daq_reader_2010";
const char *const kLoopSymbol = "_Z14zarn_user_loopP16zarn_daq_getdata";
const char *const kEndSymbol = "_Z18zarn_user_end_2010P20zarn_daq_reader_2010";
const char *const kHelpSymbol = "_Z14zarn_user_helpv";
// Optional, and a C function: the real reader never asks it.
const char *const kOutputFailureSymbol = "korvel_output_failure";

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The directory of the running program, from /proc/self/exe.
std::string program_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string p(buf, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

}  // namespace

std::string default_plugin_path() {
    std::string dir = program_dir();
    // In the build tree the plug-in lies beside the program; installed, in
    // the package's private library directory (KORVEL_PLUGIN_RELDIR, the
    // path from the program's directory to it, e.g.
    // ../lib/x86_64-linux-gnu/korvel).
    std::vector<std::string> candidates = {dir + "/libKorvel.so"};
#ifdef KORVEL_PLUGIN_RELDIR
    candidates.push_back(dir + "/" KORVEL_PLUGIN_RELDIR "/libKorvel.so");
#endif
    for (const std::string &c : candidates)
        if (exists(c))
            return c;
    return candidates.front();
}

Plugin::~Plugin() {
    unload();
}

bool Plugin::load(const std::string &path_in, std::string *error) {
    unload();
    // dlopen searches the library path for a bare file name; a plug-in
    // named on the command line means a file, so make it a path.
    std::string path = path_in.find('/') == std::string::npos ? "./" + path_in : path_in;
    // RTLD_NOW: an unresolved host symbol is reported here, not in the
    // middle of a run. RTLD_NODELETE: unload() closes the plug-in but its
    // code and data stay mapped until the process ends, because the
    // plug-in keeps what it allocated at set-up (channel arrays, parameter
    // tables) for the life of the process; unmapped, those blocks would
    // look leaked to a leak checker, and its destructors run at exit.
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!h) {
        const char *why = dlerror();
        *error = "cannot load the plug-in " + path_in + ": " + (why ? why : "unknown error");
        return false;
    }
    // Converting dlsym's object pointer to a function pointer is what POSIX
    // promises to work.
    const char *missing = nullptr;
    auto find = [&](const char *symbol) {
        void *sym = dlsym(h, symbol);
        if (!sym && !missing)
            missing = symbol;
        return sym;
    };
    entries_.init = reinterpret_cast<decltype(entries_.init)>(find(kInitSymbol));
    entries_.loop = reinterpret_cast<decltype(entries_.loop)>(find(kLoopSymbol));
    entries_.end = reinterpret_cast<decltype(entries_.end)>(find(kEndSymbol));
    entries_.help = reinterpret_cast<decltype(entries_.help)>(find(kHelpSymbol));
    if (missing) {
        *error = "the plug-in " + path_in + " has no entry point " + missing;
        entries_ = Entries();
        dlclose(h);
        return false;
    }
    entries_.output_failure =
        reinterpret_cast<decltype(entries_.output_failure)>(dlsym(h, kOutputFailureSymbol));
    handle_ = h;
    return true;
}

void Plugin::unload() {
    if (handle_)
        dlclose(handle_);
    handle_ = nullptr;
    entries_ = Entries();
}

}  // namespace standin
