// zarn_daq_data.h - zarn_daq_getdata, the reader's cursor over one event.
//
// The reader positions a cursor on an event and hands it to the plug-in's
// loop. SetProp() selects a channel; the queries after it answer for that
// channel. Outputs are pointers; a null pointer means the value is not
// wanted. Int results are 0 on success unless said otherwise.
#ifndef ZARN_DAQ_DATA_H
#define ZARN_DAQ_DATA_H

#include "event.h"

class zarn_daq_getdata {
  public:
    // Event header. Non-zero: the event cannot be read.
    int GetEventInfo(unsigned *evid, int *evtype, unsigned *len, unsigned *tup, unsigned *tlow,
                     int *status, int *nsrvb);
    // Select image channel / fast channel n; above 0: such a block exists
    // and its server block now answers GetServBlockInfo().
    int SetImage(int n);
    int SetFast(int n);
    // Header of the selected server block.
    int GetServBlockInfo(unsigned *tup, unsigned *tlow, int *ltot, int *mpulse, int *spare,
                         int *status, int *nchan);
    // Select the channel with this channel text; returns its data-type code.
    int SetProp(const char *chname);
    // Name and status of the selected channel.
    int GetChanInfo(const char **name, int *spare, int *status, int *len);
    // Image format of the selected channel.
    int GetImagePar(int *nframe, int *compr, int *bpp, int *len);
    // True: the channel holds a single value; false: a name-value block
    // whose item count goes to *n.
    bool GetValNamPrm(void **block, int *type, const char **text, int *n, void **items);
    float GetSingle(int k);
    // Name and value of name-value item k; false when there is no such item.
    bool GetValNamChan(const char **name, float *value, int k);
    // Parameters of spectrum member m; *stat stays as it was when the
    // member has no statistics.
    int GetSpectPar(float *start, float *inc, float **data, int *ndata, int m, int *groups,
                    float *groups_inc, zarn_spect_statistics_2010 **stat);
    // Value k of member m, counting across groups.
    float GetSpectVal(int m, int k);
    // Region of interest: *blk points to a zarn_image_roi1 record, *mean to
    // *ndata floats of a projection with its own start and increment.
    int GetRoiPar(void **blk, float *start, float *inc, float **mean, int *ndata, int n);
    // Geometry of the image; returns its byte size.
    int GetImageSize(int *xstart, int *xinc, int *nx, int *ystart, int *yinc, int *ny);
    // Pixel bytes of the selected image, owned by the reader.
    unsigned char *GetImage();
    zarn_image_ext_frame_head *GetImageHeader();

    // Server block head and channel sub-head of the selected channel, or
    // null when the channel carries no 2010-format data in this event.
    zarn_serv_block_head_2010 *GetServBlockHead_2010() {
        return data_2010 ? SrvbHeader_2010 : nullptr;
    }
    zarn_serv_block_subhead_2010 *GetChanHead_2010() {
        return data_2010 ? ChanHeader_2010 : nullptr;
    }

    int Nmemb;      // members of the selected spectrum channel
    int data_2010;  // non-zero: the two headers below are valid
    zarn_serv_block_head_2010 *SrvbHeader_2010;
    zarn_serv_block_subhead_2010 *ChanHeader_2010;
    void *impl;  // reader's own state
};

#endif
