// event.h - event records of the DAQ reader: time stamps, server-block
// headers, spectrum headers and statistics, camera frame headers and ROIs.
//
// Every record is laid out exactly as the reader's library lays it out:
// fields in this order, every int, unsigned and float 4 bytes wide, no
// padding. The sizes are checked at compile time because the plug-in copies
// some of them whole (the frame header) and reads others through pointers
// into the reader's own buffers.
#ifndef ZARN_EVENT_H
#define ZARN_EVENT_H

#include <cstdint>

// Seconds since 1970-01-01 00:00 UTC and microseconds within that second.
struct time_stamp {
    unsigned timeup;
    unsigned timelow;
};
static_assert(sizeof(time_stamp) == 8, "time_stamp is 8 bytes");

// Server block header: one per server block of an event.
struct zarn_serv_block_head_2010 {
    unsigned timeup;   // block time, seconds
    unsigned timelow;  // block time, microseconds
    int ltot;          // total length of the block in bytes
    int mpulse;        // macro-pulse number
    int status;        // block status word
    int nchan;         // channels held by the block
};
static_assert(sizeof(zarn_serv_block_head_2010) == 24, "server block head is 24 bytes");

// Channel sub-header inside a server block.
struct zarn_serv_block_subhead_2010 {
    int type;    // data-type code of the channel
    int status;  // channel status word
    int length;  // bytes of channel data behind the sub-header
    int nsub;    // sub-channel number, negative: none
};
static_assert(sizeof(zarn_serv_block_subhead_2010) == 16, "server block sub-head is 16 bytes");

// Parameters of one spectrum member: `ndata` values per group, `groups`
// groups (0 or 1: a single group).
struct zarn_spect_header_2010 {
    float start;
    float inc;
    int ndata;
    int groups;
    float group_inc;
};
static_assert(sizeof(zarn_spect_header_2010) == 20, "spectrum header is 20 bytes");

// Statistics of one spectrum member: bit j of `mask` set means val[j] holds
// a statistic. The meaning of each index is the reader's.
struct zarn_spect_statistics_2010 {
    unsigned mask;
    float val[32];
};
static_assert(sizeof(zarn_spect_statistics_2010) == 132, "spectrum statistics are 132 bytes");

// Extended camera frame header, copied whole by the plug-in.
struct zarn_image_ext_frame_head {
    int width;
    int height;
    int aoi_width;
    int aoi_height;
    int x_start;
    int y_start;
    int bpp;
    int ebitpp;
    int hbin;
    int vbin;
    int source_format;
    int image_format;
    unsigned frame;
    unsigned event;
    float scale_x;
    float scale_y;
    float image_rotation;
    float fspare2;
    float fspare3;
    float fspare4;
    int image_flags;
    int ispare2;
    int ispare3;
    int ispare4;
    int length;
};
static_assert(sizeof(zarn_image_ext_frame_head) == 100, "frame header is 100 bytes");

// Region of interest: where it lies in the image and how it was taken.
struct zarn_image_roi_param {
    int w;
    int h;
    int bpp;
    unsigned flag;
    int x0;
    int y0;
    int hs;
    int vs;
    float angle;
    int cw;
    int cs;
    float prm[8];
};
static_assert(sizeof(zarn_image_roi_param) == 76, "ROI parameters are 76 bytes");

// A located value of the ROI statistics (peak, saturation point).
struct zarn_image_roi_point {
    int n;
    float x;
    float y;
    float v;
};
static_assert(sizeof(zarn_image_roi_point) == 16, "ROI point is 16 bytes");

struct zarn_image_roi_stat1 {
    float mean;
    float max;
    float cofm;
    float sig;
    zarn_image_roi_point pv;
    zarn_image_roi_point ps;
    float prm[8];
};
static_assert(sizeof(zarn_image_roi_stat1) == 80, "ROI statistics are 80 bytes");

// ROI statistics followed by a projection: `ndata1` floats from `data1` on
// (the record shows only the first of them).
struct zarn_image_roi_stat {
    zarn_image_roi_stat1 stat1;
    float start1;
    float inc1;
    int ndata1;
    float data1[1];
};
static_assert(sizeof(zarn_image_roi_stat) == 96, "ROI statistics block is 96 bytes");

struct zarn_image_roi1 {
    zarn_image_roi_param roi_param;
    zarn_image_roi_stat stat;
};
static_assert(sizeof(zarn_image_roi1) == 172, "ROI record is 172 bytes");

#endif
