// h5_pixels_test.cc - the fast pixel readers (64 bytes at a time with
// AVX-512, 32 with AVX2, 16 with SSE2, then eight) against the portable
// one, a byte at a time, on random lists long and short, well formed and
// with one fault put in: the same verdict, count, largest pixel and pixels, for
// both depths and for counting alone, with each block reader.
#include "h5_pixels.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// A random list of n pixels below `top`, separated by `sep` (and ended by
// one when `after_last`), perhaps with one fault put in.
std::string random_list(std::mt19937 &rng, size_t n, uint32_t top, char sep, bool after_last) {
    static const std::string faults[] = {
        "", "", "", "  ", "x", "1234567", "99999", "65536", "256", "000255", std::string(130, '7')};
    std::string text;
    for (size_t i = 0; i < n; i++) {
        text += std::to_string(rng() % top);
        if (after_last || i + 1 < n)
            text += sep;
    }
    std::string fault = faults[rng() % 11];
    if (fault == "  " || fault == "x")
        fault[0] = sep;  // a doubled separator, or one before a stray byte
    if (!fault.empty())
        text.insert(rng() % (text.size() + 1), fault);
    return text;
}

struct Read {
    bool ok;
    uint64_t n = 0, max = 0;
    std::vector<uint16_t> px;
};

template <typename T>
Read read_with(bool fast, const std::string &text, char sep, bool after_last, size_t cap,
               bool store, PixelBlocks blocks) {
    std::vector<T> out(cap + 1, 0);
    std::string buf = text + "]";  // the cell's closing bracket follows the list
    const char *b = buf.data(), *e = buf.data() + text.size();
    T *o = store ? out.data() : nullptr;
    Read r;
    r.ok = fast ? pixels_read_with(blocks, b, e, sep, after_last, o, cap, &r.n, &r.max)
                : pixels_read_portable(b, e, sep, after_last, o, cap, &r.n, &r.max);
    if (r.ok)
        r.px.assign(out.begin(), out.end());
    return r;
}

template <typename T>
void compare_on_random_lists(uint32_t seed, PixelBlocks blocks = PIXEL_BLOCKS_BEST) {
    std::mt19937 rng(seed);
    for (int round = 0; round < 3000; round++) {
        bool tab = round % 2;
        char sep = tab ? '\t' : ' ';
        size_t n = 1 + rng() % (round % 3 ? 40 : 900);
        uint32_t top = round % 5 == 0 ? 10 : round % 5 == 1 ? 1000000 : 65536;
        std::string text = random_list(rng, n, top, sep, tab);
        size_t cap = round % 7 == 0 ? rng() % (n + 1) : n + 3;
        bool store = round % 4 != 0;
        Read fast = read_with<T>(true, text, sep, tab, cap, store, blocks);
        Read ref = read_with<T>(false, text, sep, tab, cap, store, blocks);
        ASSERT_EQ(fast.ok, ref.ok) << text.substr(0, 120);
        EXPECT_EQ(fast.n, ref.n);
        EXPECT_EQ(fast.max, ref.max);
        EXPECT_EQ(fast.px, ref.px);
    }
}

TEST(PixelReaders, FastAgreeWithPortableOnRandomLists) {
    compare_on_random_lists<uint8_t>(11);
    compare_on_random_lists<uint16_t>(12);
}

// The reader that finds a list's end reads what the portable reader reads
// up to the first byte that is neither a digit nor a blank.
void compare_open_on_random_lists(uint32_t seed, PixelBlocks blocks = PIXEL_BLOCKS_BEST) {
    std::mt19937 rng(seed);
    for (int round = 0; round < 2000; round++) {
        std::string text = random_list(rng, 1 + rng() % 600, 65536, ' ', false);
        std::string line = text + (round % 2 ? "]]," : "");
        size_t stop = line.find_first_not_of("0123456789 ");
        stop = stop == std::string::npos ? line.size() : stop;
        std::vector<uint16_t> got(1000), want(1000);
        uint64_t gn = 0, gm = 0, wn = 0, wm = 0;
        const char *b = line.data();
        const char *q =
            pixels_read_open_with(blocks, b, b + line.size(), got.data(), got.size(), &gn, &gm);
        bool ok = stop > 0 &&
                  pixels_read_portable(b, b + stop, ' ', false, want.data(), want.size(), &wn, &wm);
        ASSERT_EQ(q, ok ? b + stop : nullptr) << line.substr(0, 120);
        if (ok) {
            EXPECT_EQ(gn, wn);
            EXPECT_EQ(gm, wm);
            EXPECT_EQ(got, want);
        }
    }
}

TEST(PixelReaders, OpenListEndsWhereThePortableReaderWouldStop) {
    compare_open_on_random_lists(13);
}

// Each block reader on its own (pixels_read takes the best the CPU has).
class EachBlockReader : public testing::TestWithParam<PixelBlocks> {};

TEST_P(EachBlockReader, AgreesWithPortableOnRandomLists) {
    if (!pixel_blocks_available(GetParam()))
        GTEST_SKIP() << "this CPU cannot run the block reader; not tested here";
    compare_on_random_lists<uint8_t>(21, GetParam());
    compare_on_random_lists<uint16_t>(22, GetParam());
    compare_open_on_random_lists(23, GetParam());
}

INSTANTIATE_TEST_SUITE_P(PixelReaders, EachBlockReader,
                         testing::Values(PIXEL_BLOCKS_SSE2, PIXEL_BLOCKS_AVX2, PIXEL_BLOCKS_AVX512),
                         [](const testing::TestParamInfo<PixelBlocks> &i) {
                             return std::string(i.param == PIXEL_BLOCKS_AVX512 ? "AVX512"
                                                : i.param == PIXEL_BLOCKS_AVX2 ? "AVX2"
                                                                               : "SSE2");
                         });

}  // namespace
