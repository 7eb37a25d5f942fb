// korvel_options.cc - option parsing and the usage text (printed by the
// entry point zarn_user_help).
//
// A word matches an option only when it is equal to it as a whole, case
// included. Option arguments point into argv itself, so the reader must
// keep argv alive for the run.
#include "korvel_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvel_state.h"

/* Flag options: the word and the bool it sets. */
static const struct {
    const char *word;
    bool *flag;
} flag_options[] = {
    {"-zerocheck", &opt.zerocheck}, {"-imbin", &opt.imbin},     {"-evstat", &opt.evstatdump},
    {"-nodump", &opt.nodump},       {"-dumpall", &opt.dallval}, {"-nostat", &opt.nostat},
    {"-nonvn", &opt.nonvn},         {"-hdf5", &opt.hdf5mode},
};

/* Set the flag of a flag option; false when `w` is none. */
static bool options_set_flag(const char *w) {
    for (const auto &o : flag_options) {
        if (strcmp(w, o.word) == 0) {
            *o.flag = true;
            return true;
        }
    }
    return false;
}

/* The word after index i, or null when there is none. A null entry before
 * argc ends the vector as well: nothing past it is read. */
static const char *options_next(int argc, char **argv, int i) {
    return i + 1 < argc ? argv[i + 1] : nullptr;
}

void korvel_parse_options(int argc, char **argv) {
    if (argc <= 1 || !argv)
        return;
    int i = 1;
    while (i < argc && argv[i]) {
        const char *w = argv[i];
        const char *next = options_next(argc, argv, i);
        if (strcmp(w, "-out") == 0) {
            // Taken whatever it holds; a trailing -out keeps the default.
            if (next)
                opt.file = next;
            i += 2;
        } else if (options_set_flag(w)) {
            i += 1;
        } else if (strcmp(w, "-xdump") == 0 || strcmp(w, "-imdump") == 0) {
            bool x = w[1] == 'x';
            *(x ? &opt.dumpxml : &opt.imdump) = true;
            if (next && !strchr(next, '-')) {
                *(x ? &opt.xfile : &opt.imdir) = next;
                i += 2;
            } else {
                i += 1;  // a word with '-' is looked at as an option next
            }
        } else if (strcmp(w, "-fti") == 0) {
            if (next && strchr(next, '-')) {
                puts("No channels list is provided for float to int conversion");
                korvel_print_usage();
                exit(1);
            }
            if (next)
                opt.ftilist = next;
            i += 2;
        } else {
            i += 1;
        }
    }
}

/* The usage text; some lines end in a blank on purpose. */
static const char *const usage_lines[] = {
    "-out file -zerocheck -imbin  -evstat -nodump -dumpall -nostat -nonvn -hdf5  -imdump  dir -fti LOC -xdump xfile",
    "file       -  file name to dump (default ./user_out.txt)",
    "-zerocheck  -  sets checcks for all ZEROs in spectra ",
    "-imbin     -  dump image(s) to binary file(s) ",
    "-evstat     -  dump event IDs for every channel ",
    "-nodump - don't dump data to the file ",
    "-dumpall - dump all  data values  to the file (spectrum) ",
    "-nostat   - no statistsics info for spectrum",
    "-nonvn - no names for value name data",
    "-hdf5      - make a file for HDF5 conversion",
    "-imdump     -  dump image(s) to file(s) ",
    "dir        -  directory to dump images (./ if not set) ",
    "-fti           -  convert data from float to int for a list of channels ",
    "LOC        -  list of channels for which make float to int conversion (separated with ; or :)",
    "-xdump    - dump XML description file for processes channels",
    "xfile       - file name to dump the  XML description file (default ./user_descr.xml)",
};

void korvel_print_usage() {
    for (const char *line : usage_lines)
        puts(line);
}
