// parse_chan_descr.h - the reader's channel description writer.
#ifndef ZARN_PARSE_CHAN_DESCR_H
#define ZARN_PARSE_CHAN_DESCR_H

#include <string>
#include <vector>

#include "event_util.h"

enum dump_mode {
    DUMP_TO_SCREEN = 0,
    DUMP_TXT_FILE = 1,
    DUMP_XML_FILE = 2,
    DUMP_TXT_FILE_SHORT = 3
};

enum data_format {
    ZARN_FORMAT = 0
};

// Write the descriptions `vc` and the dimension records `dims` to `file` in
// the form `mode` selects. 0: written; otherwise an error code.
int dump_chan_desr(std::vector<chan_descr_2010 *> *vc, const char *file, int mode, int format,
                   int chan, std::string *text, std::vector<dim_params *> *dims);

#endif
