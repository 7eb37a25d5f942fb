// h5_chunks_test.cc - the chunked per-event datasets as HDF5 reads them
// back: every kind of element and shape the converter writes, event counts
// that end inside a chunk, on a chunk's end or at 0, and every way of
// writing (inline, uncompressed or deflated; by worker threads,
// uncompressed or deflated first); the filters, chunks and fill values the
// datasets declare; all-fill chunks left out; the stored bytes against
// hand-shuffled ones and against what HDF5's own filters store; and the
// failures: misuse, a dataset closed underneath, a file that cannot grow,
// a failed write reaching the caller from a worker thread; and a run of
// more columns than keep their dataset open.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "h5_chunks.h"

namespace {

using Bytes = std::vector<unsigned char>;

// How the chunks reach the file: deflate level (-1 none) and threads.
struct Mode {
    int level;
    int threads;
};
const Mode kAllModes[] = {{-1, 1}, {-1, 2}, {-1, 3}, {6, 1}, {6, 2}, {1, 3}};

// One column to write: event e holds what `value` puts there, or is left
// as fill where `present` says no.
struct ColumnCase {
    const char *name;
    hid_t type;
    std::vector<hsize_t> inner;
    uint64_t chunk;
    Bytes fill;  // one element
    void (*value)(uint64_t e, unsigned char *row);
    bool (*present)(uint64_t e);
};

template <typename T>
Bytes bytes_of(T v) {
    Bytes b(sizeof v);
    memcpy(b.data(), &v, sizeof v);
    return b;
}

Bytes text(const char *s) {
    return Bytes(s, s + strlen(s));
}

template <typename T>
void put(unsigned char *row, int k, T v) {
    memcpy(row + k * sizeof v, &v, sizeof v);
}

void put_u8(uint64_t e, unsigned char *row) {
    row[0] = static_cast<unsigned char>(e * 7 + 1);
}
void put_u16_2x3(uint64_t e, unsigned char *row) {
    for (int k = 0; k < 6; k++)
        put(row, k, static_cast<uint16_t>(1000 * e + 37 * k));
}
void put_i32(uint64_t e, unsigned char *row) {
    put(row, 0, static_cast<int32_t>(3 - 100000 * int64_t(e)));
}
void put_f32(uint64_t e, unsigned char *row) {
    put(row, 0, 0.25f * e - 2);
}
void put_f64_3(uint64_t e, unsigned char *row) {
    for (int k = 0; k < 3; k++)
        put(row, k, 1.5 * e - k / 7.0);
}
void put_str6(uint64_t e, unsigned char *row) {
    char text[16];
    snprintf(text, sizeof text, "ev%04u", static_cast<unsigned>(e));
    memcpy(row, text, 6);
}
// The row of event e of a column of small rows; when the module refuses
// it, a failure and a scratch row, so that the test fails instead of
// crashing.
unsigned char *row_of(int col, uint64_t e) {
    static unsigned char scratch[64];
    void *row = column_row(col, e);
    EXPECT_NE(row, nullptr) << chunks_error();
    return row ? static_cast<unsigned char *>(row) : scratch;
}

bool always(uint64_t) {
    return true;
}
bool not_every_third(uint64_t e) {
    return e % 3 != 1;
}

hid_t string_type(size_t size) {
    hid_t t = H5Tcopy(H5T_C_S1);
    H5Tset_size(t, size);
    return t;
}

// Writes `events` events of every column as the converter does. Returns
// what chunks_finish returns, or -1 when the run could not begin.
int write_columns(hid_t loc, const std::vector<ColumnCase> &cases, uint64_t events, Mode mode) {
    if (chunks_start(mode.level, mode.threads) != 0)
        return -1;
    std::vector<int> cols;
    for (const ColumnCase &s : cases)
        cols.push_back(column_create(loc, s.name, s.type, static_cast<int>(s.inner.size()),
                                     s.inner.data(), s.chunk, s.fill.data()));
    for (uint64_t e = 0; e < events; e++) {
        for (size_t i = 0; i < cases.size(); i++) {
            void *row = cases[i].present(e) ? column_row(cols[i], e) : nullptr;
            if (row)
                cases[i].value(e, static_cast<unsigned char *>(row));
        }
        if (chunks_advance(e + 1) != 0)
            break;
    }
    return chunks_finish(events);
}

// What a column must read back as: the rows written, fill elsewhere.
Bytes expected_of(const ColumnCase &s, uint64_t events) {
    size_t row = H5Tget_size(s.type);
    for (hsize_t d : s.inner)
        row *= d;
    Bytes out(row * events);
    for (uint64_t e = 0; e < events; e++) {
        if (s.present(e))
            s.value(e, &out[e * row]);
        else
            for (size_t k = 0; k < row; k += s.fill.size())
                memcpy(&out[e * row + k], s.fill.data(), s.fill.size());
    }
    return out;
}

// A whole dataset read through HDF5's filter pipeline in its own type;
// `dims` gets its shape.
Bytes read_all(hid_t loc, const char *name, std::vector<hsize_t> *dims) {
    hid_t d = H5Dopen2(loc, name, H5P_DEFAULT);
    hid_t space = H5Dget_space(d);
    hid_t type = H5Dget_type(d);
    dims->assign(H5Sget_simple_extent_ndims(space), 0);
    H5Sget_simple_extent_dims(space, dims->data(), nullptr);
    Bytes out(H5Sget_simple_extent_npoints(space) * H5Tget_size(type));
    if (!out.empty()) {
        EXPECT_GE(H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data()), 0);
    }
    H5Tclose(type);
    H5Sclose(space);
    H5Dclose(d);
    return out;
}

// The bytes stored for the chunk starting at `first_event`, inflated when
// `inflate`; a stored chunk's filter mask must say every filter ran.
Bytes stored_chunk(hid_t loc, const char *name, hsize_t first_event, bool inflate) {
    hid_t d = H5Dopen2(loc, name, H5P_DEFAULT);
    hsize_t offset[H5S_MAX_RANK] = {first_event};
    hsize_t size = 0;
    H5Dget_chunk_storage_size(d, offset, &size);
    Bytes b(size);
    uint32_t mask = 99;
    EXPECT_GE(H5Dread_chunk(d, H5P_DEFAULT, offset, &mask, b.data()), 0);
    EXPECT_EQ(mask, 0u);
    H5Dclose(d);
    if (!inflate)
        return b;
    Bytes out(1 << 16);
    uLongf n = out.size();
    EXPECT_EQ(uncompress(out.data(), &n, b.data(), b.size()), Z_OK);
    out.resize(n);
    return out;
}

// A fresh directory for each test's files, removed with them at the end;
// HDF5's error printing is restored after tests that silence it, and a
// run left open is closed.
class H5Chunks : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/h5chunks_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        H5Eget_auto2(H5E_DEFAULT, &error_func_, &error_data_);
    }
    void TearDown() override {
        chunks_finish(0);  // closes a run that a failed assertion left open
        H5Eset_auto2(H5E_DEFAULT, error_func_, error_data_);
        for (const std::string &f : files_)
            unlink(f.c_str());
        rmdir(dir_.c_str());
    }
    hid_t create_file(const std::string &name) {
        files_.push_back(dir_ + "/" + name);
        return H5Fcreate(files_.back().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    }
    static void quiet() {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }

    std::string dir_;
    std::vector<std::string> files_;
    H5E_auto2_t error_func_ = nullptr;
    void *error_data_ = nullptr;
};

// ---- Round trips ----

// Every type and shape, each event count, each way of writing: HDF5 reads
// back the rows written and fill everywhere else, with `events` events.
TEST_F(H5Chunks, RoundTripsEveryTypeShapeAndEventCount) {
    hid_t str6 = string_type(6);
    const std::vector<ColumnCase> cases = {
        {"u8", H5T_NATIVE_UINT8, {}, 1, {0xff}, put_u8, not_every_third},
        {"u16",
         H5T_NATIVE_UINT16,
         {2, 3},
         4,
         bytes_of<uint16_t>(0xffff),
         put_u16_2x3,
         not_every_third},
        {"i32", H5T_NATIVE_INT32, {}, 5, bytes_of<int32_t>(-1), put_i32, always},
        {"f32", H5T_NATIVE_FLOAT, {}, 4, bytes_of(std::nanf("")), put_f32, not_every_third},
        {"f64", H5T_NATIVE_DOUBLE, {3}, 3, bytes_of(std::nan("")), put_f64_3, not_every_third},
        {"str", str6, {}, 2, Bytes(6, '-'), put_str6, not_every_third},
    };
    for (const Mode &mode : kAllModes) {
        for (uint64_t events : {0, 8, 10, 20}) {
            SCOPED_TRACE("level " + std::to_string(mode.level) + ", " +
                         std::to_string(mode.threads) + " threads, " + std::to_string(events) +
                         " events");
            hid_t file = create_file("round" + std::to_string(files_.size()) + ".h5");
            ASSERT_EQ(write_columns(file, cases, events, mode), 0) << chunks_error();
            for (const ColumnCase &s : cases) {
                std::vector<hsize_t> dims, want = {events};
                want.insert(want.end(), s.inner.begin(), s.inner.end());
                Bytes got = read_all(file, s.name, &dims);
                EXPECT_EQ(dims, want) << s.name;
                EXPECT_TRUE(got == expected_of(s, events)) << s.name;
            }
            H5Fclose(file);
        }
    }
    H5Tclose(str6);
}

// A run of more columns than keep their dataset open: past the first 256
// each dataset is closed once its attributes are set and opened again for
// each chunk, so that at most 256 stay open; every column still reads back
// its own values (a reopened dataset is the right one), whichever thread
// writes.
TEST_F(H5Chunks, ColumnsPastTheOpenOnesReopenForEachWrite) {
    const int kColumns = 300;
    const uint64_t kEvents = 10;  // chunks of 4: two full, one partial
    auto value = [](int col, uint64_t e) { return static_cast<int32_t>(col * 1000 + e); };
    for (Mode mode : {Mode{-1, 1}, Mode{6, 1}, Mode{-1, 2}, Mode{6, 3}}) {
        SCOPED_TRACE("level " + std::to_string(mode.level) + ", " + std::to_string(mode.threads) +
                     " threads");
        hid_t file = create_file("many" + std::to_string(files_.size()) + ".h5");
        ASSERT_EQ(chunks_start(mode.level, mode.threads), 0);
        int fill = -1;
        for (int c = 0; c < kColumns; c++) {
            std::string name = "c" + std::to_string(c);
            ASSERT_EQ(column_create(file, name.c_str(), H5T_NATIVE_INT32, 0, nullptr, 4, &fill), c)
                << chunks_error();
            int32_t tag = c;
            hid_t space = H5Screate(H5S_SCALAR);
            hid_t a = H5Acreate2(column_dataset(c), "tag", H5T_NATIVE_INT32, space, H5P_DEFAULT,
                                 H5P_DEFAULT);
            EXPECT_GE(H5Awrite(a, H5T_NATIVE_INT32, &tag), 0);
            H5Aclose(a);
            H5Sclose(space);
            if (c % 10 == 9) {
                ASSERT_EQ(columns_close_idle(), 0) << chunks_error();
            }
        }
        EXPECT_EQ(H5Fget_obj_count(file, H5F_OBJ_DATASET), 256);
        for (uint64_t e = 0; e < kEvents; e++) {
            for (int c = 0; c < kColumns; c++)
                put(row_of(c, e), 0, value(c, e));
            ASSERT_EQ(chunks_advance(e + 1), 0) << chunks_error();
        }
        ASSERT_EQ(chunks_finish(kEvents), 0) << chunks_error();
        EXPECT_EQ(H5Fget_obj_count(file, H5F_OBJ_DATASET), 0);
        for (int c = 0; c < kColumns; c += 37) {
            std::string name = "c" + std::to_string(c);
            std::vector<hsize_t> dims;
            Bytes got = read_all(file, name.c_str(), &dims);
            Bytes want;
            for (uint64_t e = 0; e < kEvents; e++) {
                Bytes v = bytes_of(value(c, e));
                want.insert(want.end(), v.begin(), v.end());
            }
            EXPECT_EQ(dims, std::vector<hsize_t>{kEvents}) << name;
            EXPECT_TRUE(got == want) << name;
            int32_t tag = -1;
            hid_t d = H5Dopen2(file, name.c_str(), H5P_DEFAULT);
            hid_t a = H5Aopen(d, "tag", H5P_DEFAULT);
            H5Aread(a, H5T_NATIVE_INT32, &tag);
            H5Aclose(a);
            H5Dclose(d);
            EXPECT_EQ(tag, c);
        }
        H5Fclose(file);
    }
}

// Far more chunks than slots, some of them 64 KiB frames, written by a
// worker as they are or compressed by one first: every chunk arrives,
// whichever worker finishes first.
TEST_F(H5Chunks, WritesEveryChunkThroughFewSlots) {
    auto frame = [](uint64_t e, unsigned char *row) {
        for (int k = 0; k < 128 * 256; k++)
            put(row, k, static_cast<uint16_t>(e * 131 + k % 509));
    };
    const std::vector<ColumnCase> cases = {
        {"frame", H5T_NATIVE_UINT16, {128, 256}, 1, bytes_of<uint16_t>(0), frame, not_every_third},
        {"f64", H5T_NATIVE_DOUBLE, {3}, 1, bytes_of(-1.0), put_f64_3, always},
    };
    for (Mode mode : {Mode{1, 2}, Mode{1, 3}, Mode{-1, 2}}) {
        hid_t file = create_file("many" + std::to_string(files_.size()) + ".h5");
        ASSERT_EQ(write_columns(file, cases, 200, mode), 0) << chunks_error();
        for (const ColumnCase &s : cases) {
            std::vector<hsize_t> dims;
            EXPECT_TRUE(read_all(file, s.name, &dims) == expected_of(s, 200)) << s.name;
        }
        H5Fclose(file);
    }
}

// Every chunk stored for a dataset, in HDF5's order: its first event and
// its bytes as stored.
std::vector<std::pair<hsize_t, Bytes>> stored_chunks(hid_t loc, const char *name) {
    std::vector<std::pair<hsize_t, Bytes>> out;
    hid_t d = H5Dopen2(loc, name, H5P_DEFAULT);
    hid_t space = H5Dget_space(d);
    hsize_t count = 0;
    EXPECT_GE(H5Dget_num_chunks(d, space, &count), 0);
    for (hsize_t i = 0; i < count; i++) {
        hsize_t offset[H5S_MAX_RANK] = {}, size = 0;
        unsigned mask = 0;
        haddr_t addr = 0;
        EXPECT_GE(H5Dget_chunk_info(d, space, i, offset, &mask, &addr, &size), 0);
        Bytes b(size);
        uint32_t read_mask = 0;
        EXPECT_GE(H5Dread_chunk(d, H5P_DEFAULT, offset, &read_mask, b.data()), 0);
        out.emplace_back(offset[0], b);
    }
    H5Sclose(space);
    H5Dclose(d);
    return out;
}

// Uncompressed chunks written by a worker thread are the ones the calling
// thread writes itself: the same chunks stored, byte for byte, and the
// same datasets read back, both what was written.
TEST_F(H5Chunks, WorkerStoresWhatTheCallingThreadStores) {
    hid_t str6 = string_type(6);
    auto frame = [](uint64_t e, unsigned char *row) {
        for (int k = 0; k < 64 * 64; k++)
            put(row, k, static_cast<uint16_t>(e * 977 + k * 3));
    };
    const std::vector<ColumnCase> cases = {
        {"u8", H5T_NATIVE_UINT8, {}, 3, {0xff}, put_u8, not_every_third},
        {"u16", H5T_NATIVE_UINT16, {2, 3}, 4, bytes_of<uint16_t>(0xffff), put_u16_2x3, always},
        {"f64", H5T_NATIVE_DOUBLE, {3}, 1, bytes_of(std::nan("")), put_f64_3, not_every_third},
        {"str", str6, {}, 5, Bytes(6, '-'), put_str6, always},
        {"frame", H5T_NATIVE_UINT16, {64, 64}, 1, bytes_of<uint16_t>(7), frame, not_every_third},
    };
    hid_t inline_file = create_file("inline.h5"), worker_file = create_file("worker.h5");
    ASSERT_EQ(write_columns(inline_file, cases, 23, Mode{-1, 1}), 0) << chunks_error();
    ASSERT_EQ(write_columns(worker_file, cases, 23, Mode{-1, 2}), 0) << chunks_error();
    for (const ColumnCase &s : cases) {
        auto by_inline = stored_chunks(inline_file, s.name);
        auto by_worker = stored_chunks(worker_file, s.name);
        EXPECT_FALSE(by_worker.empty()) << s.name;
        std::sort(by_inline.begin(), by_inline.end());
        std::sort(by_worker.begin(), by_worker.end());
        EXPECT_TRUE(by_inline == by_worker) << s.name;
        std::vector<hsize_t> dims;
        Bytes got = read_all(worker_file, s.name, &dims);
        EXPECT_EQ(dims[0], 23u) << s.name;
        EXPECT_TRUE(got == expected_of(s, 23)) << s.name;
        EXPECT_TRUE(got == read_all(inline_file, s.name, &dims)) << s.name;
    }
    H5Fclose(inline_file);
    H5Fclose(worker_file);
    H5Tclose(str6);
}

// ---- What the datasets declare and store ----

// Compressed datasets declare shuffle, then deflate at the level chosen;
// uncompressed ones no filter. All are chunked as asked, with the fill
// value given.
TEST_F(H5Chunks, DeclaresFiltersChunksAndFill) {
    const std::vector<ColumnCase> cases = {
        {"f64", H5T_NATIVE_DOUBLE, {3}, 7, bytes_of(-2.5), put_f64_3, always}};
    for (Mode mode : {Mode{-1, 1}, Mode{3, 1}, Mode{9, 2}}) {
        hid_t file = create_file("filters" + std::to_string(mode.level) + ".h5");
        ASSERT_EQ(write_columns(file, cases, 3, mode), 0) << chunks_error();
        hid_t d = H5Dopen2(file, "f64", H5P_DEFAULT);
        hid_t dcpl = H5Dget_create_plist(d);
        ASSERT_EQ(H5Pget_nfilters(dcpl), mode.level < 0 ? 0 : 2);
        if (mode.level >= 0) {
            unsigned flags, cd[4] = {};
            size_t ncd = 4;
            EXPECT_EQ(H5Pget_filter2(dcpl, 0, &flags, &ncd, cd, 0, nullptr, nullptr),
                      H5Z_FILTER_SHUFFLE);
            ncd = 4;
            EXPECT_EQ(H5Pget_filter2(dcpl, 1, &flags, &ncd, cd, 0, nullptr, nullptr),
                      H5Z_FILTER_DEFLATE);
            EXPECT_EQ(cd[0], static_cast<unsigned>(mode.level));
        }
        hsize_t chunk[2];
        EXPECT_EQ(H5Pget_chunk(dcpl, 2, chunk), 2);
        EXPECT_EQ(std::vector<hsize_t>(chunk, chunk + 2), std::vector<hsize_t>({7, 3}));
        double fill = 0;
        H5Pget_fill_value(dcpl, H5T_NATIVE_DOUBLE, &fill);
        EXPECT_EQ(fill, -2.5);
        H5Pclose(dcpl);
        H5Dclose(d);
        H5Fclose(file);
    }
}

// Rows worked out by hand: little-endian 16-bit values 0x0102, 0x0304, ...
// and 3-byte strings.
void put_hand_u16(uint64_t e, unsigned char *row) {
    row[0] = static_cast<unsigned char>(2 * e + 2);
    row[1] = static_cast<unsigned char>(2 * e + 1);
}
void put_hand_str3(uint64_t e, unsigned char *row) {
    memcpy(row, &"abcdefghi"[3 * e], 3);
}

// The stored chunks, read raw, are the bytes shuffled by hand: byte 0 of
// every element, then byte 1, ...; the padding of the last, partial chunk
// is fill and is shuffled with the rest. Uncompressed chunks are stored
// as they were filled.
TEST_F(H5Chunks, StoresHandShuffledChunks) {
    hid_t str3 = string_type(3);
    const std::vector<ColumnCase> cases = {
        {"u16", H5T_STD_U16LE, {}, 3, {0xef, 0xbe}, put_hand_u16, always},
        {"str", str3, {}, 2, Bytes(3, '-'), put_hand_str3, always},
    };
    for (Mode mode : {Mode{-1, 1}, Mode{-1, 2}, Mode{6, 1}, Mode{6, 2}}) {
        hid_t file = create_file("hand" + std::to_string(files_.size()) + ".h5");
        ASSERT_EQ(write_columns(file, cases, 3, mode), 0) << chunks_error();
        bool z = mode.level >= 0;
        EXPECT_EQ(stored_chunk(file, "u16", 0, z),
                  z ? Bytes({0x02, 0x04, 0x06, 0x01, 0x03, 0x05}) : Bytes({2, 1, 4, 3, 6, 5}));
        EXPECT_EQ(stored_chunk(file, "str", 0, z), text(z ? "adbecf" : "abcdef"));
        EXPECT_EQ(stored_chunk(file, "str", 2, z), text(z ? "g-h-i-" : "ghi---"));
        H5Fclose(file);
        // Event 5 is filled in but never completed: the padding stays fill.
        file = create_file("hand" + std::to_string(files_.size()) + ".h5");
        ASSERT_EQ(chunks_start(mode.level, mode.threads), 0);
        int col = column_create(file, "u16", H5T_STD_U16LE, 0, nullptr, 3, cases[0].fill.data());
        for (uint64_t e = 0; e < 6; e++) {
            put_hand_u16(e, row_of(col, e));
            ASSERT_EQ(chunks_advance(std::min<uint64_t>(e + 1, 5)), 0);
        }
        ASSERT_EQ(chunks_finish(5), 0) << chunks_error();
        EXPECT_EQ(stored_chunk(file, "u16", 3, z), z ? Bytes({0x08, 0x0a, 0xef, 0x07, 0x09, 0xbe})
                                                     : Bytes({8, 7, 10, 9, 0xef, 0xbe}));
        H5Fclose(file);
    }
    H5Tclose(str3);
}

// HDF5 itself, given the same creation properties and the same data
// through H5Dwrite, stores chunks that inflate to the same shuffled bytes,
// the partial one too (the deflate streams differ: HDF5 deflates with zlib,
// the converter with libdeflate): the file is ordinary filtered data.
TEST_F(H5Chunks, StoresWhatHdf5sOwnFiltersStore) {
    const ColumnCase one_case = {"ours",    H5T_NATIVE_DOUBLE, {3}, 4, bytes_of(std::nan("")),
                                 put_f64_3, not_every_third};
    for (Mode mode : {Mode{6, 1}, Mode{6, 2}, Mode{1, 1}}) {
        hid_t file = create_file("own" + std::to_string(files_.size()) + ".h5");
        ASSERT_EQ(write_columns(file, {one_case}, 10, mode), 0) << chunks_error();
        hid_t ours = H5Dopen2(file, "ours", H5P_DEFAULT);
        hid_t dcpl = H5Dget_create_plist(ours);
        hsize_t dims[2] = {10, 3}, maxdims[2] = {H5S_UNLIMITED, 3};
        hid_t space = H5Screate_simple(2, dims, maxdims);
        hid_t own =
            H5Dcreate2(file, "own", H5T_NATIVE_DOUBLE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
        Bytes data = expected_of(one_case, 10);
        ASSERT_GE(H5Dwrite(own, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.data()), 0);
        for (hid_t id : {own, ours})
            H5Dclose(id);
        H5Sclose(space);
        H5Pclose(dcpl);
        for (hsize_t first : {0, 4, 8})
            EXPECT_EQ(stored_chunk(file, "ours", first, mode.level >= 0),
                      stored_chunk(file, "own", first, mode.level >= 0))
                << "chunk at " << first;
        H5Fclose(file);
    }
}

std::vector<int32_t> read_ints(hid_t loc, const char *name) {
    std::vector<hsize_t> dims;
    Bytes b = read_all(loc, name, &dims);
    std::vector<int32_t> out(b.size() / 4);
    memcpy(out.data(), b.data(), b.size());
    return out;
}

// The count may jump over whole chunks, and a column may be created after
// events have passed (with threads, while a chunk may still be on its way
// to the file): events nobody filled in read as fill, and the chunks
// jumped over are not stored.
TEST_F(H5Chunks, FillsEventsNobodyWrote) {
    for (Mode mode : {Mode{-1, 1}, Mode{-1, 2}, Mode{6, 2}}) {
        hid_t file = create_file("jump" + std::to_string(files_.size()) + ".h5");
        int32_t fill = -1;
        ASSERT_EQ(chunks_start(mode.level, mode.threads), 0);
        int early = column_create(file, "early", H5T_NATIVE_INT32, 0, nullptr, 2, &fill);
        put(row_of(early, 0), 0, int32_t(10));
        ASSERT_EQ(chunks_advance(1), 0);
        ASSERT_EQ(chunks_advance(7), 0);
        int late = column_create(file, "late", H5T_NATIVE_INT32, 0, nullptr, 4, &fill);
        ASSERT_GE(late, 0) << chunks_error();
        put(row_of(early, 7), 0, int32_t(17));
        put(row_of(late, 7), 0, int32_t(27));
        ASSERT_EQ(chunks_advance(8), 0);
        put(row_of(early, 8), 0, int32_t(18));
        ASSERT_EQ(chunks_finish(9), 0) << chunks_error();
        EXPECT_EQ(read_ints(file, "early"),
                  std::vector<int32_t>({10, -1, -1, -1, -1, -1, -1, 17, 18}));
        EXPECT_EQ(read_ints(file, "late"),
                  std::vector<int32_t>({-1, -1, -1, -1, -1, -1, -1, 27, -1}));
        hid_t d = H5Dopen2(file, "early", H5P_DEFAULT);
        hid_t space = H5Dget_space(d);
        hsize_t chunks = 0;
        H5Dget_num_chunks(d, space, &chunks);
        EXPECT_EQ(chunks, 3u);  // events 0-1, 6-7 and 8
        H5Sclose(space);
        H5Dclose(d);
        H5Fclose(file);
    }
}

bool outside_4_to_7(uint64_t e) {
    return e < 4 || e > 7;
}
bool only_7(uint64_t e) {
    return e == 7;
}
bool never(uint64_t) {
    return false;
}

// A chunk holding nothing but fill is not stored, and reads give the fill
// value (NaN) for it; one differing byte at a chunk's end is enough for
// the chunk to be stored.
TEST_F(H5Chunks, LeavesAllFillChunksOut) {
    const std::vector<ColumnCase> cases = {
        {"gap", H5T_NATIVE_FLOAT, {}, 4, bytes_of(std::nanf("")), put_f32, outside_4_to_7},
        {"tail", H5T_NATIVE_UINT8, {}, 4, {0}, put_u8, only_7},
        {"empty", H5T_NATIVE_DOUBLE, {}, 4, bytes_of(std::nan("")), put_f64_3, never},
    };
    for (Mode mode : {Mode{-1, 1}, Mode{-1, 2}, Mode{6, 1}, Mode{6, 2}}) {
        hid_t file = create_file("fill" + std::to_string(files_.size()) + ".h5");
        ASSERT_EQ(write_columns(file, cases, 11, mode), 0) << chunks_error();
        hsize_t counts[3] = {99, 99, 99};
        for (int i = 0; i < 3; i++) {
            hid_t d = H5Dopen2(file, cases[i].name, H5P_DEFAULT);
            hid_t space = H5Dget_space(d);
            EXPECT_GE(H5Dget_num_chunks(d, space, &counts[i]), 0);
            H5Sclose(space);
            if (i == 2) {
                EXPECT_EQ(H5Dget_storage_size(d), 0u);
            }
            H5Dclose(d);
        }
        EXPECT_EQ(counts[0], 2u);  // events 0-3 and 8-10
        EXPECT_EQ(counts[1], 1u);  // events 4-7
        EXPECT_EQ(counts[2], 0u);
        std::vector<hsize_t> dims;
        Bytes gap = read_all(file, "gap", &dims), empty = read_all(file, "empty", &dims);
        EXPECT_EQ(dims, std::vector<hsize_t>{11});
        for (int e = 0; e < 11; e++) {
            float f;
            double d;
            memcpy(&f, &gap[4 * e], 4);
            memcpy(&d, &empty[8 * e], 8);
            EXPECT_TRUE(e >= 4 && e <= 7 ? std::isnan(f) : f == 0.25f * e - 2) << e;
            EXPECT_TRUE(std::isnan(d)) << e;
        }
        EXPECT_EQ(stored_chunk(file, "tail", 4, mode.level >= 0), Bytes({0, 0, 0, 50}));
        H5Fclose(file);
    }
}

// ---- Failures ----

// Misuse of the calls is refused with a message; the run then ends in -1,
// and a new run can start afterwards.
TEST_F(H5Chunks, RefusesMisuseWithAMessage) {
    quiet();
    EXPECT_EQ(chunks_start(10, 1), -1);
    EXPECT_NE(strstr(chunks_error(), "compression level 10"), nullptr) << chunks_error();
    EXPECT_EQ(chunks_start(-1, 0), -1);
    EXPECT_NE(strstr(chunks_error(), "0 threads"), nullptr) << chunks_error();
    EXPECT_EQ(chunks_finish(0), -1);

    hid_t vlen = H5Tcopy(H5T_C_S1);
    H5Tset_size(vlen, H5T_VARIABLE);
    struct Case {
        const char *words;
        bool (*misuse)(hid_t file, hid_t vlen, int col);  // true: refused
    };
    const Case cases[] = {
        {"at least one event",
         [](hid_t f, hid_t, int) {
             int z = 0;
             return column_create(f, "z", H5T_NATIVE_INT, 0, nullptr, 0, &z) == -1;
         }},
        {"variable-length",
         [](hid_t f, hid_t v, int) {
             char z[8] = {};
             return column_create(f, "v", v, 0, nullptr, 4, z) == -1;
         }},
        {"cannot create dataset /x (H5Dcreate2)",
         [](hid_t f, hid_t, int) {
             int z = 0;
             return column_create(f, "x", H5T_NATIVE_INT, 0, nullptr, 4, &z) == -1;
         }},
        {"event 4 of /x is not in the chunk",
         [](hid_t, hid_t, int c) { return column_row(c, 4) == nullptr; }},
        {"event 1 of /x is not in the chunk",
         [](hid_t, hid_t, int c) { return chunks_advance(2) == 0 && column_row(c, 1) == nullptr; }},
        {"no column 9",
         [](hid_t, hid_t, int) { return column_row(9, 0) == nullptr && column_dataset(9) < 0; }},
        {"went back from 3 to 2",
         [](hid_t, hid_t, int) { return chunks_advance(3) == 0 && chunks_advance(2) == -1; }},
        {"called again", [](hid_t, hid_t, int) { return chunks_start(-1, 1) == -1; }},
        {"1 events, but 3 were already complete",
         [](hid_t, hid_t, int) { return chunks_advance(3) == 0 && chunks_finish(1) == -1; }},
    };
    for (const Case &c : cases) {
        hid_t file = create_file("misuse" + std::to_string(files_.size()) + ".h5");
        int fill = 0;
        ASSERT_EQ(chunks_start(-1, 1), 0);
        EXPECT_STREQ(chunks_error(), "");
        int col = column_create(file, "x", H5T_NATIVE_INT, 0, nullptr, 4, &fill);
        ASSERT_GE(col, 0) << chunks_error();
        EXPECT_TRUE(c.misuse(file, vlen, col)) << c.words;
        EXPECT_NE(strstr(chunks_error(), c.words), nullptr) << chunks_error();
        EXPECT_EQ(chunks_finish(4), -1) << c.words;
        EXPECT_EQ(H5Fget_obj_count(file, H5F_OBJ_DATASET), 0);
        H5Fclose(file);
    }
    H5Tclose(vlen);
}

// A dataset closed underneath the module: the run ends in -1, the message
// names the chunk, the dataset and the call, and nothing stays open.
TEST_F(H5Chunks, ReportsAFailedWriteNamingTheDataset) {
    quiet();
    for (Mode mode : {Mode{-1, 1}, Mode{-1, 2}, Mode{6, 1}, Mode{6, 2}}) {
        hid_t file = create_file("closed" + std::to_string(files_.size()) + ".h5");
        hid_t group = H5Gcreate2(file, "entry", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        int fill = 0;
        ASSERT_EQ(chunks_start(mode.level, mode.threads), 0);
        int col = column_create(group, "data", H5T_NATIVE_INT, 0, nullptr, 2, &fill);
        ASSERT_GE(col, 0) << chunks_error();
        for (uint64_t e = 0; e < 2; e++)
            put(row_of(col, e), 0, 5);
        H5Dclose(column_dataset(col));
        int advanced = chunks_advance(2);
        EXPECT_EQ(chunks_finish(2), -1);
        if (mode.threads == 1) {
            EXPECT_EQ(advanced, -1);
        }
        EXPECT_STREQ(chunks_error(), "cannot write chunk 0 of /entry/data (H5Dset_extent)");
        EXPECT_EQ(H5Fget_obj_count(file, H5F_OBJ_DATASET), 0);
        H5Gclose(group);
        H5Fclose(file);
    }
}

// 64 KiB of bytes that deflate cannot shrink: a frame of noise.
void put_noise(uint64_t e, unsigned char *row) {
    uint32_t x = static_cast<uint32_t>(e) + 1;
    for (int k = 0; k < 65536; k++) {
        x = x * 1103515245u + 12345u;
        row[k] = static_cast<unsigned char>(x >> 16);
    }
}

// While it lives, files may not grow past 512 KiB: the process's file
// size limit stands in for a full disk. Writes past it fail with EFBIG
// instead of killing the process.
class SmallFiles {
  public:
    SmallFiles() {
        getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit small = saved_;
        small.rlim_cur = 512 * 1024;
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~SmallFiles() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, old_handler_);
    }
    SmallFiles(const SmallFiles &) = delete;
    SmallFiles &operator=(const SmallFiles &) = delete;

  private:
    struct rlimit saved_;
    void (*old_handler_)(int);
};

// A file that cannot grow: the run ends in -1 naming H5Dwrite_chunk,
// never in success, whichever thread writes.
TEST_F(H5Chunks, ReportsAFileThatCannotGrow) {
    quiet();
    const std::vector<ColumnCase> cases = {
        {"frames", H5T_NATIVE_UINT8, {65536}, 1, {0}, put_noise, always}};
    for (Mode mode : {Mode{-1, 1}, Mode{-1, 2}, Mode{6, 1}, Mode{6, 2}}) {
        hid_t file = create_file("full" + std::to_string(files_.size()) + ".h5");
        int result;
        {
            SmallFiles limit;
            result = write_columns(file, cases, 16, mode);
        }
        EXPECT_EQ(result, -1);
        EXPECT_NE(strstr(chunks_error(), "of /frames (H5Dwrite_chunk)"), nullptr) << chunks_error();
        H5Fclose(file);
    }
}

// Frames of noise into column `col`, one event per chunk, while files
// cannot grow, until chunks_advance refuses or 64 frames are handed over.
// Returns the events handed over; `advanced` gets the last chunks_advance
// result and `error` errno as that call left it.
uint64_t advance_until_refused(int col, int *advanced, int *error) {
    SmallFiles limit;
    uint64_t events = 0;
    *advanced = 0;
    while (events < 64 && *advanced == 0) {
        void *row = column_row(col, events);
        if (!row) {
            ADD_FAILURE() << chunks_error();
            break;
        }
        put_noise(events, static_cast<unsigned char *>(row));
        *advanced = chunks_advance(++events);
    }
    *error = errno;
    return events;
}

// A write that fails in a worker thread reaches the calling thread
// while it is still handing chunks over: chunks_advance returns -1 long
// before 64 frames (at the latest when it needs back a slot that a
// worker freed after failing), with errno as the failed write left it
// and the message naming chunk, dataset and call; chunks_finish returns
// -1 too and closes everything. The next run starts clean.
TEST_F(H5Chunks, WorkersFailedWriteReachesTheCaller) {
    quiet();
    const ColumnCase frames = {"frames", H5T_NATIVE_UINT8, {65536}, 1, {0}, put_noise, always};
    for (Mode mode : {Mode{-1, 2}, Mode{1, 2}}) {
        SCOPED_TRACE("level " + std::to_string(mode.level));
        hid_t file = create_file("failing" + std::to_string(files_.size()) + ".h5");
        ASSERT_EQ(chunks_start(mode.level, mode.threads), 0);
        int col = column_create(file, frames.name, frames.type, 1, frames.inner.data(), 1,
                                frames.fill.data());
        ASSERT_GE(col, 0) << chunks_error();
        int advanced = 0, error = 0;
        uint64_t events = advance_until_refused(col, &advanced, &error);
        EXPECT_EQ(advanced, -1);
        EXPECT_EQ(error, EFBIG);
        EXPECT_EQ(strncmp(chunks_error(), "cannot write chunk ", 19), 0) << chunks_error();
        EXPECT_NE(strstr(chunks_error(), " of /frames (H5Dwrite_chunk)"), nullptr)
            << chunks_error();
        EXPECT_EQ(chunks_finish(events), -1);
        EXPECT_NE(strstr(chunks_error(), " of /frames (H5Dwrite_chunk)"), nullptr)
            << chunks_error();
        EXPECT_EQ(H5Fget_obj_count(file, H5F_OBJ_DATASET), 0);
        H5Fclose(file);

        file = create_file("after" + std::to_string(files_.size()) + ".h5");
        ASSERT_EQ(write_columns(file, {frames}, 3, mode), 0) << chunks_error();
        std::vector<hsize_t> dims;
        EXPECT_TRUE(read_all(file, frames.name, &dims) == expected_of(frames, 3));
        H5Fclose(file);
    }
}

// ---- Planned columns, made by the layout job ----

// What the layout job of the tests below works with: the file, the
// columns to make in group /g, how far the calling thread must have got
// before the job goes on (so that chunks are handed over before their
// datasets exist: three frames, fewer than the slots), and the answer it
// gives.
struct LayOutJob {
    hid_t file;
    std::vector<int> cols;
    std::atomic<uint64_t> advanced{0};
    uint64_t wait_for;
    const char *answer;
};

const char *make_group_g(void *arg) {
    LayOutJob &job = *static_cast<LayOutJob *>(arg);
    // Bounded, so that a module that never lets the caller past the
    // layout fails the test instead of hanging it.
    for (int i = 0; i < 5000 && job.advanced.load() < job.wait_for; i++)
        usleep(1000);
    hid_t g = H5Gcreate2(job.file, "g", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    for (int col : job.cols)
        if (column_make(g, col) != 0 || column_dataset(col) < 0)
            return "column_make failed";
    H5Gclose(g);
    return job.answer;
}

// Columns planned first and made by the layout job: with threads the job
// runs on a worker while the calling thread already fills (and with
// frames of one event a chunk, hands over) chunks, and every row arrives
// in its dataset; a failed job fails the run with its message.
TEST_F(H5Chunks, PlannedColumnsMadeByTheLayoutJobWhileRowsAreFilled) {
    quiet();
    const std::vector<ColumnCase> cases = {
        {"/g/frames",
         H5T_NATIVE_UINT16,
         {2, 3},
         1,
         bytes_of<uint16_t>(0xffff),
         put_u16_2x3,
         not_every_third},
        {"/g/f32", H5T_NATIVE_FLOAT, {}, 4, bytes_of(std::nanf("")), put_f32, not_every_third},
    };
    const uint64_t kEvents = 20;
    for (const Mode &mode : kAllModes)
        for (const char *answer : {(const char *)nullptr, "no room for the layout"}) {
            SCOPED_TRACE("level " + std::to_string(mode.level) + ", " +
                         std::to_string(mode.threads) + " threads" + (answer ? ", failing" : ""));
            LayOutJob job{create_file("plan" + std::to_string(files_.size()) + ".h5"),
                          {},
                          {},
                          mode.threads > 1 ? uint64_t(3) : 0,
                          answer};
            ASSERT_EQ(chunks_start(mode.level, mode.threads), 0);
            for (const ColumnCase &s : cases)
                job.cols.push_back(column_plan(s.name, s.type, (int)s.inner.size(), s.inner.data(),
                                               s.chunk, s.fill.data()));
            int handed = chunks_lay_out(make_group_g, &job);
            int status = handed;
            for (uint64_t e = 0; e < kEvents && status == 0; e++) {
                for (size_t i = 0; i < cases.size(); i++)
                    if (cases[i].present(e))
                        cases[i].value(e, row_of(job.cols[i], e));
                status = chunks_advance(e + 1);
                job.advanced = e + 1;
            }
            EXPECT_EQ(chunks_finish(kEvents), answer ? -1 : 0) << chunks_error();
            EXPECT_STREQ(chunks_error(), answer ? answer : "");
            for (size_t i = 0; i < cases.size() && !answer; i++) {
                std::vector<hsize_t> dims;
                EXPECT_TRUE(read_all(job.file, cases[i].name, &dims) ==
                            expected_of(cases[i], kEvents))
                    << cases[i].name;
            }
            H5Fclose(job.file);
        }
}

// About 1 MiB of events per chunk, never more than the cap, never none.
TEST(H5ChunkEvents, AboutOneMebibyteCappedAndAtLeastOne) {
    EXPECT_EQ(chunk_events_for(8, 1u << 30), 131072u);  // 1048576 / 8
    EXPECT_EQ(chunk_events_for(3, 1u << 30), 349525u);  // 1048576 / 3, rounded down
    EXPECT_EQ(chunk_events_for(8, 1000), 1000u);
    EXPECT_EQ(chunk_events_for(524288, 1000), 2u);
    EXPECT_EQ(chunk_events_for(2048 * 1024, 1000), 1u);  // a 2 MiB frame
    EXPECT_EQ(chunk_events_for(8, 0), 1u);
    EXPECT_EQ(chunk_events_for(0, 50), 50u);
}

}  // namespace
