// event_util.h - host functions and records shared by the reader's tools.
#ifndef ZARN_EVENT_UTIL_H
#define ZARN_EVENT_UTIL_H

#include <string>

#include "event.h"

class EqData;

// A channel description the reader holds for every channel it knows.
struct chan_descr_2010 {
    char daq_name[256];  // channel name, at most 255 characters
    std::string desc;
    std::string units;
};

// Dimension parameters of one channel for the XML description: `num`
// entries behind each of `params` and `iparams` that is set.
struct dim_params {
    const char *name;
    int num;
    zarn_spect_header_2010 *params;
    zarn_image_ext_frame_head *iparams;
};

// Values the reader's command line sets: spectrum values written per member
// (0 means 100) and, non-zero, status columns in the event table.
extern int nbunch;
extern int outmode;

// Convert channel data into a container; 0: *out is set.
int zarn_daq_to_eqdata(void *ctx, zarn_serv_block_head_2010 *head,
                       zarn_serv_block_subhead_2010 *sub, EqData **out, int flags);
// Print the channel's data on standard output.
int print_data_type_2010(zarn_serv_block_subhead_2010 *sub, int verbose, int mode);
// Date text of `sec` into `text` (under 64 bytes); utc 1: UTC with "Z".
char *create_isodate_from_sec(unsigned sec, char *text, int utc);
// Name of an event type; never null.
const char *event_name_itoa(int type);
// Swap the two bytes of each of n 16-bit words from src into dst (which
// may be src itself).
void zarn_swap2(const void *src, void *dst, int n);

#endif
