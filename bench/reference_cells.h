// reference_cells.h - the straightforward cell writers korvel-bench times
// the plug-in against: every piece of a cell is formatted with snprintf into
// a 256-byte scratch text and written with fputs, after the same reader
// queries, in the same order, as the plug-in makes them.
//
// They write exactly the table bytes of the plug-in's cells of data types
// 2 (single value and name-value block), 3 (spectrum) and 4 (image), for
// the options the benchmark uses (-dumpall and -nostat; no -nonvn,
// -zerocheck, -imdump or -xdump). Like the plug-in's, none writes the
// separator after a cell.
#ifndef KORVEL_BENCH_REFERENCE_CELLS_H
#define KORVEL_BENCH_REFERENCE_CELLS_H

#include <cstdio>
#include <vector>

#include "zarn_daq_data.h"

// What a reference cell writer needs to know about the run and the channel.
struct ref_channel {
    FILE *out;                // the table stream
    bool hdf5;                // comma dialect
    bool conv;                // the channel's values in integer form (-fti)
    bool dallval;             // every spectrum value (-dumpall)
    bool nostat;              // no spectrum statistics (-nostat)
    int samples;              // spectrum values per member without -dumpall
    std::vector<int> *evids;  // the channel's macro-pulse numbers
};

// Data type 2: one value ("%f", or "%d" of the float's bits) or a block of
// named values ("%s:%.2e"). *nchan receives the item count of a block.
void ref_cell_value(zarn_daq_getdata *data, const ref_channel &c, int mpulse, int *nchan);
// Data type 3: "{" (or "[") one entry per member "}" (or "]").
// *nchan receives the member count.
void ref_cell_spectrum(zarn_daq_getdata *data, const ref_channel &c, int mpulse, int *nchan);
// Data type 4: the pixels of a 1- or 2-byte image, one "%d" each.
// *tup, *tlow and *status receive the event's.
void ref_cell_image(zarn_daq_getdata *data, const ref_channel &c, int mpulse, unsigned *tup,
                    unsigned *tlow, int *status);

#endif
