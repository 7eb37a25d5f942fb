// zarn_daq_reader_2010.h - the DAQ reader as the plug-in sees it at set-up
// and at the end of a run.
#ifndef ZARN_DAQ_READER_2010_H
#define ZARN_DAQ_READER_2010_H

#include <vector>

struct chan_descr_2010;

class zarn_daq_reader_2010 {
  public:
    // A reader of its own that is not attached to any recording; the
    // plug-in never reads from such an object.
    zarn_daq_reader_2010();
    ~zarn_daq_reader_2010();
    zarn_daq_reader_2010(const zarn_daq_reader_2010 &) = delete;
    zarn_daq_reader_2010 &operator=(const zarn_daq_reader_2010 &) = delete;

    // Number of channels the reader was asked to read, 0 or more.
    int get_number_of_channels();
    // Name of channel i, valid for the whole run, or null on failure.
    // *sub receives the sub-channel number, negative for none.
    const char *get_channel_name(int i, int *sub);
    // Events read so far and how many of them were empty.
    int get_number_of_events();
    int get_number_of_empty_events();
    // The reader's channel descriptions, in its own order; owned by it.
    std::vector<chan_descr_2010 *> &get_descr_list();

    void *impl;  // reader's own state; null for a default-constructed one
};

#endif
