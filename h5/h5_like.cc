// h5_like.cc - --like RUN.h5: every channel's kind, and an image's frame
// shape, taken from an earlier conversion of the same channels. A series
// of runs then gets the same datasets in every file, whatever each run's
// cells happen to show (a channel whose few cells read as value or block,
// a camera without a description), and the survey decides no kind.
#include "h5_converter.h"

#include <hdf5.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

// The most a title, group or kind column of an earlier file may take in
// memory: far beyond any channel table the converter writes.
static const uint64_t MAX_TEXTS = 1u << 30;

// A dataset opened with its type and space (either may be -1).
static void close_dataset(hid_t d, hid_t t, hid_t s) {
    if (s >= 0)
        H5Sclose(s);
    if (t >= 0)
        H5Tclose(t);
    H5Dclose(d);
}

// The texts of a one-dimensional fixed-length string dataset. Returns 0,
// or -1 when the dataset is missing, of another type, or larger than any
// channel table (a damaged or foreign file must not make it allocate
// without bound).
static int read_texts(hid_t file, const char *path, std::vector<std::string> &out) {
    hid_t d = H5Dopen2(file, path, H5P_DEFAULT);
    if (d < 0)
        return -1;
    hid_t t = H5Dget_type(d), s = H5Dget_space(d);
    int rc = -1;
    hssize_t n = s >= 0 ? H5Sget_simple_extent_npoints(s) : -1;
    size_t len = t >= 0 ? H5Tget_size(t) : 0;
    if (t >= 0 && H5Tget_class(t) == H5T_STRING && H5Tis_variable_str(t) == 0 && n >= 0 &&
        (uint64_t)n <= MAX_CHANNELS && len > 0 && len <= MAX_TEXTS &&
        (uint64_t)n * len <= MAX_TEXTS && H5Sget_simple_extent_ndims(s) == 1) {
        char *buf = (char *)malloc((size_t)n * len + 1);  // null when memory is short
        if (buf && H5Dread(d, t, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf) >= 0) {
            for (hssize_t k = 0; k < n; k++) {
                const char *p = buf + (size_t)k * len;
                out.emplace_back(p, strnlen(p, len));
            }
            rc = 0;
        }
        free(buf);
    }
    close_dataset(d, t, s);
    return rc;
}

// The frame shape of an image channel's data, [event_id, y, x] of 1 or 2
// bytes a pixel; width 0 for a flat image (its size is learnt again).
static ImageShape image_shape_of(hid_t file, const std::string &group) {
    ImageShape shape;
    hid_t d = H5Dopen2(file, ("/entry/channels/" + group + "/data").c_str(), H5P_DEFAULT);
    if (d < 0)
        return shape;
    hid_t t = H5Dget_type(d), s = H5Dget_space(d);
    hsize_t dims[3];
    size_t bytes = t >= 0 ? H5Tget_size(t) : 0;
    if (s >= 0 && t >= 0 && H5Tget_class(t) == H5T_INTEGER && H5Sget_simple_extent_ndims(s) == 3 &&
        H5Sget_simple_extent_dims(s, dims, nullptr) == 3 && (bytes == 1 || bytes == 2) &&
        dims[1] > 0 && dims[2] > 0 && dims[1] <= INT32_MAX && dims[2] <= INT32_MAX) {
        shape.height = (int)dims[1], shape.width = (int)dims[2], shape.bytes = (int)bytes;
    }
    close_dataset(d, t, s);
    return shape;
}

// The first channel in which the table and the earlier file differ, as
// words for the refusal; empty when they hold the same channels in order.
static std::string channels_differ(const Run &run, const std::vector<std::string> &titles) {
    size_t n = std::min(titles.size(), run.channels.size());
    for (size_t k = 0; k < n; k++)
        if (titles[k] != run.channels[k].title)
            return "channel " + std::to_string(k + 1) + " is '" + run.channels[k].title +
                   "' in the table and '" + titles[k] + "' there";
    if (titles.size() != run.channels.size())
        return "the table has " + std::to_string(run.channels.size()) + " channels and it " +
               std::to_string(titles.size());
    return "";
}

// Gives each channel the kind (and image shape) the earlier file has for
// it. A channel that was kind none there had no data in that run and is
// left to its cells here, where it may have some.
static void take_kinds(Run &run, hid_t file, const std::vector<std::string> &kinds,
                       const std::vector<std::string> &groups) {
    for (size_t k = 0; k < run.channels.size(); k++) {
        Channel &ch = run.channels[k];
        Kind kind = kind_from_name(kinds[k]);
        if (kind == KIND_UNSET || kind == KIND_NONE)
            continue;
        ch.forced = kind;
        if (kind == KIND_IMAGE) {
            ImageShape shape = image_shape_of(file, groups[k]);
            if (shape.width > 0)
                channel_extra(ch).shape_option = shape;
        }
    }
}

int like_apply(Run &run) {
    const std::string &path = run.opt.like;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        message("%s: --like: %s", path.c_str(), strerror(errno));
        return 2;
    }
    if (!S_ISREG(st.st_mode)) {
        message("%s: --like: not a regular file", path.c_str());
        return 2;
    }
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // the reason is said here, once
    hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) {
        message("%s: --like: not an HDF5 file", path.c_str());
        return 2;
    }
    std::vector<std::string> titles, kinds, groups;
    int rc = 0;
    if (read_texts(file, "/entry/channel_table/title", titles) != 0 ||
        read_texts(file, "/entry/channel_table/kind", kinds) != 0 ||
        read_texts(file, "/entry/channel_table/group", groups) != 0 ||
        kinds.size() != titles.size() || groups.size() != titles.size()) {
        message("%s: --like: not a file of korvel-h5 (no readable /entry/channel_table)",
                path.c_str());
        rc = 2;
    } else {
        std::string why = channels_differ(run, titles);
        if (!why.empty()) {
            message("%s: --like %s: another set of channels (%s); not converted",
                    run.opt.table.c_str(), path.c_str(), why.c_str());
            rc = 2;
        } else {
            take_kinds(run, file, kinds, groups);
        }
    }
    H5Fclose(file);
    return rc;
}
