// zarn_daq_user.h - the four entry points through which the DAQ reader
// drives libKorvel, and the optional output status a host may ask.
//
// The reader finds them by their C++ symbol names, which encode the
// parameter types, so these declarations must not change:
//   _Z19zarn_user_init_2010iPPcP20zarn_daq_reader_2010
//   _Z14zarn_user_loopP16zarn_daq_getdata
//   _Z18zarn_user_end_2010P20zarn_daq_reader_2010
//   _Z14zarn_user_helpv
//
// Life cycle: zarn_user_init_2010() once, zarn_user_loop() once per event,
// zarn_user_end_2010() once. A second zarn_user_init_2010() in the same
// process is not supported: the arrays of the first run are neither reused
// nor released. Loop and end take a successful set-up for granted.
#ifndef KORVEL_ZARN_DAQ_USER_H
#define KORVEL_ZARN_DAQ_USER_H

#include <cstddef>

#include "zarn_daq_data.h"
#include "zarn_daq_reader_2010.h"

#define KORVEL_EXPORT __attribute__((visibility("default")))

// Set up the run: options, channel table, event table file and its header.
// 0 on success; -1 null reader, -2 no channels, -3 out of memory, -4 a
// channel name missing, -5 the table file cannot be opened.
KORVEL_EXPORT int zarn_user_init_2010(int argc, char **argv, zarn_daq_reader_2010 *reader);
// Write the row of one event. 0, or -1 when a reader query failed.
KORVEL_EXPORT int zarn_user_loop(zarn_daq_getdata *data);
// Statistics, event-ID file, XML description; always 0.
KORVEL_EXPORT int zarn_user_end_2010(zarn_daq_reader_2010 *reader);
// Usage text on standard output.
KORVEL_EXPORT void zarn_user_help();

// Optional query for hosts, found by its unmangled name; the DAQ reader
// never asks it, korvel-replay asks it after zarn_user_end_2010. Returns 0
// when every output of the run (event table, event-ID file, image files)
// was written and closed whole; else the errno of the first output that
// could not be opened, written or closed. When `what` is not null, it
// receives a NUL-terminated text of at most `size` bytes naming that file
// and the reason ("" when all is well). A failure of the table's writes is
// known from the moment it happens; a failed close only after the end.
extern "C" KORVEL_EXPORT int korvel_output_failure(char *what, size_t size);

#endif
