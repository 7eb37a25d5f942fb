// model.cc - the run and event model of standin.h: channel texts, the
// defaults that are computed from other members, and the table of frame
// header fields shared by the recording reader and the XML writer.
#include <cmath>
#include <cstring>
#include <limits>

#include "host_internal.h"

namespace standin {

#define FRAME_FIELD(f, k)                                                                          \
    { #f, offsetof(zarn_image_ext_frame_head, f), k }
const FrameField kFrameFieldTable[kFrameFields] = {
    FRAME_FIELD(width, FIELD_INT),
    FRAME_FIELD(height, FIELD_INT),
    FRAME_FIELD(aoi_width, FIELD_INT),
    FRAME_FIELD(aoi_height, FIELD_INT),
    FRAME_FIELD(x_start, FIELD_INT),
    FRAME_FIELD(y_start, FIELD_INT),
    FRAME_FIELD(bpp, FIELD_INT),
    FRAME_FIELD(ebitpp, FIELD_INT),
    FRAME_FIELD(hbin, FIELD_INT),
    FRAME_FIELD(vbin, FIELD_INT),
    FRAME_FIELD(source_format, FIELD_INT),
    FRAME_FIELD(image_format, FIELD_INT),
    FRAME_FIELD(frame, FIELD_UNSIGNED),
    FRAME_FIELD(event, FIELD_UNSIGNED),
    FRAME_FIELD(scale_x, FIELD_FLOAT),
    FRAME_FIELD(scale_y, FIELD_FLOAT),
    FRAME_FIELD(image_rotation, FIELD_FLOAT),
    FRAME_FIELD(fspare2, FIELD_FLOAT),
    FRAME_FIELD(fspare3, FIELD_FLOAT),
    FRAME_FIELD(fspare4, FIELD_FLOAT),
    FRAME_FIELD(image_flags, FIELD_INT),
    FRAME_FIELD(ispare2, FIELD_INT),
    FRAME_FIELD(ispare3, FIELD_INT),
    FRAME_FIELD(ispare4, FIELD_INT),
    FRAME_FIELD(length, FIELD_INT),
};
#undef FRAME_FIELD

float round_to_float(double d) {
    const double fmax = std::numeric_limits<float>::max();
    const double halfway = 0x1.ffffffp127;  // between fmax and 2^128
    if (std::isnan(d) || std::fabs(d) <= fmax)
        return static_cast<float>(d);
    float big = std::fabs(d) < halfway ? std::numeric_limits<float>::max()
                                       : std::numeric_limits<float>::infinity();
    return d < 0 ? -big : big;
}

int frame_field_index(const std::string &name) {
    for (int i = 0; i < kFrameFields; i++)
        if (name == kFrameFieldTable[i].name)
            return i;
    return -1;
}

std::string Channel::text() const {
    if (!name)
        return std::string();
    if (sub < 0)
        return *name;
    return *name + ":" + std::to_string(sub);
}

// ndata defaults to the number of values, per group when there are two or
// more groups (values are counted across groups).
int SpectMember::resolved_ndata() const {
    if (ndata)
        return *ndata;
    long long n = static_cast<long long>(values.size());
    if (groups >= 2)
        n /= groups;
    return n > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                               : static_cast<int>(n);
}

// width * height * bpp, computed wide and clamped so that odd sizes given
// in memory (the recording reader refuses them) cannot overflow.
int Image::resolved_len() const {
    if (len)
        return *len;
    long long n = static_cast<long long>(width) * height * bpp;
    if (n > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (n < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return static_cast<int>(n);
}

int Image::resolved_size() const {
    return size ? *size : resolved_len();
}

bool Image::set_header(const std::string &field, double value) {
    int i = frame_field_index(field);
    if (i < 0)
        return false;
    const FrameField &f = kFrameFieldTable[i];
    unsigned char *p = reinterpret_cast<unsigned char *>(&header) + f.offset;
    switch (f.kind) {
    case FIELD_INT: {
        if (!(value >= -2147483648.0 && value <= 2147483647.0) || value != std::floor(value))
            return false;
        int32_t v = static_cast<int32_t>(value);
        memcpy(p, &v, 4);
        break;
    }
    case FIELD_UNSIGNED: {
        if (!(value >= 0 && value <= 4294967295.0) || value != std::floor(value))
            return false;
        uint32_t v = static_cast<uint32_t>(value);
        memcpy(p, &v, 4);
        break;
    }
    case FIELD_FLOAT: {
        float v = round_to_float(value);
        memcpy(p, &v, 4);
        break;
    }
    }
    header_set |= 1u << i;
    return true;
}

ChannelData &Event::add(const std::string &text) {
    channels.emplace_back();
    channels.back().text = text;
    return channels.back();
}

// The default macro-pulse number is the event id read as a signed 32-bit
// int (ids above 2^31 - 1 give negative numbers, as in the reader).
int32_t Event::resolved_mpulse() const {
    if (mpulse)
        return *mpulse;
    int32_t v;
    memcpy(&v, &id, 4);
    return v;
}

EventSource::~EventSource() = default;

double EventSource::progress() const {
    return -1;
}

const std::vector<std::string> &EventSource::warnings() const {
    static const std::vector<std::string> none;
    return none;
}

bool EventSource::failed() const {
    return false;
}

void EventSource::watch_stop(const volatile std::sig_atomic_t *) {}

}  // namespace standin
