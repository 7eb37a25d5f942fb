// korvel_options.h - the plug-in's option words and its usage text.
#ifndef KORVEL_OPTIONS_H
#define KORVEL_OPTIONS_H

// Read argv[1]..argv[argc-1] into the run's option record (opt, korvel_state.h).
// Words that match no option are skipped. Ends the process with status 1
// when -fti is followed by a word that contains '-'.
void korvel_parse_options(int argc, char **argv);

// The usage text, sixteen lines on standard output.
void korvel_print_usage();

#endif
