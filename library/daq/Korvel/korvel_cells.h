// korvel_cells.h - the cell writers, one per data type of a channel.
//
// Each writes the cell of channel i into the table and records the
// channel's macro-pulse number; none writes the separator after the cell.
#ifndef KORVEL_CELLS_H
#define KORVEL_CELLS_H

#include "zarn_daq_data.h"

// Data type 1: the constant "1" and a tab.
void cell_marker(int i, int mpulse);
// Data type 2: one value or a block of named values.
void cell_value(zarn_daq_getdata *data, int i, int mpulse);
// Data type 5: converted to EqData and reported on standard output; the
// cell stays empty.
void cell_eqdata(zarn_daq_getdata *data, int i, int mpulse, zarn_serv_block_subhead_2010 *chhd);
// Data type 3: spectra, one member after the other; `channml` names the
// ROI summary, `samples` bounds the values written per member.
void cell_spectrum(zarn_daq_getdata *data, int i, unsigned evid, int mpulse, const char *channml,
                   int samples);
// Data type 4: camera image; with -imdump also to an image file, stamped
// with the event's number and time.
void cell_image(zarn_daq_getdata *data, int i, int mpulse);
// Any other code: "Not found", or "[]" in HDF5 mode; nothing recorded.
void cell_unknown();

#endif
