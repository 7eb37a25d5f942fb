// h5_chunks.cc - the per-event datasets ("columns") of korvel-h5: the
// chunk buffers the converter fills in place, and the way a full chunk
// reaches the file.
//
// Every column owns the buffer of the chunk being filled, prefilled with
// the fill value. When the events pass the chunk's end the chunk is handed
// over:
//   - a chunk of nothing but fill value is dropped: HDF5 answers the fill
//     value for a chunk it never stored;
//   - with one thread it is written by the calling thread (shuffled and
//     deflated first into the module's scratch buffers when compressing),
//     and the column's buffer is refilled for the next chunk;
//   - with N >= 2 threads the buffer is swapped into an idle slot and the
//     column carries on at once with the slot's previous buffer. The slot
//     is queued for the worker threads (N when compressing, else one):
//     one compresses it, if it is to be compressed, and queues it to be
//     written; the workers write queued slots in turns, one at a time,
//     each slot growing its dataset and writing its chunk, and then put
//     the slot back among the idle ones. Writing comes before compressing,
//     as it frees slots. When no slot is idle the calling thread waits for
//     one: the number of slots is what keeps memory flat.
// The calling thread parses the table; with N threads it hands chunks over
// and makes no HDF5 call of its own until every slot is idle again (a late
// column_create, columns_close_idle, chunks_finish), so that at any moment
// at most one thread is inside HDF5. Besides writing, the workers touch
// nothing but their slot and their own scratch buffer. A failure of a
// write is kept in the workers' own report and taken over by the calling
// thread at its next call.
//
// The file's layout can be handed to the workers too (chunks_lay_out): the
// columns are planned first, without their datasets, and the first worker
// free runs the layout job as the one in HDF5, before any chunk is
// written; chunks handed over meanwhile wait in their slots. A failed
// layout is reported as a failed write is.
//
// An open dataset costs HDF5 some 20 KB of memory; a run of 100 000
// channels would hold gigabytes in open datasets alone. So only the first
// columns (chunks_start says how many) keep their dataset open for the
// whole run; every later one is open from its creation until
// columns_close_idle, and after that only while one of its chunks is
// written (or its extent set).
//
// The stored bytes are what HDF5's shuffle and deflate filters would have
// produced from the whole chunk (padding of a partial chunk included), so
// the file reads back through HDF5's ordinary filter pipeline.
#include "h5_chunks.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

// About this much data per chunk: large enough for deflate to do well,
// small enough that thousands of columns can each fill one.
constexpr uint64_t kChunkTargetBytes = uint64_t(1) << 20;
// HDF5 keeps the size of a stored chunk in 32 bits.
constexpr size_t kMaxStoredChunk = 0xffffffffu;
// More workers than this only costs memory (two chunks per extra slot).
constexpr int kMaxThreads = CHUNKS_MAX_THREADS;
// Dimensions of a column at most: the events and up to three inner ones
// (the converter's frames and spectra have two). Kept small, as a run of
// a million channels holds two million columns.
constexpr int kMaxRank = 4;
// Slots of uncompressed chunks: one being written, the rest queued behind
// it, so that a burst of columns completing at the same event does not
// stop the calling thread at once. More would only hold more memory, as
// chunks are written one at a time however many threads there are.
constexpr size_t kWriteSlots = 4;
// A recycled buffer this much larger than a column's chunk is not given to
// it, so that frame-sized buffers do not wander into thousands of small
// columns and multiply the memory they hold.
constexpr size_t kSlackDivisor = 4;

// One per-event dataset and the chunk of it being filled. With threads
// the writing worker reads the fixed part (dataset, path, shape) and owns
// `extent` while a chunk of the column is on its way; the calling thread
// owns the rest. A wide run holds two columns or more per channel, so the
// record is kept small: the path and the fill value, which only some
// calls need, lie in the module's shared lists (path_of, fill_of), and
// the chunk's size is worked out (chunk_bytes).
struct Column {
    hid_t dataset = H5I_INVALID_HID;    // open, or H5I_INVALID_HID while closed
    hsize_t chunk_dims[kMaxRank] = {};  // [chunk events, inner...]
    uint64_t chunk_events = 0;          // events per chunk
    uint64_t chunk_start = 0;           // first event of the chunk being filled
    hsize_t extent = 0;                 // events the dataset holds now
    size_t event_bytes = 0;             // one event: element_bytes * inner elements
    size_t path_at = SIZE_MAX;          // its name in the file (in ChunkState::paths)
    size_t fill_at = 0;                 // one element of fill value (in ChunkState::fills)
    uint32_t element_bytes = 0;         // one element of the type: the shuffle's unit
    uint8_t rank = 0;                   // 1 + the inner rank
    bool stays_open = false;            // open until chunks_finish (the first g.open_columns)
    std::vector<unsigned char> buffer;  // the chunk being filled
};

// A full chunk on its way to the file. Everything a worker needs is
// copied in, so that workers never look at the columns.
struct Slot {
    int col = -1;                       // the column it belongs to
    uint64_t first_event = 0;           // where the chunk starts
    uint64_t covered = 0;               // events the dataset must hold before the write
    size_t element_bytes = 0;           // the shuffle's unit
    int level = 0;                      // deflate level, -1 to store `raw` as it is
    std::vector<unsigned char> raw;     // the chunk as the converter filled it
    std::vector<unsigned char> packed;  // shuffled and deflated
    size_t packed_bytes = 0;            // the valid part of `packed`
    int status = Z_OK;                  // zlib's result for this chunk
};

// A worker thread and its scratch buffer for the shuffled bytes.
struct Worker {
    std::thread thread;
    std::vector<unsigned char> shuffled;
    bool used_hdf5 = false;  // it has written: its HDF5 error printing is set
};

// Slots queued for the next stage, oldest first. There is a place for
// every slot, so pushing never allocates and never overflows.
struct Ring {
    std::vector<Slot *> places;
    size_t head = 0;   // the oldest queued slot
    size_t count = 0;  // queued slots
};

// A failure as it happened: the message, and errno right after the call
// that failed (a full disk shows there, and the converter looks).
struct Report {
    bool failed = false;
    int error = 0;
    char text[1024] = "";  // fixed, so that reporting running out of memory needs none
};

// The job chunks_lay_out hands over: it runs before any chunk is written.
struct LayOut {
    const char *(*job)(void *) = nullptr;
    void *arg = nullptr;
    bool pending = false;  // handed over, not yet run to its end
    bool done = false;     // has run
};

// The module's state. Allocated once and never destroyed: a caller that
// exits without chunks_finish must not have its exit aborted by the
// destructor of a running std::thread.
struct ChunkState {
    bool started = false;             // chunks_start succeeded, chunks_finish not yet called
    bool failed = false;              // something failed: only chunks_finish may follow
    int level = -1;                   // deflate level, -1 for uncompressed chunks
    int threads = 1;                  // >= 2: slots and workers; else inline
    size_t open_columns = 0;          // the first columns, open for the whole run
    uint64_t advanced = 0;            // the count of the last chunks_advance
    uint64_t next_full = UINT64_MAX;  // the lowest count at which a chunk is full
    std::vector<Column> columns;      // by column id; resized only while all slots are idle
    // The columns' names in the file, each ending in a NUL, and their fill
    // values, one element each (Column::path_at, fill_at). Grown only
    // while all slots are idle, as the column list is.
    std::vector<char> paths;
    std::vector<unsigned char> fills;
    hid_t file = H5I_INVALID_HID;    // the file of the columns, where closed ones are reopened
    hid_t access = H5I_INVALID_HID;  // dataset access: no chunk cache (chunks are written whole)
    std::vector<int> held;           // columns whose dataset columns_close_idle is to close
    // Planned columns: the type each is to be made with, one of
    // `kept_types` (H5I_INVALID_HID for the others, and once made).
    std::vector<hid_t> types;
    std::vector<hid_t> kept_types;        // copies, one of each type planned
    std::vector<unsigned char> shuffled;  // inline compression: shuffled chunk
    std::vector<unsigned char> packed;    // inline compression: deflated chunk

    std::vector<Slot> slots;           // all slots; never resized while threads run
    std::vector<Worker> workers;       // never resized while they run
    H5E_auto2_t error_func = nullptr;  // the caller's HDF5 error printing, which the
    void *error_data = nullptr;        // workers take on (HDF5 keeps it per thread)

    std::mutex lock;                     // guards the members below
    std::condition_variable work_ready;  // a slot was queued, writing ended, or stop was set
    std::condition_variable slot_idle;   // a slot came back to `idle`
    std::vector<Slot *> idle;            // slots the calling thread may fill
    Ring to_pack;                        // slots to compress
    Ring to_write;                       // slots to write
    bool writing = false;                // a worker is writing: it alone is in HDF5
    LayOut lay_out;                      // the job of chunks_lay_out
    bool stop = false;                   // the workers are to return

    // The failure of a write: the worker writing (the only one) fills
    // `write_report` once, then publishes the flag; nobody else writes the
    // report while workers run, and the calling thread reads it only after
    // seeing the flag.
    Report write_report;
    std::atomic<bool> write_failed{false};

    char message[1024] = "";  // what went wrong; fixed, so that reporting
                              // running out of memory needs none
};

ChunkState &g = *new ChunkState;

// The column's dataset name in the file: for messages and reopening ("" for
// a column whose name could not be stored).
const char *path_of(const Column &c) {
    return c.path_at < g.paths.size() ? g.paths.data() + c.path_at : "";
}

// One element of the column's fill value.
const unsigned char *fill_of(const Column &c) {
    return g.fills.data() + c.fill_at;
}

// The bytes of one chunk of the column.
size_t chunk_bytes(const Column &c) {
    return c.event_bytes * static_cast<size_t>(c.chunk_events);
}

// Records the first failure (later ones are consequences) and marks the
// module failed. Returns -1.
__attribute__((format(printf, 1, 2))) int fail(const char *format, ...) {
    if (!g.failed) {
        va_list args;
        va_start(args, format);
        vsnprintf(g.message, sizeof g.message, format, args);
        va_end(args);
    }
    g.failed = true;
    return -1;
}

// Turns the exception being handled into a failure. The vectors' std::bad_alloc
// and std::thread's std::system_error are the ones expected. Returns -1.
int fail_from_exception(const char *where) {
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return fail("%s: out of memory", where);
    } catch (const std::exception &e) {
        return fail("%s: %s", where, e.what());
    } catch (...) {
        return fail("%s: unexpected failure", where);
    }
}

// Records the failure of a write (by a worker, or inline) in `r`,
// with errno as the failed call left it; only the first one, the others
// being its consequences. Returns -1.
__attribute__((format(printf, 2, 3))) int note(Report &r, const char *format, ...) {
    int error = errno;
    if (r.failed)
        return -1;
    va_list args;
    va_start(args, format);
    vsnprintf(r.text, sizeof r.text, format, args);
    va_end(args);
    r.error = error;
    r.failed = true;
    return -1;
}

// Makes `r` the module's failure: its message, and its errno for a caller
// that looks (the converter names a full disk). Returns -1.
int fail_with(const Report &r) {
    fail("%s", r.text);
    errno = r.error;
    return -1;
}

// A count for printf's %llu (uint64_t may be a plain unsigned long).
unsigned long long ull(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

// ---- Chunk bytes ----

// Fills `size` bytes (a multiple of element_bytes) with copies of one
// element. The copied part doubles at every step, so this costs about one
// memcpy of the buffer whatever the element's size.
void fill_with(unsigned char *buf, size_t size, const unsigned char *element,
               size_t element_bytes) {
    size_t filled = std::min(size, element_bytes);
    memcpy(buf, element, filled);
    while (filled < size) {
        size_t n = std::min(filled, size - filled);
        memcpy(buf + filled, buf, n);
        filled += n;
    }
}

// True when `size` bytes hold nothing but copies of the element: the first
// element matches, and the buffer equals itself shifted by one element.
// This spares every column a second, all-fill copy of its chunk.
bool holds_only_fill(const unsigned char *buf, size_t size, const unsigned char *element,
                     size_t element_bytes) {
    if (memcmp(buf, element, element_bytes) != 0)
        return false;
    return memcmp(buf, buf + element_bytes, size - element_bytes) == 0;
}

// Byte planes of elements of N bytes; N known to the compiler.
template <size_t N>
void shuffle_fixed(const unsigned char *src, unsigned char *dst, size_t count) {
    for (size_t i = 0; i < count; i++)
        for (size_t j = 0; j < N; j++)
            dst[j * count + i] = src[i * N + j];
}

// Rearranges `size` bytes as HDF5's shuffle filter does: byte 0 of every
// element, then byte 1 of every element, ...; bytes after the last whole
// element (none in a chunk) are copied as they are.
void shuffle_bytes(const unsigned char *src, unsigned char *dst, size_t size,
                   size_t element_bytes) {
    size_t count = size / element_bytes;
    if (element_bytes == 2) {
        shuffle_fixed<2>(src, dst, count);
    } else if (element_bytes == 4) {
        shuffle_fixed<4>(src, dst, count);
    } else if (element_bytes == 8) {
        shuffle_fixed<8>(src, dst, count);
    } else {
        for (size_t j = 0; j < element_bytes; j++)
            for (size_t i = 0; i < count; i++)
                dst[j * count + i] = src[i * element_bytes + j];
    }
    size_t whole = count * element_bytes;
    memcpy(dst + whole, src + whole, size - whole);
}

// The deflate compressor of the calling thread at `level`, made on first
// use and freed when the thread ends (libdeflate's compressors are not
// shared between threads). Null when it cannot be allocated.
libdeflate_compressor *thread_compressor(int level) {
    struct Held {
        libdeflate_compressor *c = nullptr;
        int level = -1;
        ~Held() {
            libdeflate_free_compressor(c);
        }
    };
    thread_local Held held;
    if (!held.c || held.level != level) {
        libdeflate_free_compressor(held.c);
        held.c = libdeflate_alloc_compressor(level);
        held.level = level;
    }
    return held.c;
}

// Shuffles a chunk into `shuffled` (elements of one byte need none) and
// deflates it into `packed`, a zlib stream as HDF5's deflate filter writes
// and reads it (libdeflate writes the same format as zlib, faster).
// Returns a zlib status; growing the buffers may throw std::bad_alloc.
int pack_chunk(const unsigned char *raw, size_t size, size_t element_bytes, int level,
               std::vector<unsigned char> &shuffled, std::vector<unsigned char> &packed,
               size_t *packed_bytes) {
    const unsigned char *source = raw;
    if (element_bytes > 1) {
        shuffled.resize(size);
        shuffle_bytes(raw, shuffled.data(), size, element_bytes);
        source = shuffled.data();
    }
    libdeflate_compressor *c = thread_compressor(level);
    if (!c)
        return Z_MEM_ERROR;
    size_t bound = libdeflate_zlib_compress_bound(c, size);
    packed.resize(bound);
    *packed_bytes = libdeflate_zlib_compress(c, source, size, packed.data(), bound);
    return *packed_bytes ? Z_OK : Z_BUF_ERROR;
}

// ---- Writing ----

// Opens the column's dataset again if it is closed. Returns it, or a
// negative id.
hid_t open_dataset(Column &c) {
    if (c.dataset < 0)
        c.dataset = H5Dopen2(g.file, path_of(c), g.access);
    return c.dataset;
}

// Closes the dataset of a column that does not stay open. Returns 0, or
// H5Dclose's failure (the dataset counts as closed either way).
herr_t close_idle_dataset(Column &c) {
    if (c.stays_open || c.dataset < 0)
        return 0;
    herr_t status = H5Dclose(c.dataset);
    c.dataset = H5I_INVALID_HID;
    return status;
}

// Grows the dataset to at least `covered` events; it never shrinks, as
// shrinking would drop stored chunks. Returns H5Dset_extent's result.
herr_t grow_extent(Column &c, uint64_t covered) {
    if (covered <= c.extent)
        return 0;
    hsize_t dims[kMaxRank];
    std::copy(c.chunk_dims, c.chunk_dims + c.rank, dims);
    dims[0] = covered;
    herr_t status = H5Dset_extent(c.dataset, dims);
    if (status >= 0)
        c.extent = covered;
    return status;
}

// Stores the bytes of the chunk starting at `first_event`, filters already
// applied, after growing the dataset to `covered` events. Returns 0, or -1
// with `r` naming the chunk, the dataset and the call that failed.
int store_chunk(Column &c, uint64_t first_event, uint64_t covered, const unsigned char *data,
                size_t size, Report &r) {
    unsigned long long index = ull(first_event / c.chunk_events);
    if (size > kMaxStoredChunk)
        return note(r,
                    "cannot write chunk %llu of %s: %zu bytes, more than HDF5 stores in one chunk",
                    index, path_of(c), size);
    if (open_dataset(c) < 0)
        return note(r, "cannot write chunk %llu of %s (H5Dopen2)", index, path_of(c));
    if (grow_extent(c, covered) < 0)
        return note(r, "cannot write chunk %llu of %s (H5Dset_extent)", index, path_of(c));
    hsize_t offset[kMaxRank] = {};
    offset[0] = first_event;
    if (H5Dwrite_chunk(c.dataset, H5P_DEFAULT, 0, offset, size, data) < 0)
        return note(r, "cannot write chunk %llu of %s (H5Dwrite_chunk)", index, path_of(c));
    if (close_idle_dataset(c) < 0)
        return note(r, "cannot close %s after chunk %llu (H5Dclose)", path_of(c), index);
    return 0;
}

// Writes a slot: the chunk as filled, or as the worker compressed it.
// Returns 0, or -1 with `r` saying why (a failed compression included).
int store_slot(const Slot &s, Report &r) {
    Column &c = g.columns[s.col];
    if (s.level < 0)
        return store_chunk(c, s.first_event, s.covered, s.raw.data(), s.raw.size(), r);
    if (s.status != Z_OK)
        return note(r, "cannot compress chunk %llu of %s (deflate: %s)",
                    ull(s.first_event / c.chunk_events), path_of(c), zError(s.status));
    return store_chunk(c, s.first_event, s.covered, s.packed.data(), s.packed_bytes, r);
}

// Writes the chunk being filled on the calling thread, compressed or not.
// Returns 0, or -1.
int store_inline(Column &c, uint64_t covered) {
    const unsigned char *data = c.buffer.data();
    size_t size = chunk_bytes(c);
    if (g.level >= 0) {
        int status =
            pack_chunk(data, chunk_bytes(c), c.element_bytes, g.level, g.shuffled, g.packed, &size);
        if (status != Z_OK)
            return fail("cannot compress chunk %llu of %s (deflate: %s)",
                        ull(c.chunk_start / c.chunk_events), path_of(c), zError(status));
        data = g.packed.data();
    }
    Report r;
    if (store_chunk(c, c.chunk_start, covered, data, size, r) < 0)
        return fail_with(r);
    return 0;
}

// ---- The threads ----

// Queues a slot behind the others.
void ring_push(Ring &r, Slot *s) {
    r.places[(r.head + r.count) % r.places.size()] = s;
    r.count++;
}

// Takes the oldest queued slot; the ring must hold one.
Slot *ring_pop(Ring &r) {
    Slot *s = r.places[r.head];
    r.head = (r.head + 1) % r.places.size();
    r.count--;
    return s;
}

// Compresses one slot. Only growing the buffers can throw; that reaches
// the writing worker, and through it the calling thread, as zlib's
// out-of-memory status.
void compress_slot(Slot *s, std::vector<unsigned char> &shuffled) {
    try {
        s->status = pack_chunk(s->raw.data(), s->raw.size(), s->element_bytes, s->level, shuffled,
                               s->packed, &s->packed_bytes);
    } catch (...) {
        s->status = Z_MEM_ERROR;
    }
}

// A worker about to call HDF5: HDF5 keeps error printing per thread, and
// the worker prints as the caller does.
void enter_hdf5(Worker *w) {
    if (!w->used_hdf5)
        H5Eset_auto2(H5E_DEFAULT, g.error_func, g.error_data);
    w->used_hdf5 = true;
}

// The writing worker's part of one slot: once a write has failed,
// nothing (the run is lost, the slot only has to come back); else the
// chunk into the file. A failure goes into the report before the flag is
// published; HDF5's record of it on this thread's error stack is cleared
// at once: a thread that ends with errors on its stack leaves HDF5 unable
// to shut down at exit ("infinite loop closing library").
void write_slot(const Slot &s, Worker *w) {
    if (g.write_failed.load(std::memory_order_relaxed))
        return;
    enter_hdf5(w);
    if (store_slot(s, g.write_report) < 0) {
        g.write_failed.store(true, std::memory_order_release);
        H5Eclear2(H5E_DEFAULT);
    }
}

// True on the thread running the job of chunks_lay_out, while it runs: it
// is alone in HDF5 and may use the columns without waiting for the slots
// (which wait for it).
thread_local bool in_lay_out = false;

// Runs the job of chunks_lay_out on this thread. Returns its message of
// failure, or null.
const char *run_lay_out() {
    in_lay_out = true;
    const char *why = g.lay_out.job(g.lay_out.arg);
    in_lay_out = false;
    return why;
}

// True (under the lock) when a worker may start writing: a slot waits, no
// other worker is in HDF5 and the layout, if any, is done.
bool may_write() {
    return !g.writing && !g.lay_out.pending && g.to_write.count > 0;
}

// True (under the lock) when a worker may take the layout job: it is
// pending and nobody else is in HDF5.
bool may_lay_out() {
    return !g.writing && g.lay_out.pending && !g.lay_out.done;
}

// Under the lock: runs the layout job as the only worker in HDF5, outside
// the lock; its failure is reported as a failed write would be. Then the
// slots queued meanwhile may be written.
void lay_out_next(std::unique_lock<std::mutex> &hold, Worker *w) {
    g.writing = true;
    g.lay_out.done = true;
    hold.unlock();
    enter_hdf5(w);
    if (const char *why = run_lay_out()) {
        note(g.write_report, "%s", why);
        g.write_failed.store(true, std::memory_order_release);
    }
    // Whatever the job left on this thread's error stack goes, failed or
    // not: records left there keep HDF5 from shutting down (see write_slot).
    H5Eclear2(H5E_DEFAULT);
    hold.lock();
    g.writing = false;
    g.lay_out.pending = false;
    g.work_ready.notify_all();
    g.slot_idle.notify_all();
}

// Under the lock: writes the oldest slot queued for writing, as the only
// worker in HDF5, outside the lock, and puts it back among the idle ones.
void write_next(std::unique_lock<std::mutex> &hold, Worker *w) {
    Slot *s = ring_pop(g.to_write);
    g.writing = true;
    hold.unlock();
    write_slot(*s, w);
    hold.lock();
    g.writing = false;
    g.idle.push_back(s);  // within the capacity reserved for every slot
    g.slot_idle.notify_one();
}

// Under the lock: compresses the oldest slot queued for compression
// outside the lock and queues it for writing. No one needs waking: this
// worker writes it next unless another is writing, and that one looks at
// the queue again when it is done.
void pack_next(std::unique_lock<std::mutex> &hold, Worker *w) {
    Slot *s = ring_pop(g.to_pack);
    hold.unlock();
    compress_slot(s, w->shuffled);
    hold.lock();
    ring_push(g.to_write, s);
}

// A worker: writes when it may, else compresses, until told to stop.
void worker_main(Worker *w) {
    std::unique_lock<std::mutex> hold(g.lock);
    for (;;) {
        g.work_ready.wait(
            hold, [] { return g.stop || may_lay_out() || may_write() || g.to_pack.count > 0; });
        if (g.stop)
            return;
        if (may_lay_out())
            lay_out_next(hold, w);
        else if (may_write())
            write_next(hold, w);
        else
            pack_next(hold, w);
    }
}

// Sets up the slots and starts the workers: `count` of them with 2 *
// count + 2 slots when compressing, so that every worker has work queued
// while one writes; else one, that only writes, with kWriteSlots. Throws
// std::bad_alloc or std::system_error; stop_threads undoes a partial start.
void start_threads(int count) {
    bool pack = g.level >= 0;
    size_t slots = pack ? 2 * static_cast<size_t>(count) + 2 : kWriteSlots;
    g.slots.resize(slots);
    g.idle.reserve(slots);
    for (Slot &s : g.slots)
        g.idle.push_back(&s);
    g.to_pack.places.assign(slots, nullptr);
    g.to_write.places.assign(slots, nullptr);
    g.workers.resize(pack ? count : 1);
    for (Worker &w : g.workers)
        w.thread = std::thread(worker_main, &w);
}

// Tells the workers to return and waits for them; a slot being compressed
// or written is finished first. Queued slots stay where they are.
void stop_threads() {
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.stop = true;
    }
    g.work_ready.notify_all();
    for (Worker &w : g.workers)
        if (w.thread.joinable())
            w.thread.join();
}

// ---- Handing chunks to the threads ----

// Takes over the failure of a worker's write, if any, as the module's.
// Returns -1 when a write has failed, else 0.
int adopt_write_failure() {
    if (!g.write_failed.load(std::memory_order_acquire))
        return 0;
    return fail_with(g.write_report);
}

// Waits until the layout job, if any, has run and every slot handed over
// has come back idle: written, or dropped after a write failed. The
// workers then wait for work, out of HDF5 and out of the columns. The
// layout job itself does not wait (the slots wait for it). Returns 0, or
// -1 when a write (or the layout) has failed.
int wait_all_idle() {
    if (in_lay_out)
        return 0;
    {
        std::unique_lock<std::mutex> hold(g.lock);
        g.slot_idle.wait(hold,
                         [] { return !g.lay_out.pending && g.idle.size() == g.slots.size(); });
    }
    return adopt_write_failure();
}

// Waits until a slot is idle and takes it. Returns the slot, or null once
// a write has failed (the run is lost; there is no point going on).
Slot *take_idle_slot() {
    std::unique_lock<std::mutex> hold(g.lock);
    g.slot_idle.wait(hold, [] { return !g.idle.empty(); });
    if (g.write_failed.load(std::memory_order_acquire))
        return nullptr;
    Slot *s = g.idle.back();
    g.idle.pop_back();
    return s;
}

// Puts a slot taken but not queued back among the idle ones.
void give_back(Slot *s) {
    std::lock_guard<std::mutex> hold(g.lock);
    g.idle.push_back(s);
}

// Gives the column a buffer for its next chunk in exchange for the full
// one: the slot's previous buffer when its size is close to the column's
// chunk, a new one otherwise. Throws std::bad_alloc before changing anything.
void swap_into_slot(Column &c, Slot *s, bool refill) {
    size_t need = chunk_bytes(c);
    size_t have = s->raw.capacity();
    if (refill && (have < need || have > need + need / kSlackDivisor))
        std::vector<unsigned char>(need).swap(s->raw);
    else if (refill)
        s->raw.resize(need);
    s->raw.swap(c.buffer);
    if (refill)
        fill_with(c.buffer.data(), need, fill_of(c), c.element_bytes);
}

// Queues the column's chunk for the workers, to compress or to write,
// first waiting for an idle slot when all are busy. Returns 0, or -1 when
// a write has failed.
int queue_chunk(int col, uint64_t covered, bool refill) {
    Slot *s = take_idle_slot();
    if (!s)
        return adopt_write_failure();
    Column &c = g.columns[col];
    s->col = col;
    s->first_event = c.chunk_start;
    s->covered = covered;
    s->element_bytes = c.element_bytes;
    s->level = g.level;
    try {
        swap_into_slot(c, s, refill);
    } catch (...) {
        give_back(s);
        throw;
    }
    {
        std::lock_guard<std::mutex> hold(g.lock);
        ring_push(g.level >= 0 ? g.to_pack : g.to_write, s);
    }
    g.work_ready.notify_one();
    return 0;
}

// ---- Handing chunks over ----

// Hands over the column's chunk being filled, which the dataset must cover
// up to `covered` events once it is written. With `refill` the column gets
// an all-fill buffer for its next chunk. Returns 0, or -1.
int hand_over(int col, uint64_t covered, bool refill) {
    Column &c = g.columns[col];
    if (holds_only_fill(c.buffer.data(), chunk_bytes(c), fill_of(c), c.element_bytes))
        return 0;
    if (g.threads >= 2)
        return queue_chunk(col, covered, refill);
    if (store_inline(c, covered) < 0)
        return -1;
    if (refill)
        fill_with(c.buffer.data(), chunk_bytes(c), fill_of(c), c.element_bytes);
    return 0;
}

// Hands over every chunk that `events` complete and moves each such column
// to the chunk holding event `events`. Chunks skipped over in between were
// never writable, so they hold only fill and need no writing. Returns 0, or -1.
int advance_columns(uint64_t events) {
    uint64_t next = UINT64_MAX;
    for (size_t i = 0; i < g.columns.size(); i++) {
        Column &c = g.columns[i];
        if (events >= c.chunk_start + c.chunk_events) {
            if (hand_over(static_cast<int>(i), c.chunk_start + c.chunk_events, true) < 0)
                return -1;
            c.chunk_start = events - events % c.chunk_events;
        }
        next = std::min(next, c.chunk_start + c.chunk_events);
    }
    g.next_full = next;
    return 0;
}

// chunks_advance without the exception boundary. A failure of a worker's
// write since the last call surfaces here, even when no chunk is full.
int advance_to(uint64_t events) {
    if (!g.started)
        return fail("chunks_advance: chunks_start was not called");
    if (g.failed || adopt_write_failure() < 0)
        return -1;
    if (events < g.advanced)
        return fail("chunks_advance: the event count went back from %llu to %llu", ull(g.advanced),
                    ull(events));
    g.advanced = events;
    if (events < g.next_full)
        return 0;
    return advance_columns(events);
}

// ---- Creating columns ----

// The creation properties of the last columns made, and what they were made
// for: a layout makes thousands of columns of a handful of types, shapes
// and fill values, and a property list costs about as much as its dataset's
// attributes. The oldest is closed to make room.
constexpr size_t kPlistsKept = 16;

struct KeptPlist {
    hid_t dcpl = H5I_INVALID_HID;
    hid_t type = H5I_INVALID_HID;  // a copy of the column's type
    uint8_t rank = 0;
    hsize_t chunk_dims[kMaxRank] = {};
    std::vector<unsigned char> fill;  // one element
};

struct PlistCache {
    std::vector<KeptPlist> kept;
    size_t oldest = 0;  // the one replaced next once kPlistsKept are kept
};

PlistCache &plists = *new PlistCache;

void release_kept(KeptPlist &k) {
    if (k.dcpl >= 0)
        H5Pclose(k.dcpl);
    if (k.type >= 0)
        H5Tclose(k.type);
    k = KeptPlist();
}

void plists_release() {
    for (KeptPlist &k : plists.kept)
        release_kept(k);
    std::vector<KeptPlist>().swap(plists.kept);
    plists.oldest = 0;
}

// True when `k` was made for a column of this type, shape and fill value.
bool plist_fits(const KeptPlist &k, const Column &c, hid_t type, const void *fill) {
    return k.rank == c.rank && std::equal(c.chunk_dims, c.chunk_dims + c.rank, k.chunk_dims) &&
           k.fill.size() == c.element_bytes && memcmp(k.fill.data(), fill, k.fill.size()) == 0 &&
           H5Tequal(k.type, type) > 0;
}

// Keeps `dcpl`, made for column `c`, for the columns to come. Returns
// whether it is kept (the cache then closes it) or left to the caller.
bool plist_keep(hid_t dcpl, const Column &c, hid_t type, const void *fill) {
    KeptPlist k;
    try {
        plists.kept.reserve(kPlistsKept);
        const unsigned char *f = static_cast<const unsigned char *>(fill);
        k.fill.assign(f, f + c.element_bytes);
    } catch (...) {
        return false;  // out of memory: the list is used once, as without the cache
    }
    k.type = H5Tcopy(type);
    if (k.type < 0)
        return false;
    k.dcpl = dcpl;
    k.rank = c.rank;
    std::copy(c.chunk_dims, c.chunk_dims + c.rank, k.chunk_dims);
    if (plists.kept.size() < kPlistsKept) {
        plists.kept.push_back(std::move(k));  // within the capacity reserved: no allocation
        return true;
    }
    release_kept(plists.kept[plists.oldest]);
    plists.kept[plists.oldest] = std::move(k);
    plists.oldest = (plists.oldest + 1) % kPlistsKept;
    return true;
}

// Checks column_create's arguments that HDF5 does not see. Returns 0, or -1.
int check_column_args(const char *name, int inner_rank, const hsize_t *inner, uint64_t chunk_events,
                      const void *fill) {
    if (!g.started)
        return fail("column_create: chunks_start was not called");
    if (g.failed)
        return -1;
    if (!name || !fill)
        return fail("column_create: no %s given", name ? "fill value" : "dataset name");
    if (inner_rank < 0 || inner_rank >= kMaxRank || (inner_rank > 0 && !inner))
        return fail("column_create: %s: inner rank %d not possible", name, inner_rank);
    if (chunk_events == 0)
        return fail("column_create: %s: a chunk needs at least one event", name);
    for (int i = 0; i < inner_rank; i++)
        if (inner[i] == 0)
            return fail("column_create: %s: inner dimension %d is 0", name, i);
    return 0;
}

// Works out the element, event and chunk sizes of a column of `type`.
// Returns 0, or -1 for a type without a fixed size or a chunk too large.
int size_column(Column &c, const char *name, hid_t type) {
    size_t element = H5Tget_size(type);
    if (element == 0)
        return fail("column_create: %s: no size for the type (H5Tget_size)", name);
    if (H5Tis_variable_str(type) > 0 || H5Tdetect_class(type, H5T_VLEN) > 0)
        return fail("column_create: %s: variable-length types have no fixed size", name);
    uint64_t event = element;
    for (int i = 1; i < c.rank; i++) {
        if (event > kMaxStoredChunk / c.chunk_dims[i])
            return fail("column_create: %s: one event would pass 4 GiB", name);
        event *= c.chunk_dims[i];
    }
    if (event > kMaxStoredChunk / c.chunk_events)
        return fail("column_create: %s: %llu events of %llu bytes pass 4 GiB, "
                    "more than HDF5 stores in one chunk",
                    name, ull(c.chunk_events), ull(event));
    c.element_bytes = static_cast<uint32_t>(element);  // below 4 GiB, as one event is
    c.event_bytes = static_cast<size_t>(event);
    return 0;
}

// Dataset creation properties of a column. Returns the list, or -1 with
// `*call` naming the function that failed.
hid_t creation_plist(const Column &c, hid_t type, const void *fill, const char **call) {
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    if (dcpl < 0)
        *call = "H5Pcreate";
    else if (H5Pset_chunk(dcpl, c.rank, c.chunk_dims) < 0)
        *call = "H5Pset_chunk";
    else if (H5Pset_fill_value(dcpl, type, fill) < 0)
        *call = "H5Pset_fill_value";
    else if (H5Pset_fill_time(dcpl, H5D_FILL_TIME_IFSET) < 0)
        *call = "H5Pset_fill_time";
    else if (H5Pset_alloc_time(dcpl, H5D_ALLOC_TIME_INCR) < 0)
        *call = "H5Pset_alloc_time";
    else if (g.level >= 0 && H5Pset_shuffle(dcpl) < 0)
        *call = "H5Pset_shuffle";
    else if (g.level >= 0 && H5Pset_deflate(dcpl, static_cast<unsigned>(g.level)) < 0)
        *call = "H5Pset_deflate";
    else
        return dcpl;
    if (dcpl >= 0)
        H5Pclose(dcpl);
    return H5I_INVALID_HID;
}

// Fails naming the dataset that could not be created: the group's name in
// the file, then `name`. Returns -1.
int report_create_failure(hid_t loc, const char *name, const char *call) {
    char group[512] = "";
    if (H5Iget_name(loc, group, sizeof group) <= 0)
        group[0] = '\0';
    size_t len = strlen(group);
    const char *sep = len > 0 && group[len - 1] == '/' ? "" : "/";
    return fail("cannot create dataset %s%s%s (%s)", group, sep, name, call);
}

// The creation properties of a column: one kept from an earlier column
// of the same type, shape and fill value, else made (and kept when it can
// be). Returns the list and whether the caller is to close it, or -1 with
// `*call` naming the function that failed.
hid_t column_plist(const Column &c, hid_t type, const void *fill, const char **call, bool *owned) {
    *owned = false;
    for (const KeptPlist &k : plists.kept)
        if (plist_fits(k, c, type, fill))
            return k.dcpl;
    hid_t dcpl = creation_plist(c, type, fill, call);
    *owned = dcpl >= 0 && !plist_keep(dcpl, c, type, fill);
    return dcpl;
}

// Creates the empty, extendible dataset of a column (with the access
// properties of every column: no chunk cache). Returns the dataset, or -1.
hid_t create_dataset(hid_t loc, const char *name, hid_t type, const Column &c, const void *fill) {
    hsize_t dims[kMaxRank], maxdims[kMaxRank];
    std::copy(c.chunk_dims, c.chunk_dims + c.rank, dims);
    std::copy(c.chunk_dims, c.chunk_dims + c.rank, maxdims);
    dims[0] = 0;
    maxdims[0] = H5S_UNLIMITED;
    const char *call = "H5Dcreate2";
    bool owned = false;
    hid_t dcpl = column_plist(c, type, fill, &call, &owned);
    hid_t space = H5Screate_simple(c.rank, dims, maxdims);
    hid_t dset = H5I_INVALID_HID;
    if (dcpl < 0) {
        // `call` already names what failed
    } else if (space < 0) {
        call = "H5Screate_simple";
    } else {
        dset = H5Dcreate2(loc, name, type, space, H5P_DEFAULT, dcpl, g.access);
    }
    if (owned)
        H5Pclose(dcpl);
    if (space >= 0)
        H5Sclose(space);
    if (dset < 0)
        report_create_failure(loc, name, call);
    return dset;
}

// Where dataset `name` of `loc` lies in the file: the group's name in the
// file, then `name`.
std::string path_in(hid_t loc, const char *name) {
    std::string path;
    ssize_t n = H5Iget_name(loc, nullptr, 0);
    if (n > 0) {
        path.assign(static_cast<size_t>(n) + 1, '\0');
        H5Iget_name(loc, &path[0], path.size());
        path.resize(static_cast<size_t>(n));
    }
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + name;
}

// The last part of a path: the name a planned column is made under.
const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Takes the file of `loc` as the run's at the first column. Returns
// whether a column at `loc` can be found again by its name in that file:
// only such a column may close its dataset between writes (a column in
// another file, which the converter never makes, keeps it open).
bool in_run_file(hid_t loc) {
    hid_t file = H5Iget_file_id(loc);
    if (file < 0)
        return false;
    if (g.file < 0) {
        g.file = file;  // matched in release_everything
        return true;
    }
    bool same = file == g.file;  // HDF5 hands out the file's existing identifier
    H5Fclose(file);
    return same;
}

// Records a column without its dataset: its sizes, its chunk buffer of
// fill value, and its name in the file. The column is in the list before
// its dataset exists, so that whatever happens afterwards chunks_finish
// finds the dataset to close. Returns the column id, or -1.
int plan_column(const std::string &path, hid_t type, int inner_rank, const hsize_t *inner,
                uint64_t chunk_events, const void *fill) {
    if (check_column_args(path.c_str(), inner_rank, inner, chunk_events, fill) < 0)
        return -1;
    Column c;
    c.rank = static_cast<uint8_t>(inner_rank + 1);
    c.chunk_dims[0] = chunk_events;
    std::copy(inner, inner + inner_rank, c.chunk_dims + 1);
    c.chunk_events = chunk_events;
    c.chunk_start = g.advanced - g.advanced % chunk_events;
    if (size_column(c, path.c_str(), type) < 0)
        return -1;
    const unsigned char *fill_bytes = static_cast<const unsigned char *>(fill);
    c.buffer.resize(chunk_bytes(c));
    fill_with(c.buffer.data(), chunk_bytes(c), fill_bytes, c.element_bytes);
    c.fill_at = g.fills.size();
    g.fills.insert(g.fills.end(), fill_bytes, fill_bytes + c.element_bytes);
    c.path_at = g.paths.size();
    g.paths.insert(g.paths.end(), path.c_str(), path.c_str() + path.size() + 1);
    g.columns.push_back(std::move(c));
    g.types.resize(g.columns.size(), H5I_INVALID_HID);
    g.next_full = std::min(g.next_full, g.columns.back().chunk_start + chunk_events);
    return static_cast<int>(g.columns.size() - 1);
}

// Creates the dataset of column `col`, planned with `type`, as `name` in
// `loc`. Returns 0, or -1.
int make_column(hid_t loc, int col, const char *name, hid_t type) {
    Column &c = g.columns[col];
    if (c.dataset >= 0)
        return fail("column_make: %s is made already", path_of(c));
    c.dataset = create_dataset(loc, name, type, c, fill_of(c));
    if (c.dataset < 0)
        return -1;
    c.stays_open = static_cast<size_t>(col) < g.open_columns || !in_run_file(loc);
    if (!c.stays_open)
        g.held.push_back(col);
    return 0;
}

// column_create without the exception boundary. Once chunks are on their
// way it first waits for the threads to write them all: only then is it
// alone in HDF5 and free to move the column list.
int create_column(hid_t loc, const char *name, hid_t type, int inner_rank, const hsize_t *inner,
                  uint64_t chunk_events, const void *fill) {
    if (check_column_args(name, inner_rank, inner, chunk_events, fill) < 0)
        return -1;
    if (wait_all_idle() < 0)
        return -1;
    int col = plan_column(path_in(loc, name), type, inner_rank, inner, chunk_events, fill);
    if (col < 0 || make_column(loc, col, name, type) < 0)
        return -1;
    return col;
}

// A copy of `type` kept for column_make: a run plans thousands of columns
// of a handful of types, and a copy costs HDF5 some hundreds of bytes.
// The types kept last are looked at first. Returns it, or -1.
hid_t kept_type(hid_t type) {
    for (auto t = g.kept_types.rbegin(); t != g.kept_types.rend(); ++t)
        if (H5Tequal(*t, type) > 0)
            return *t;
    hid_t copy = H5Tcopy(type);
    if (copy < 0)
        return copy;
    try {
        g.kept_types.push_back(copy);
    } catch (...) {
        H5Tclose(copy);
        throw;
    }
    return copy;
}

// column_plan without the exception boundary: the column, and a copy of
// its type for column_make.
int plan_with_type(const char *path, hid_t type, int inner_rank, const hsize_t *inner,
                   uint64_t chunk_events, const void *fill) {
    if (!path)
        return fail("column_plan: no dataset path given");
    if (g.lay_out.pending || g.lay_out.done)
        return fail("column_plan: %s: the layout has been handed over", path);
    int col = plan_column(path, type, inner_rank, inner, chunk_events, fill);
    if (col < 0)
        return -1;
    g.types[col] = kept_type(type);
    if (g.types[col] < 0)
        return fail("column_plan: %s: cannot copy its type (H5Tcopy)", path);
    return col;
}

// ---- Finishing ----

// Writes what `events` complete and the partial chunks, with the padding
// after the last event set back to fill, waits for the threads to write
// the last chunks and stops them, and then, alone in HDF5, gives every
// dataset `events` events. Returns 0, or -1.
int write_remaining(uint64_t events) {
    if (events < g.advanced)
        return fail("chunks_finish: %llu events, but %llu were already complete", ull(events),
                    ull(g.advanced));
    g.advanced = events;
    if (advance_columns(events) < 0)
        return -1;
    // Uncompressed, the one worker only writes, as the calling thread can
    // itself once the worker is idle: handing over each column's last chunk
    // would cost two thread switches a chunk with nothing done meanwhile
    // (2 % of a 60-event camera run, whose 700 columns end together).
    if (g.threads >= 2 && g.level < 0) {
        if (wait_all_idle() < 0)
            return -1;
        stop_threads();
        g.threads = 1;
    }
    for (size_t i = 0; i < g.columns.size(); i++) {
        Column &c = g.columns[i];
        if (c.chunk_start >= events)
            continue;
        size_t used = static_cast<size_t>(events - c.chunk_start) * c.event_bytes;
        fill_with(c.buffer.data() + used, chunk_bytes(c) - used, fill_of(c), c.element_bytes);
        if (hand_over(static_cast<int>(i), events, false) < 0)
            return -1;
    }
    if (wait_all_idle() < 0)
        return -1;
    stop_threads();
    for (Column &c : g.columns) {
        if (c.extent >= events)
            continue;
        if (open_dataset(c) < 0 || grow_extent(c, events) < 0)
            return fail("cannot give %s %llu events (H5Dset_extent)", path_of(c), ull(events));
        if (close_idle_dataset(c) < 0)
            return fail("cannot close %s (H5Dclose)", path_of(c));
    }
    return 0;
}

// Stops the threads, closes every dataset (a failure to close is a failure
// of the run: HDF5 may have had data left to write) and lets go of all
// memory. Never throws.
void release_everything() {
    try {
        stop_threads();
    } catch (...) {
        fail_from_exception("chunks_finish");
    }
    for (Column &c : g.columns)
        if (c.dataset >= 0 && H5Dclose(c.dataset) < 0)
            fail("cannot close %s (H5Dclose)", path_of(c));
    if (g.file >= 0)
        H5Fclose(g.file);  // the identifier in_run_file took; the file stays the caller's
    if (g.access >= 0)
        H5Pclose(g.access);
    plists_release();
    for (hid_t type : g.kept_types)
        H5Tclose(type);
    std::vector<hid_t>().swap(g.kept_types);
    std::vector<hid_t>().swap(g.types);
    g.lay_out = LayOut();
    g.file = H5I_INVALID_HID;
    g.access = H5I_INVALID_HID;
    std::vector<Column>().swap(g.columns);
    std::vector<char>().swap(g.paths);
    std::vector<unsigned char>().swap(g.fills);
    std::vector<int>().swap(g.held);
    std::vector<Worker>().swap(g.workers);
    std::vector<Slot>().swap(g.slots);
    std::vector<Slot *>().swap(g.idle);
    g.to_pack = Ring();
    g.to_write = Ring();
    std::vector<unsigned char>().swap(g.shuffled);
    std::vector<unsigned char>().swap(g.packed);
    g.stop = false;
    g.started = false;
}

}  // namespace

int chunks_start(int gzip_level, int threads, size_t open_columns) {
    if (g.started)
        return fail("chunks_start: called again before chunks_finish");
    g.failed = false;
    g.message[0] = '\0';
    if (gzip_level < -1 || gzip_level > 9)
        return fail("chunks_start: compression level %d is not -1 (none) or 0 to 9", gzip_level);
    if (threads < 1 || threads > kMaxThreads)
        return fail("chunks_start: %d threads is not 1 to %d", threads, kMaxThreads);
    g.level = gzip_level;
    g.threads = threads;
    g.open_columns = open_columns;
    g.advanced = 0;
    g.next_full = UINT64_MAX;
    g.write_report = Report();
    g.write_failed.store(false);
    g.error_func = nullptr;
    g.error_data = nullptr;
    H5Eget_auto2(H5E_DEFAULT, &g.error_func, &g.error_data);
    g.access = H5Pcreate(H5P_DATASET_ACCESS);
    if (g.access < 0 || H5Pset_chunk_cache(g.access, H5D_CHUNK_CACHE_NSLOTS_DEFAULT, 0,
                                           H5D_CHUNK_CACHE_W0_DEFAULT) < 0) {
        fail("chunks_start: no dataset access properties (H5Pset_chunk_cache)");
        release_everything();
        return -1;
    }
    try {
        if (threads >= 2)
            start_threads(threads);
    } catch (...) {
        fail_from_exception("chunks_start");
        release_everything();
        return -1;
    }
    g.started = true;
    return 0;
}

int column_create(hid_t loc, const char *name, hid_t type, int inner_rank, const hsize_t *inner,
                  uint64_t chunk_events, const void *fill) {
    try {
        return create_column(loc, name, type, inner_rank, inner, chunk_events, fill);
    } catch (...) {
        return fail_from_exception("column_create");
    }
}

int column_plan(const char *path, hid_t type, int inner_rank, const hsize_t *inner,
                uint64_t chunk_events, const void *fill) {
    try {
        return plan_with_type(path, type, inner_rank, inner, chunk_events, fill);
    } catch (...) {
        return fail_from_exception("column_plan");
    }
}

int column_make(hid_t loc, int col) {
    if (col < 0 || static_cast<size_t>(col) >= g.types.size() || g.types[col] < 0)
        return fail("column_make: column %d is not planned, or made already", col);
    if (g.failed)
        return -1;
    hid_t type = g.types[col];
    g.types[col] = H5I_INVALID_HID;
    return make_column(loc, col, base_name(path_of(g.columns[col])), type);
}

int chunks_lay_out(const char *(*job)(void *), void *arg) {
    if (!g.started)
        return fail("chunks_lay_out: chunks_start was not called");
    if (g.failed)
        return -1;
    if (g.lay_out.pending || g.lay_out.done || g.advanced > 0)
        return fail("chunks_lay_out: called again, or after chunks were handed over");
    g.lay_out.job = job;
    g.lay_out.arg = arg;
    if (g.threads < 2) {
        g.lay_out.done = true;
        const char *why = run_lay_out();
        return why ? fail("%s", why) : 0;
    }
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.lay_out.pending = true;
    }
    g.work_ready.notify_all();
    return 0;
}

int columns_reserve(size_t more) {
    if (!g.started)
        return fail("columns_reserve: chunks_start was not called");
    try {
        if (wait_all_idle() < 0)
            return -1;
        g.columns.reserve(g.columns.size() + more);
        g.types.reserve(g.columns.size() + more);
    } catch (...) {
        return fail_from_exception("columns_reserve");
    }
    return 0;
}

hid_t column_dataset(int col) {
    if (col < 0 || static_cast<size_t>(col) >= g.columns.size()) {
        fail("column_dataset: there is no column %d", col);
        return H5I_INVALID_HID;
    }
    try {
        if (wait_all_idle() < 0)
            return H5I_INVALID_HID;
    } catch (...) {
        fail_from_exception("column_dataset");
        return H5I_INVALID_HID;
    }
    Column &c = g.columns[col];
    if (c.dataset < 0 && open_dataset(c) >= 0)
        g.held.push_back(col);
    if (c.dataset < 0)
        fail("column_dataset: cannot open %s (H5Dopen2)", path_of(c));
    return c.dataset;
}

int chunks_wait_idle() {
    if (!g.started)
        return fail("chunks_wait_idle: chunks_start was not called");
    try {
        return wait_all_idle();
    } catch (...) {
        return fail_from_exception("chunks_wait_idle");
    }
}

int columns_close_idle() {
    if (!g.started)
        return fail("columns_close_idle: chunks_start was not called");
    try {
        if (wait_all_idle() < 0)
            return -1;
    } catch (...) {
        return fail_from_exception("columns_close_idle");
    }
    std::vector<int> held;
    held.swap(g.held);
    for (int col : held)
        if (close_idle_dataset(g.columns[col]) < 0)
            return fail("cannot close %s (H5Dclose)", path_of(g.columns[col]));
    return 0;
}

void *column_row(int col, uint64_t event) {
    if (col < 0 || static_cast<size_t>(col) >= g.columns.size()) {
        fail("column_row: there is no column %d", col);
        return nullptr;
    }
    Column &c = g.columns[col];
    if (event < g.advanced || event >= c.chunk_start + c.chunk_events) {
        fail("column_row: event %llu of %s is not in the chunk being filled (%llu to %llu)",
             ull(event), path_of(c), ull(std::max(c.chunk_start, g.advanced)),
             ull(c.chunk_start + c.chunk_events - 1));
        return nullptr;
    }
    return c.buffer.data() + static_cast<size_t>(event - c.chunk_start) * c.event_bytes;
}

int chunks_advance(uint64_t events) {
    try {
        return advance_to(events);
    } catch (...) {
        return fail_from_exception("chunks_advance");
    }
}

int chunks_finish(uint64_t events) {
    if (!g.started)
        return fail("chunks_finish: chunks_start was not called");
    if (!g.failed) {
        try {
            write_remaining(events);
        } catch (...) {
            fail_from_exception("chunks_finish");
        }
    }
    release_everything();
    return g.failed ? -1 : 0;
}

uint64_t chunk_events_for(size_t event_bytes, uint64_t cap) {
    uint64_t fit = event_bytes == 0 ? cap : kChunkTargetBytes / event_bytes;
    return std::max<uint64_t>(1, std::min(cap, fit));
}

const char *chunks_error() {
    return g.message;
}
