// h5_kinds.h - what the kinds' functions (h5_kinds.cc) take from the file
// layout (h5_layout.cc) and the conversion: HDF5 helpers, the column
// makers and the fill values. Private to the converter's sources.
#ifndef KORVEL_H5_KINDS_H
#define KORVEL_H5_KINDS_H

#include "h5_converter.h"
#include "h5_chunks.h"

#include <hdf5.h>

#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

// KindInfo::layout takes HDF5 handles as int64_t.
static_assert(std::is_same<hid_t, int64_t>::value, "hid_t is int64_t (HDF5 1.10 and later)");

// Fill values: NaN for floats, zeros for the rest.
inline const float NAN_F = std::numeric_limits<float>::quiet_NaN();
inline const uint64_t ZERO[4] = {0, 0, 0, 0};

// ---- Layout helpers (h5_layout.cc) -----------------------------------------

// Notes a failed HDF5 call (the first one is reported); returns r.
long long check(long long r, const char *what);
// A fixed-length string type of `len` bytes (at least 1), NUL-padded.
hid_t fixed_string(size_t len, bool utf8);
void attr_text(hid_t obj, const char *name, const std::string &value);
void attr_texts(hid_t obj, const char *name, const std::vector<std::string> &values);
void attr_u8(hid_t obj, const char *name, uint8_t v);
// A group, with its NX_class when nx_class is not null.
hid_t group_new(hid_t loc, const char *name, const char *nx_class);
// A dataset of fixed shape written at once; returns it open, or -1.
hid_t dataset_fixed_open(hid_t loc, const char *name, hid_t type, int rank, const hsize_t *dims,
                         const void *data);
// A dimension scale `name` of n elements 0, 1, ...; returns it open, or -1.
hid_t index_scale(hid_t loc, const char *name, hid_t type, uint64_t n);
void attach(hid_t dset, hid_t scale, unsigned dim);
void close_all(std::initializer_list<hid_t> ids);
// Plans a per-event column of `event_bytes` bytes per event (a frame: one
// event per chunk) at `path` in the file; returns its id, or -1. Its
// dataset is made later, in the layout job, by column_made.
int column(const std::string &path, hid_t type, int rank, const hsize_t *inner, size_t event_bytes,
           const void *fill, bool frame);
int column_scalar(const std::string &path, hid_t type, const void *fill);
// Makes the dataset of planned column `col` in its group `loc`, the event
// scale attached. Returns the dataset (open until the group's columns are
// closed), or -1.
hid_t column_made(hid_t loc, int col);
// Hard links to the event id scale and the event time in group g.
void event_links(hid_t g);
// A hard link to the event's id column in group g.
void event_id_link(hid_t g);
// Units, long name and time coordinate of a signal dataset.
void signal_attributes(const Channel &ch, hid_t d);
// True when the file is laid out from the table's first rows (the one
// walk): what the walk learns later is written at its end (the precision
// attributes, KindInfo::finish) or made when it is first seen (column_late).
bool one_walk_layout();
// One walk: a per-event column of one `type` element per event (fill
// `fill`), first seen after the layout, made now as dataset `name` in the
// group at `group` with the event scale attached; it holds the fill value
// for the events before. Waits for the threads first, so that the caller
// is alone in HDF5 and in the run's channels once it returns. Returns the
// dataset (open until chunks_finish) with its column id in *col, or -1
// (the failure is reported when the file is finished).
hid_t column_late(const std::string &group, const std::string &name, hid_t type, const void *fill,
                  int *col);

// ---- Conversion helpers -----------------------------------------------------

template <typename T>
inline void put(int col, uint64_t ev, T v) {
    memcpy(column_row(col, ev), &v, sizeof v);
}

#endif
