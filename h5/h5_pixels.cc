// h5_pixels.cc - the readers of pixel lists, the converter's hot loop: a
// camera frame is megabytes of decimal numbers. Sixty-four bytes at a time
// with AVX-512 (VBMI2) where the CPU has it, thirty-two with AVX2 (x86
// builds look once, at run time), sixteen with SSE2, eight at a time in a
// 64-bit word (SWAR) for the rest, and a portable reader, a byte at a
// time, that states the grammar plainly: the fast readers are tested
// against it (tests/h5_pixels_test.cc), value for value and verdict for
// verdict.
#include "h5_pixels.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
// The AVX2 reader is built on x86 by GCC and Clang, whose target
// attribute compiles single functions for AVX2 in a baseline build.
#if defined(__SSE2__) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define KORVEL_PIXELS_AVX2 1
#include <immintrin.h>
#define AVX2_FN __attribute__((target("avx2,bmi,bmi2")))
#endif
#include <cstring>
#include <limits>

// The largest pixel a list may hold: the type's, or (counting only) the
// largest number of six digits.
template <typename T>
static uint32_t pixel_limit(const T *out) {
    return out ? std::numeric_limits<T>::max() : 999999u;
}

// The digits at p (8 readable bytes) as a number: *len gets their count,
// 0 when p holds no digit or 7 or more of them. Eight bytes are looked at
// at once: a mask of the bytes that are no digit gives the count, and three
// multiplications join the digits (the number's bytes are moved to the top
// of the word first, so the bytes after it fall out).
static inline uint32_t swar_number(const char *p, unsigned *len) {
    uint64_t w;
    memcpy(&w, p, 8);
    uint64_t x = w ^ 0x3030303030303030ull;  // a digit byte becomes 0..9
    uint64_t nondigit =
        (((x & 0x7F7F7F7F7F7F7F7Full) + 0x7676767676767676ull) | x) & 0x8080808080808080ull;
    unsigned n = nondigit ? (unsigned)__builtin_ctzll(nondigit) / 8 : 8;
    if (n == 0 || n > 6) {
        *len = 0;
        return 0;
    }
    *len = n;
    x <<= 8 * (8 - n);
    x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FFull;
    x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFFull;
    x = (x * 10000 + (x >> 32)) & 0xFFFFFFFFull;
    return (uint32_t)x;
}

// The digits at p, one byte at a time (near the end of a cell). The cell
// always ends in ']', so the loop stops at *end without a bound check.
static inline uint32_t scalar_number(const char *p, unsigned *len) {
    uint32_t v = 0;
    unsigned n = 0, d;
    while ((d = (unsigned)(p[n] - '0')) < 10u && n < 7) {
        v = v * 10 + d;
        n++;
    }
    *len = n > 6 ? 0 : n;
    return v;
}

// One pixel into out[n] (when out is set), checked against the type and
// the capacity. Returns false when it does not fit.
template <typename T>
static inline bool put_pixel(T *out, uint64_t n, uint64_t cap, uint32_t v, uint32_t limit,
                             uint32_t *mx) {
    if (v > limit || (out && n >= cap))
        return false;
    if (out)
        out[n] = (T)v;
    *mx = v > *mx ? v : *mx;
    return true;
}

#ifdef __SSE2__
// The `len` digits at p (8 readable bytes, 1 <= len <= 8) moved to the top
// of a word, each byte its digit's value, the bytes below them zero.
static inline uint64_t shift_digits(const char *p, unsigned len) {
    uint64_t x;
    memcpy(&x, p, 8);
    return (x ^ 0x3030303030303030ull) << ((8 * (8 - len)) & 63);
}

// A word from shift_digits as its number: the three multiplications of
// swar_number.
static inline uint32_t swar_digits_shifted(uint64_t x) {
    x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FFull;
    x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFFull;
    x = (x * 10000 + (x >> 32)) & 0xFFFFFFFFull;
    return (uint32_t)x;
}

// Two words of digits (as shift_digits leaves them) into their numbers,
// the steps of swar_digits_shifted for both at once: bytes into pairs of
// digits, pairs into fours, fours into eights.
static inline __m128i words_to_numbers(__m128i x) {
    const __m128i low = _mm_set1_epi16(0x00FF);
    __m128i pairs = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(x, low), _mm_set1_epi16(10)),
                                  _mm_srli_epi16(x, 8));
    __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));
    __m128i eights =
        _mm_add_epi64(_mm_mul_epu32(fours, _mm_set1_epi32(10000)), _mm_srli_epi64(fours, 32));
    return eights;
}

// The numbers of words[0..k) into out[0..k), four at a time; *bad is set
// when one exceeds the limit, *mx gets the largest.
template <typename T>
static inline void numbers_out(const uint64_t *words, size_t k, T *out, uint32_t limit,
                               uint32_t *mx, bool *bad) {
    __m128i maxv = _mm_setzero_si128(), over = _mm_setzero_si128();
    const __m128i lim = _mm_set1_epi32((int)limit);
    size_t i = 0;
    for (; i + 4 <= k; i += 4) {
        __m128i a = words_to_numbers(_mm_loadu_si128((const __m128i *)(words + i)));
        __m128i b = words_to_numbers(_mm_loadu_si128((const __m128i *)(words + i + 2)));
        __m128i v = _mm_unpacklo_epi64(_mm_shuffle_epi32(a, _MM_SHUFFLE(3, 1, 2, 0)),
                                       _mm_shuffle_epi32(b, _MM_SHUFFLE(3, 1, 2, 0)));
        over = _mm_or_si128(over, _mm_cmpgt_epi32(v, lim));
        __m128i gt = _mm_cmpgt_epi32(v, maxv);
        maxv = _mm_or_si128(_mm_and_si128(gt, v), _mm_andnot_si128(gt, maxv));
        if (out) {
            uint32_t vals[4];
            _mm_storeu_si128((__m128i *)vals, v);
            for (int j = 0; j < 4; j++)
                out[i + j] = (T)vals[j];
        }
    }
    uint32_t m[4];
    _mm_storeu_si128((__m128i *)m, maxv);
    uint32_t top = *mx;
    for (int j = 0; j < 4; j++)
        top = m[j] > top ? m[j] : top;
    *bad |= _mm_movemask_epi8(over) != 0;
    for (; i < k; i++) {
        uint32_t v = swar_digits_shifted(words[i]);
        *bad |= v > limit;
        if (out)
            out[i] = (T)v;
        top = v > top ? v : top;
    }
    *mx = top;
}
#endif

#ifdef __SSE2__
// The numbers that end in the sixteen bytes at q, whose separators are
// the bits of `seps`, as words after words[*k]; *start is where the next
// number starts. *bad is set for an empty number or one of more than six
// digits.
static inline void block_words(const char *q, unsigned seps, const char **start, uint64_t *words,
                               size_t *k, bool *bad) {
    while (seps) {
        const char *s = q + __builtin_ctz(seps);
        seps &= seps - 1;
        unsigned len = (unsigned)(s - *start);
        *bad |= len - 1 > 5;
        words[(*k)++] = shift_digits(*start, len);
        *start = s + 1;
    }
}

// The k words waiting as pixels out[*n...]. Returns false when a number
// was bad, or they do not fit the capacity or the type.
template <typename T>
static inline bool words_out(const uint64_t *words, size_t k, T *out, uint64_t cap, uint64_t *n,
                             uint32_t limit, uint32_t *mx, bool bad) {
    if (bad || (out && *n + k > cap))
        return false;
    numbers_out(words, k, out ? out + *n : out, limit, mx, &bad);
    *n += k;
    return !bad;
}
#endif

// Sixteen bytes at a time: one comparison finds the separators, another
// checks that everything else is a digit; each number's digits are then
// moved to the top of a word, and the words are joined into numbers a
// batch at a time (numbers_out). Stops before the last 16 bytes (and
// earlier at anything unusual), leaving *pp at the start of the next
// number for the loop that reads the rest. Returns false when a number is
// empty, too long or does not fit.
template <typename T>
static bool read_pixel_blocks_sse2(const char **pp, const char *end, char sep, T *out, uint64_t cap,
                                   uint64_t *np, uint32_t *mx, uint32_t limit) {
#ifdef __SSE2__
    const char *start = *pp;
    const __m128i sepv = _mm_set1_epi8(sep), zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9);
    // Words wait for numbers_out in batches; a block adds at most eight.
    enum {
        BATCH = 64
    };
    uint64_t words[BATCH + 8];
    size_t k = 0;
    bool bad = false;
    for (const char *q = start; end - q >= 24; q += 16) {
        __m128i v = _mm_loadu_si128((const __m128i *)q);
        __m128i d = _mm_sub_epi8(v, zero);
        unsigned digits = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, nine), d));
        unsigned seps = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, sepv));
        if ((digits | seps) != 0xFFFFu)
            break;  // something else: the plain loop reads (or refuses) it
        block_words(q, seps, &start, words, &k, &bad);
        if (q + 16 - start > 6)
            return false;  // a number of more than six digits
        if (k >= BATCH) {
            if (!words_out(words, k, out, cap, np, limit, mx, bad))
                return false;
            k = 0;
        }
    }
    if (!words_out(words, k, out, cap, np, limit, mx, bad))
        return false;
    *pp = start;
#else
    (void)pp, (void)end, (void)sep, (void)out, (void)cap, (void)np, (void)mx, (void)limit;
#endif
    return true;
}

#ifdef KORVEL_PIXELS_AVX2
// Eight words of digits (as shift_digits leaves them, the last digit in the
// top byte) into their numbers, by multiply-adds: digit pairs (x10 + 1),
// pairs into fours (x100 + 1), and, packed to 16 bits, fours into eights
// (x10000 + 1). The pack works per 128-bit lane, so the last step puts the
// numbers back in order.
AVX2_FN static inline __m256i words_to_numbers_avx2(__m256i a, __m256i b) {
    const __m256i tens = _mm256_set1_epi16(0x010A), hundreds = _mm256_set1_epi32(0x00010064);
    __m256i fa = _mm256_madd_epi16(_mm256_maddubs_epi16(a, tens), hundreds);
    __m256i fb = _mm256_madd_epi16(_mm256_maddubs_epi16(b, tens), hundreds);
    __m256i eights = _mm256_madd_epi16(_mm256_packus_epi32(fa, fb), _mm256_set1_epi32(0x00012710));
    return _mm256_permute4x64_epi64(eights, _MM_SHUFFLE(3, 1, 2, 0));
}

// Eight numbers as pixels at out (values over the type are refused by the
// caller; the pack saturates them).
AVX2_FN static inline void store_eight(uint16_t *out, __m256i v) {
    __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    _mm_storeu_si128((__m128i *)out, w);
}
AVX2_FN static inline void store_eight(uint8_t *out, __m256i v) {
    __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    _mm_storel_epi64((__m128i *)out, _mm_packus_epi16(w, w));
}

// numbers_out eight at a time.
template <typename T>
AVX2_FN static inline void numbers_out_avx2(const uint64_t *words, size_t k, T *out, uint32_t limit,
                                            uint32_t *mx, bool *bad) {
    __m256i maxv = _mm256_setzero_si256(), over = _mm256_setzero_si256();
    const __m256i lim = _mm256_set1_epi32((int)limit);
    size_t i = 0;
    for (; i + 8 <= k; i += 8) {
        __m256i v = words_to_numbers_avx2(_mm256_loadu_si256((const __m256i *)(words + i)),
                                          _mm256_loadu_si256((const __m256i *)(words + i + 4)));
        over = _mm256_or_si256(over, _mm256_cmpgt_epi32(v, lim));
        maxv = _mm256_max_epu32(maxv, v);
        if (out)
            store_eight(out + i, v);
    }
    uint32_t m[8];
    _mm256_storeu_si256((__m256i *)m, maxv);
    uint32_t top = *mx;
    for (int j = 0; j < 8; j++)
        top = m[j] > top ? m[j] : top;
    *bad |= _mm256_movemask_epi8(over) != 0;
    for (; i < k; i++) {
        uint32_t v = swar_digits_shifted(words[i]);
        *bad |= v > limit;
        if (out)
            out[i] = (T)v;
        top = v > top ? v : top;
    }
    *mx = top;
}

// block_words for thirty-two bytes.
AVX2_FN static inline void block_words_avx2(const char *q, uint32_t seps, const char **start,
                                            uint64_t *words, size_t *k, bool *bad) {
    const char *st = *start;
    size_t n = *k;
    bool b = *bad;
    while (seps) {
        const char *s = q + __builtin_ctz(seps);
        seps &= seps - 1;
        unsigned len = (unsigned)(s - st);
        b |= len - 1 > 5;
        uint64_t x;
        memcpy(&x, st, 8);
        words[n++] = (x ^ 0x3030303030303030ull) << ((8 * (8 - len)) & 63);
        st = s + 1;
    }
    *start = st;
    *k = n;
    *bad = b;
}

// words_out with numbers_out_avx2.
template <typename T>
AVX2_FN static inline bool words_out_avx2(const uint64_t *words, size_t k, T *out, uint64_t cap,
                                          uint64_t *n, uint32_t limit, uint32_t *mx, bool bad) {
    if (bad || (out && *n + k > cap))
        return false;
    numbers_out_avx2(words, k, out ? out + *n : out, limit, mx, &bad);
    *n += k;
    return !bad;
}

// read_pixel_blocks_sse2 thirty-two bytes at a time. A block is read only
// while 40 bytes are left: a number's digits are loaded as eight bytes
// from its start, which lies at most 31 bytes into the block.
template <typename T>
AVX2_FN static bool read_pixel_blocks_avx2(const char **pp, const char *end, char sep, T *out,
                                           uint64_t cap, uint64_t *np, uint32_t *mx,
                                           uint32_t limit) {
    const char *start = *pp;
    const __m256i sepv = _mm256_set1_epi8(sep), zero = _mm256_set1_epi8('0'),
                  nine = _mm256_set1_epi8(9);
    // Words wait for numbers_out_avx2 in batches; a block adds at most 32.
    enum {
        BATCH = 128
    };
    uint64_t words[BATCH + 32];
    size_t k = 0;
    bool bad = false;
    for (const char *q = start; end - q >= 40; q += 32) {
        __m256i v = _mm256_loadu_si256((const __m256i *)q);
        __m256i d = _mm256_sub_epi8(v, zero);
        uint32_t digits =
            (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(d, nine), d));
        uint32_t seps = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, sepv));
        if ((digits | seps) != 0xFFFFFFFFu)
            break;  // something else: the next reader reads (or refuses) it
        block_words_avx2(q, seps, &start, words, &k, &bad);
        if (q + 32 - start > 6)
            return false;  // a number of more than six digits
        if (k >= BATCH) {
            if (!words_out_avx2(words, k, out, cap, np, limit, mx, bad))
                return false;
            k = 0;
        }
    }
    if (!words_out_avx2(words, k, out, cap, np, limit, mx, bad))
        return false;
    *pp = start;
    return true;
}

// Whether the CPU runs AVX2 (and the BMI the reader's bit scans use):
// asked once.
static bool cpu_has_avx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("bmi2");
    }();
    return yes;
}
// ---- AVX-512: 64-byte blocks, eight numbers at a time -----------------------------

#define AVX512_FN                                                                                  \
    __attribute__((target("avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi,"             \
                          "avx512vbmi2")))

// Per byte of a 64-byte register: its place (iota), the place before it
// (0 for the first), and, seen as eight words, its word j and its offset
// from the end of its word (-8..-1).
struct BlockIndex {
    alignas(64) int8_t iota[64], before[64], word[64], offset[64];
};
static const BlockIndex block_index = [] {
    BlockIndex b;
    for (int i = 0; i < 64; i++) {
        b.iota[i] = (int8_t)i;
        b.before[i] = (int8_t)(i == 0 ? 0 : i - 1);
        b.word[i] = (int8_t)(i / 8);
        b.offset[i] = (int8_t)(i % 8 - 8);
    }
    return b;
}();

// Eight words of digits (the last digit in the top byte) into their
// numbers: digit pairs, fours, then the two fours of each word. (The
// unmasked forms of some of these intrinsics trip GCC 12's uninitialized
// warning inside its own header; the zero-masked forms with every lane
// selected are the same instructions.)
AVX512_FN static inline __m256i words_to_numbers_avx512(__m512i w) {
    const __mmask8 all = 0xFF;
    __m512i fours = _mm512_madd_epi16(_mm512_maddubs_epi16(w, _mm512_set1_epi16(0x010A)),
                                      _mm512_set1_epi32(0x00010064));
    __m512i eights = _mm512_add_epi64(_mm512_maskz_mul_epu32(all, fours, _mm512_set1_epi64(10000)),
                                      _mm512_maskz_srli_epi64(all, fours, 32));
    return _mm512_maskz_cvtepi64_epi32(all, eights);
}

// The `lanes` of eight numbers as pixels at out (a masked store: nothing
// beyond them is touched; values over the type are refused by the caller).
AVX512_FN static inline void store_lanes(uint16_t *out, __mmask8 lanes, __m256i v) {
    _mm_mask_storeu_epi16(out, lanes, _mm256_maskz_cvtusepi32_epi16(0xFF, v));
}
AVX512_FN static inline void store_lanes(uint8_t *out, __mmask8 lanes, __m256i v) {
    _mm_mask_storeu_epi8(out, lanes, _mm256_maskz_cvtusepi32_epi8(0xFF, v));
}

// read_pixel_blocks_sse2 64 bytes at a time, the blocks following each
// other at a fixed stride (no block waits for the one before it to be
// parsed). The separators' places are packed together (compress); with
// the place of the separator before each (in the previous block for the
// first, at 63 of an empty one for the list's first number) every
// number's length is checked at once, and number j's word takes the eight
// bytes before its separator from this block and the previous one, those
// at or before the separator before zeroed (a masked two-register byte
// permute). Places run 0..127 over the previous block and this one.
// What the block reader keeps from block to block.
struct Avx512Run {
    __m256i lim, maxv;  // the pixel limit, the largest pixel so far
    __mmask8 over;      // lanes that held a pixel over the limit
};

// The `cnt` numbers that end in one block of digits `d` (the previous
// block's `prev`), whose separators are `seps` and the previous block's
// last one at `prev_sep`: their lengths checked, joined, stored at
// out[n..] (when out) and counted into `r`. Returns false when a number
// is empty or longer than six digits.
template <typename T>
AVX512_FN static inline bool block_numbers_avx512(__m512i d, __m512i prev, __mmask64 seps,
                                                  unsigned cnt, unsigned prev_sep, T *out,
                                                  uint64_t n, Avx512Run &r) {
    const BlockIndex &bi = block_index;
    const __m512i iota = _mm512_load_si512(bi.iota), before = _mm512_load_si512(bi.before),
                  word = _mm512_load_si512(bi.word), offset = _mm512_load_si512(bi.offset);
    __m512i ends = _mm512_add_epi8(_mm512_maskz_compress_epi8(seps, iota), _mm512_set1_epi8(64));
    __m512i starts =
        _mm512_mask_permutexvar_epi8(_mm512_set1_epi8((char)prev_sep), ~1ull, before, ends);
    // A separator follows its number's 1 to 6 digits: 2 to 7 places on.
    __m512i gap = _mm512_sub_epi8(_mm512_sub_epi8(ends, starts), _mm512_set1_epi8(2));
    if (_mm512_mask_cmpgt_epu8_mask(_bzhi_u64(~0ull, cnt), gap, _mm512_set1_epi8(5)))
        return false;
    for (unsigned g = 0; g < cnt; g += 8) {
        __m512i wj = _mm512_add_epi8(word, _mm512_set1_epi8((char)g));
        __m512i e = _mm512_maskz_permutexvar_epi8(~0ull, wj, ends);
        __m512i s = _mm512_maskz_permutexvar_epi8(~0ull, wj, starts);
        __m512i from = _mm512_add_epi8(e, offset);
        __m512i words =
            _mm512_maskz_permutex2var_epi8(_mm512_cmpgt_epi8_mask(from, s), prev, from, d);
        __m256i nums = words_to_numbers_avx512(words);
        __mmask8 lanes = (__mmask8)_bzhi_u32(0xFF, cnt - g);
        r.over |= _mm256_mask_cmpgt_epu32_mask(lanes, nums, r.lim);
        r.maxv = _mm256_mask_max_epu32(r.maxv, lanes, r.maxv, nums);
        if (out)
            store_lanes(out + n + g, lanes, nums);
    }
    return true;
}

template <typename T>
AVX512_FN static bool read_pixel_blocks_avx512(const char **pp, const char *end, char sep, T *out,
                                               uint64_t cap, uint64_t *np, uint32_t *mx,
                                               uint32_t limit) {
    const __m512i sepv = _mm512_set1_epi8(sep), zero = _mm512_set1_epi8('0'),
                  nine = _mm512_set1_epi8(9);
    Avx512Run r{_mm256_set1_epi32((int)limit), _mm256_setzero_si256(), 0};
    __m512i prev = _mm512_setzero_si512();
    unsigned prev_sep = 63;  // the list starts at the block's first byte
    const char *start = *pp;
    uint64_t n = *np;
    for (const char *q = start; end - q >= 64; q += 64) {
        __m512i v = _mm512_loadu_si512((const void *)q);
        __m512i d = _mm512_sub_epi8(v, zero);
        __mmask64 seps = _mm512_cmpeq_epi8_mask(v, sepv);
        if ((seps | _mm512_cmple_epu8_mask(d, nine)) != ~0ull)
            break;  // something else: the next reader reads (or refuses) it
        if (seps == 0)
            return false;  // 64 digits in a row
        unsigned cnt = (unsigned)__builtin_popcountll(seps);
        if ((out && n + cnt > cap) ||
            !block_numbers_avx512(d, prev, seps, cnt, prev_sep, out, n, r))
            return false;
        n += cnt;
        prev_sep = 63 - (unsigned)__builtin_clzll(seps);
        start = q + prev_sep + 1;
        prev = d;
    }
    if (r.over)
        return false;
    uint32_t m[8];
    _mm256_storeu_si256((__m256i *)m, r.maxv);
    for (int j = 0; j < 8; j++)
        *mx = m[j] > *mx ? m[j] : *mx;
    *np = n;
    *pp = start;
    return true;
}

// Whether the CPU runs the AVX-512 reader: asked once.
static bool cpu_has_avx512() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
               __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("popcnt") &&
               __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    }();
    return yes;
}
#else
static bool cpu_has_avx2() {
    return false;
}
static bool cpu_has_avx512() {
    return false;
}
#endif

bool pixel_blocks_available(PixelBlocks blocks) {
    return blocks == PIXEL_BLOCKS_AVX2     ? cpu_has_avx2()
           : blocks == PIXEL_BLOCKS_AVX512 ? cpu_has_avx512()
                                           : true;
}

// The bulk of a list by the chosen block reader. Each reader stops where
// its reach ends (or at anything unusual) and the next narrower one goes
// on from there: AVX-512, AVX2, SSE2.
template <typename T>
static bool read_pixel_blocks(PixelBlocks blocks, const char **pp, const char *end, char sep,
                              T *out, uint64_t cap, uint64_t *np, uint32_t *mx, uint32_t limit) {
#ifdef KORVEL_PIXELS_AVX2
    const bool widest = blocks == PIXEL_BLOCKS_BEST || blocks == PIXEL_BLOCKS_AVX512;
    if (widest && cpu_has_avx512() &&
        !read_pixel_blocks_avx512(pp, end, sep, out, cap, np, mx, limit))
        return false;
    if (blocks != PIXEL_BLOCKS_SSE2 && cpu_has_avx2() &&
        !read_pixel_blocks_avx2(pp, end, sep, out, cap, np, mx, limit))
        return false;
#else
    (void)blocks;
#endif
    return read_pixel_blocks_sse2(pp, end, sep, out, cap, np, mx, limit);
}

// Pixel numbers from [p, end), each followed by `sep` except (when
// !sep_after_last) the last one. The hot loop of the converter: one pass,
// no allocation; the bulk goes through read_pixel_blocks.
template <typename T>
bool pixels_read_with(PixelBlocks blocks, const char *p, const char *end, char sep,
                      bool sep_after_last, T *out, uint64_t cap, uint64_t *npix, uint64_t *maxval) {
    uint64_t n = 0;
    uint32_t mx = 0;
    const uint32_t limit = pixel_limit(out);
    if (!read_pixel_blocks(blocks, &p, end, sep, out, cap, &n, &mx, limit))
        return false;
    while (p < end) {
        unsigned len;
        uint32_t v = end - p >= 8 ? swar_number(p, &len) : scalar_number(p, &len);
        p += len;
        if (len == 0 || p > end || !put_pixel(out, n, cap, v, limit, &mx))
            return false;
        n++;
        if (p == end)
            break;
        if (*p != sep || (++p == end && !sep_after_last))
            return false;
    }
    if (sep_after_last && n > 0 && end[-1] != sep)
        return false;
    *npix = n;
    *maxval = mx;
    return true;
}

// The digits at p, one byte at a time, not beyond `limit`: *len gets
// their count, 0 when there is none or more than six.
static inline uint32_t bounded_number(const char *p, const char *limit, unsigned *len) {
    uint32_t v = 0;
    unsigned n = 0, d;
    while (p + n < limit && n < 7 && (d = (unsigned)(p[n] - '0')) < 10u) {
        v = v * 10 + d;
        n++;
    }
    *len = n > 6 ? 0 : n;
    return v;
}

// Pixel numbers from p on, separated by single blanks, read until the
// first byte that is neither a digit nor a blank (at most `limit`): the
// grammar of read_pixels without a trailing separator, but the list's end
// is found by the reading itself. Returns the position of that byte, or
// null when a number is empty, too long or does not fit.
template <typename T>
const char *pixels_read_open_with(PixelBlocks blocks, const char *p, const char *limit, T *out,
                                  uint64_t cap, uint64_t *npix, uint64_t *maxval) {
    uint64_t n = 0;
    uint32_t mx = 0;
    const uint32_t limit_v = pixel_limit(out);
    if (!read_pixel_blocks(blocks, &p, limit, ' ', out, cap, &n, &mx, limit_v))
        return nullptr;
    for (;;) {
        unsigned len;
        uint32_t v = limit - p >= 8 ? swar_number(p, &len) : bounded_number(p, limit, &len);
        if (len == 0 || !put_pixel(out, n, cap, v, limit_v, &mx))
            return nullptr;
        n++;
        p += len;
        if (p == limit || *p != ' ')
            break;
        p++;
    }
    *npix = n;
    *maxval = mx;
    return p;
}

template <typename T>
bool pixels_read(const char *p, const char *end, char sep, bool sep_after_last, T *out,
                 uint64_t cap, uint64_t *npix, uint64_t *maxval) {
    return pixels_read_with(PIXEL_BLOCKS_BEST, p, end, sep, sep_after_last, out, cap, npix, maxval);
}

template <typename T>
const char *pixels_read_open(const char *p, const char *limit, T *out, uint64_t cap, uint64_t *npix,
                             uint64_t *maxval) {
    return pixels_read_open_with(PIXEL_BLOCKS_BEST, p, limit, out, cap, npix, maxval);
}

// ---- The portable reader ----------------------------------------------------------

template <typename T>
bool pixels_read_portable(const char *p, const char *end, char sep, bool sep_after_last, T *out,
                          uint64_t cap, uint64_t *npix, uint64_t *maxval) {
    uint64_t n = 0;
    uint32_t mx = 0;
    while (p < end) {
        uint32_t v = 0;
        unsigned len = 0;
        for (; p < end && *p >= '0' && *p <= '9' && len < 7; p++, len++)
            v = v * 10 + (uint32_t)(*p - '0');
        if (len == 0 || len > 6 || v > pixel_limit(out) || (out && n >= cap))
            return false;
        if (out)
            out[n] = (T)v;
        mx = v > mx ? v : mx;
        n++;
        if (p == end && sep_after_last)
            return false;  // the last pixel's separator is missing
        if (p == end)
            break;
        if (*p++ != sep || (p == end && !sep_after_last))
            return false;
    }
    *npix = n;
    *maxval = mx;
    return true;
}

// The readers for both pixel depths.
#define PIXEL_READERS(T)                                                                           \
    template bool pixels_read(const char *, const char *, char, bool, T *, uint64_t, uint64_t *,   \
                              uint64_t *);                                                         \
    template bool pixels_read_with(PixelBlocks, const char *, const char *, char, bool, T *,       \
                                   uint64_t, uint64_t *, uint64_t *);                              \
    template const char *pixels_read_open_with(PixelBlocks, const char *, const char *, T *,       \
                                               uint64_t, uint64_t *, uint64_t *);                  \
    template bool pixels_read_portable(const char *, const char *, char, bool, T *, uint64_t,      \
                                       uint64_t *, uint64_t *);                                    \
    template const char *pixels_read_open(const char *, const char *, T *, uint64_t, uint64_t *,   \
                                          uint64_t *);
PIXEL_READERS(uint8_t)
PIXEL_READERS(uint16_t)
