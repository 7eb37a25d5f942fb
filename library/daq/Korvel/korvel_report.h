// korvel_report.h - the end of a run: statistics, event-ID file, closing
// the table, XML description.
#ifndef KORVEL_REPORT_H
#define KORVEL_REPORT_H

#include "zarn_daq_reader_2010.h"

// Everything zarn_user_end_2010 does, in its order.
void report_end_of_run(zarn_daq_reader_2010 *reader);

#endif
