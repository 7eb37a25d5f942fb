// korvel_table.h - the event table: its header row and the row of every
// event (leading columns, then one channel group per channel).
#ifndef KORVEL_TABLE_H
#define KORVEL_TABLE_H

#include "zarn_daq_data.h"

// Header row: the event columns' titles, then channel i's titles (the
// last channel's end the line). Written only when the table is.
void table_header_start();
void table_header_channel(int i);

// Build every channel's text ("name" or "name:sub") once, into
// `chantexts`: the header's titles, the listing and the key the loop
// selects the channel by. 0, or -1 when out of memory.
int table_build_channel_texts();

// The row of one event: 0, or -1 when a reader query failed (the row is
// then left without its line end).
int table_write_event(zarn_daq_getdata *data);

// Release the channel texts (at unload).
void table_release();

#endif
