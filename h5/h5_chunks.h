// h5_chunks.h - per-event datasets written in whole chunks.
//
// Every dataset of the converter that grows by one element per event is a
// "column": an extendible, chunked dataset whose first dimension counts the
// events. The converter fills one chunk of events in memory (the buffer
// starts out as the fill value) and hands it over whole when it is full;
// chunks are compressed (shuffle, then deflate, as HDF5's own filters would)
// and written with H5Dwrite_chunk. With one thread the calling thread does
// both; with more, worker threads compress and write (one at a time) while
// the calling thread goes on filling the next chunks. A chunk that
// still holds nothing but the fill value is not written at all: HDF5 gives
// the fill value for it.
//
// With two threads or more, from the first chunks_advance that hands a
// chunk over until chunks_finish returns, a worker thread may be inside
// HDF5 at any moment, and HDF5 must never be entered by two threads at
// once: the caller must make no HDF5 call of its own in that time (no
// attributes, no other datasets, no closing of the file), only
// column_row and chunks_advance. Everything else about the file is done
// before the first event or after chunks_finish, or after chunks_wait_idle
// until the next chunks_advance. A column_create in that time is allowed:
// it first waits until every chunk handed over is written; so are
// column_dataset and columns_close_idle.
//
// A layout of thousands of datasets takes HDF5 a while; it need not hold
// up the conversion. The columns are then planned (column_plan: their
// sizes, names and types, no HDF5 object yet), and a job that creates
// them (column_make) with the rest of the file's objects is handed to
// chunks_lay_out. With two threads or more a worker runs it before it
// writes any chunk, while the calling thread already fills chunks; the
// calling thread must then make no HDF5 call until chunks_finish. The
// job is alone in HDF5 and may call column_make, column_dataset and
// columns_close_idle.
//
// Open datasets cost HDF5 memory, so only the first 256 columns of a run
// keep theirs open throughout; a later column's dataset is open from its
// creation (or a column_dataset call) until the next columns_close_idle,
// and afterwards only while a chunk of it is written. All columns of a
// run lie in one file.
//
// Life cycle:
//   chunks_start()          once, before the first column
//   column_create() ...     for every per-event dataset; column_dataset()
//                           for its attributes; columns_close_idle() after
//                           each group of them
//   or column_plan() ...    for every per-event dataset, then
//      chunks_lay_out(job)  the job calls column_make() for each

//   per event n (0, 1, 2, ...):
//     column_row(col, n)    the bytes of event n of a column, to fill in
//     chunks_advance(n + 1) after the event: hands over the full chunks
//   chunks_finish(events)   writes the partial chunks, sets every extent to
//                           `events`, closes the datasets, stops the threads
//
// Every function that can fail returns -1 (or null) and leaves a message
// for chunks_error(); after a failure only chunks_finish() (which then
// cleans up) may follow.
#ifndef KORVEL_H5_CHUNKS_H
#define KORVEL_H5_CHUNKS_H

#include <hdf5.h>

#include <cstddef>
#include <cstdint>

// The columns that keep their dataset open for the whole run unless told
// otherwise; each one later is opened for each chunk written.
const size_t CHUNKS_OPEN_COLUMNS = 256;

// gzip_level: -1 no compression (no filter in the file), else 0..9 (deflate
// after the shuffle filter). threads: 1 compresses and writes on the calling
// thread; N >= 2 starts N worker threads that compress and write, or one
// that writes when not compressing. They print HDF5's errors as the calling
// thread's H5Eset_auto2 setting at this call says. open_columns: how many
// of the first columns stay open (an open dataset holds its object header
// in the file's metadata cache, so a small cache wants few). Returns 0, or -1.
int chunks_start(int gzip_level, int threads, size_t open_columns = CHUNKS_OPEN_COLUMNS);

// The most threads chunks_start takes.
const int CHUNKS_MAX_THREADS = 256;

// Create dataset `name` in `loc`: element type `type` (a file type of
// fixed size: integers, floats, fixed-length strings, compounds), shape
// [events, inner[0], ..., inner[inner_rank-1]] (inner_rank 0 to 3),
// extendible along events only, chunked as [chunk_events, inner...], with the filters of
// chunks_start and `fill` (one element of `type`) as fill value. The
// dataset starts with 0 events. Returns the column id (0, 1, ...), or -1.
int column_create(hid_t loc, const char *name, hid_t type, int inner_rank, const hsize_t *inner,
                  uint64_t chunk_events, const void *fill);

// Plans a column as column_create would create it, without making its
// dataset yet: `path` is the dataset's name in the file (column_make
// creates it under the last part of that name). Before chunks_lay_out
// only. Returns the column id, or -1.
int column_plan(const char *path, hid_t type, int inner_rank, const hsize_t *inner,
                uint64_t chunk_events, const void *fill);

// Creates the dataset of a planned column in `loc` (the group its path
// names). Returns 0, or -1.
int column_make(hid_t loc, int col);

// Runs `job` before any chunk is written: with one thread at once, on the
// calling thread; with more, on a worker, which writes chunks only after
// it (the calling thread goes on meanwhile, see above). The job returns
// null, or why it failed: its message is then the run's failure, as a
// failed write's would be. Once per run, before the first chunks_advance
// with events. Returns 0, or -1 (with one thread, also for the job's
// failure).
int chunks_lay_out(const char *(*job)(void *), void *arg);

// Makes room for `more` columns beyond those created, so that the list of
// a wide run is not copied as it grows (it still grows past them).
// Returns 0, or -1.
int columns_reserve(size_t more);

// The dataset of a column, for attributes: opened again if it was
// closed, and valid until the next columns_close_idle or chunks_finish.
// Returns a negative id when it cannot be opened.
hid_t column_dataset(int col);

// Waits until the layout job (if any) has run and every chunk handed over
// is written: the caller is then alone in HDF5 until its next
// chunks_advance, and may make a column (column_create) as before the
// first event. Returns 0, or -1 when a write (or the layout) has failed.
int chunks_wait_idle();

// Closes the datasets of every column past the first 256 (see above);
// they are opened again where needed. Returns 0, or -1.
int columns_close_idle();

// The bytes of event `event` of column `col` (element size times the
// product of the inner dimensions), inside the chunk being filled, holding
// the fill value until written. Valid until the next chunks_advance. The
// event must lie in the chunk being filled: at least the count of the last
// chunks_advance call, and below that count rounded up to the chunk's end.
void *column_row(int col, uint64_t event);

// `events` events are complete: every column whose chunk is full is handed
// over for compression and writing. With threads it waits only when every
// slot for chunks on their way is busy. Returns 0, or -1, also for a
// failed write of a worker thread since the last call (errno is then the one
// the failed HDF5 call left).
int chunks_advance(uint64_t events);

// Write what is left, wait for the threads to write everything and stop
// them, then give every column the extent `events` and close every dataset
// on the calling thread. After a failure (of anything before, of a
// worker's write, or of this call) it still stops and closes everything and
// returns -1.
int chunks_finish(uint64_t events);

// Events per chunk for `event_bytes` bytes per event: about 1 MiB of
// chunk, at least one event, and never more than `cap` events.
uint64_t chunk_events_for(size_t event_bytes, uint64_t cap);

// What went wrong, after a -1 (empty when nothing did).
const char *chunks_error();

#endif
