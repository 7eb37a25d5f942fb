// unit_format.cc - the table's number formatting gives exactly the bytes
// of the printf conversions it replaces, over a large sample of floats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "korvel_format.h"

namespace {

float from_bits(uint32_t b) {
    float f;
    memcpy(&f, &b, sizeof f);
    return f;
}

// Bit patterns that matter: zeros, subnormals, the normal range edges,
// integers, halves that round either way, infinities and NaNs of both
// signs; then random patterns over the whole 32-bit range.
std::vector<float> sample_floats() {
    std::vector<float> v;
    const uint32_t special[] = {0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007fffffu,
                                0x00800000u, 0x7f7fffffu, 0xff7fffffu, 0x7f800000u, 0xff800000u,
                                0x7fc00000u, 0xffc00000u, 0x7f800001u, 0xffffffffu, 0x3f800000u,
                                0xbf800000u, 0x3f000000u, 0x40490fdbu};
    for (uint32_t b : special)
        v.push_back(from_bits(b));
    const float values[] = {0.5f,   0.25f,  1.0f,  3.25f,        0.000123f,  1.5f,       -2.0f,
                            100.0f, 300.0f, 7.0f,  0.0000005f,   0.0000015f, 0.0000025f, 9.5f,
                            99.5f,  0.125f, 1e-7f, 123456789.0f, 2.5f,       0.05f};
    for (float f : values) {
        v.push_back(f);
        v.push_back(-f);
    }
    std::mt19937 rng(20261208);
    for (int k = 0; k < 200000; k++)
        v.push_back(from_bits(rng()));
    // Moderate magnitudes, where "%f" and "%.2e" round in their digits.
    std::uniform_real_distribution<float> moderate(-1000.0f, 1000.0f);
    for (int k = 0; k < 50000; k++)
        v.push_back(moderate(rng));
    return v;
}

std::string with_printf(const char *format, double d) {
    char buf[512];
    int n = snprintf(buf, sizeof buf, format, d);
    return std::string(buf, (size_t)n);
}

std::string with_plugin(char *(*fmt)(char *, float), float f) {
    char buf[FMT_MAX + 8];
    char *e = fmt(buf, f);
    EXPECT_LE(e - buf, FMT_MAX);
    return std::string(buf, e);
}

template <int P>
char *exp_with(char *p, float f) {
    return fmt_exp(p, f, P);
}

void expect_same_over_sample(const char *format, char *(*fmt)(char *, float)) {
    int mismatches = 0;
    for (float f : sample_floats()) {
        std::string want = with_printf(format, (double)f);
        std::string got = with_plugin(fmt, f);
        if (want != got && ++mismatches <= 5)
            ADD_FAILURE() << format << " of bits 0x" << std::hex << (uint32_t)float_bits(f)
                          << ": printf gives \"" << want << "\", plugin \"" << got << "\"";
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(NumberFormat, FixedMatchesPrintfF) {
    expect_same_over_sample("%f", fmt_fixed);
}
TEST(NumberFormat, TwoDigitExponentMatchesPrintf) {
    expect_same_over_sample("%.2e", exp_with<2>);
}
TEST(NumberFormat, SixDigitExponentMatchesPrintfE) {
    expect_same_over_sample("%e", exp_with<6>);
}
TEST(NumberFormat, NoDigitExponentMatchesPrintf) {
    expect_same_over_sample("%.e", exp_with<0>);
}

// Floats around every place where an exponent form changes its output:
// each decimal exponent's rounding boundaries (d - 0.5) * 10^e and
// powers of ten, for "%.e", and the first and last floats of every binade
// (subnormals included), a few units in the last place to either side.
std::vector<float> boundary_floats() {
    std::vector<float> v;
    auto around = [&v](double x) {
        if (!(x < 3.4e38) || x < 1e-46)
            return;
        uint32_t b = (uint32_t)float_bits((float)x);
        for (uint32_t k = b > 4 ? b - 4 : 0; k <= b + 4 && k < 0x7f800000u; k++) {
            v.push_back(from_bits(k));
            v.push_back(-from_bits(k));
        }
    };
    for (int e = -46; e <= 39; e++) {
        double p10 = std::pow(10.0, e);
        around(p10);
        for (int d = 1; d <= 9; d++)
            around((d + 0.5) * p10);
    }
    for (uint32_t b = 0; b < 0x7f800000u; b += 0x00800000u) {
        for (uint32_t k = 0; k < 4; k++) {
            v.push_back(from_bits(b + k));
            v.push_back(from_bits(b + 0x007fffffu - k));
        }
    }
    for (uint32_t k = 1; k < 0x00800000u; k <<= 1) {  // subnormal binades
        v.push_back(from_bits(k));
        v.push_back(from_bits(k + 1));
        v.push_back(from_bits(2 * k - 1));
    }
    return v;
}

// Integers (spectrum counts) and binary fractions k / 2^m, where the
// exact ties lie: 15, 1125 or 10000005 are halfway in one of the forms.
std::vector<float> exact_numbers() {
    std::vector<float> v;
    for (int k = 0; k <= 100000; k++)
        v.push_back((float)k);
    for (int k = 10000000; k <= 10001000; k++)
        v.push_back((float)k);
    for (int m = 1; m <= 30; m++)
        for (int k = 1; k < 2048; k += 2)
            v.push_back(std::ldexp((float)k, -m));
    return v;
}

void expect_same_over(const std::vector<float> &values, const char *format,
                      char *(*fmt)(char *, float)) {
    int mismatches = 0;
    for (float f : values) {
        std::string want = with_printf(format, (double)f);
        std::string got = with_plugin(fmt, f);
        if (want != got && ++mismatches <= 5)
            ADD_FAILURE() << format << " of bits 0x" << std::hex << (uint32_t)float_bits(f)
                          << ": printf gives \"" << want << "\", plugin \"" << got << "\"";
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(NumberFormat, ExponentFormsMatchPrintfAtEveryBoundary) {
    std::vector<float> v = boundary_floats();
    expect_same_over(v, "%.e", exp_with<0>);
    expect_same_over(v, "%.2e", exp_with<2>);
    expect_same_over(v, "%e", exp_with<6>);
}

TEST(NumberFormat, ExponentFormsMatchPrintfOnIntegersAndBinaryFractions) {
    std::vector<float> v = exact_numbers();
    expect_same_over(v, "%.e", exp_with<0>);
    expect_same_over(v, "%.2e", exp_with<2>);
    expect_same_over(v, "%e", exp_with<6>);
}

// Just above and below a halfway point the other way goes: 1.5 and the
// floats next to it, 0.000123 of the name-value example.
TEST(NumberFormat, NeighboursOfHalvesRoundAway) {
    EXPECT_EQ(with_plugin(exp_with<0>, std::nextafter(2.5f, 3.0f)), "3e+00");
    EXPECT_EQ(with_plugin(exp_with<0>, std::nextafter(3.5f, 3.0f)), "3e+00");
    EXPECT_EQ(with_plugin(exp_with<0>, std::nextafter(9.5f, 9.0f)), "9e+00");
    EXPECT_EQ(with_plugin(exp_with<2>, 0.000123f), "1.23e-04");
    EXPECT_EQ(with_plugin(exp_with<2>, std::nextafter(1125.0f, 2000.0f)), "1.13e+03");
}

TEST(NumberFormat, ZerosKeepTheirSign) {
    EXPECT_EQ(with_plugin(exp_with<0>, 0.0f), "0e+00");
    EXPECT_EQ(with_plugin(exp_with<0>, -0.0f), "-0e+00");
    EXPECT_EQ(with_plugin(exp_with<2>, -0.0f), "-0.00e+00");
    EXPECT_EQ(with_plugin(exp_with<6>, 0.0f), "0.000000e+00");
}

TEST(NumberFormat, InfinitiesAndNansAreSpelledAsPrintfDoes) {
    EXPECT_EQ(with_plugin(fmt_fixed, from_bits(0x7f800000u)), "inf");
    EXPECT_EQ(with_plugin(fmt_fixed, from_bits(0xff800000u)), "-inf");
    EXPECT_EQ(with_plugin(fmt_fixed, from_bits(0x7fc00000u)), "nan");
    EXPECT_EQ(with_plugin(fmt_fixed, from_bits(0xffc00000u)), "-nan");
    EXPECT_EQ(with_plugin(exp_with<0>, from_bits(0xff800000u)), "-inf");
}

// A value exactly halfway between two outputs rounds to the even digit,
// as printf rounds the exact binary value: 2.5 lies between 2 and 3, 9.5
// between 9 and 10 (written 1e+01), 0.0078125 between 0.007812 and
// 0.007813. The same in each form, worked out by hand: the digit before
// the 5 decides (15 = 1.5e+01 goes up to 2, 25 = 2.5e+01 stays at 2; 1125
// is 1.12|5e+03, 10000005 is 1.000000|5e+07, 2^-11 is 4.882812|5e-04).
TEST(NumberFormat, ExactHalvesRoundToEven) {
    EXPECT_EQ(with_plugin(exp_with<0>, 15.0f), "2e+01");
    EXPECT_EQ(with_plugin(exp_with<0>, 25.0f), "2e+01");
    EXPECT_EQ(with_plugin(exp_with<0>, 35.0f), "4e+01");
    EXPECT_EQ(with_plugin(exp_with<0>, -150.0f), "-2e+02");
    EXPECT_EQ(with_plugin(exp_with<0>, 95.0f), "1e+02");
    EXPECT_EQ(with_plugin(exp_with<0>, 0.125f), "1e-01");
    EXPECT_EQ(with_plugin(exp_with<2>, 1125.0f), "1.12e+03");
    EXPECT_EQ(with_plugin(exp_with<2>, 1135.0f), "1.14e+03");
    EXPECT_EQ(with_plugin(exp_with<2>, -99950.0f), "-1.00e+05");
    EXPECT_EQ(with_plugin(exp_with<6>, 10000005.0f), "1.000000e+07");
    EXPECT_EQ(with_plugin(exp_with<6>, 10000015.0f), "1.000002e+07");
    EXPECT_EQ(with_plugin(exp_with<6>, 0.00048828125f), "4.882812e-04");
    EXPECT_EQ(with_plugin(exp_with<0>, 2.5f), "2e+00");
    EXPECT_EQ(with_plugin(exp_with<0>, 3.5f), "4e+00");
    EXPECT_EQ(with_plugin(exp_with<0>, 0.25f), "2e-01");
    EXPECT_EQ(with_plugin(exp_with<0>, -0.75f), "-8e-01");
    EXPECT_EQ(with_plugin(exp_with<0>, 9.5f), "1e+01");
    EXPECT_EQ(with_plugin(exp_with<0>, 250.0f), "2e+02");
    EXPECT_EQ(with_plugin(exp_with<0>, 350.0f), "4e+02");
    EXPECT_EQ(with_plugin(exp_with<2>, 1.125f), "1.12e+00");
    EXPECT_EQ(with_plugin(exp_with<2>, 1.375f), "1.38e+00");
    EXPECT_EQ(with_plugin(fmt_fixed, 0.0078125f), "0.007812");
    EXPECT_EQ(with_plugin(fmt_fixed, -0.0234375f), "-0.023438");
}

// The smallest and largest magnitudes, with every precision the table uses.
TEST(NumberFormat, ExtremeMagnitudes) {
    EXPECT_EQ(with_plugin(exp_with<0>, from_bits(0x00000001u)), "1e-45");
    EXPECT_EQ(with_plugin(exp_with<2>, from_bits(0x00000001u)), "1.40e-45");
    EXPECT_EQ(with_plugin(exp_with<6>, from_bits(0x00000001u)), "1.401298e-45");
    EXPECT_EQ(with_plugin(exp_with<0>, from_bits(0x7f7fffffu)), "3e+38");
    EXPECT_EQ(with_plugin(exp_with<6>, from_bits(0x7f7fffffu)), "3.402823e+38");
    EXPECT_EQ(with_plugin(fmt_fixed, from_bits(0x00000001u)), "0.000000");
    EXPECT_EQ(with_plugin(fmt_fixed, from_bits(0x80000001u)), "-0.000000");
    EXPECT_EQ(with_plugin(fmt_fixed, 16777216.0f), "16777216.000000");
}

TEST(NumberFormat, IntegersAndStatusWordsMatchPrintf) {
    std::vector<int> ints = {0,          1,  -1,      9, 10, 255, 256, 2147483647, -2147483647 - 1,
                             1065353216, 42, -8388608};
    std::mt19937 rng(7);
    for (int k = 0; k < 100000; k++)
        ints.push_back((int)rng());
    for (int v : ints) {
        char buf[FMT_MAX], want[64];
        snprintf(want, sizeof want, "%d", v);
        EXPECT_EQ(std::string(buf, fmt_int(buf, v)), want);
        snprintf(want, sizeof want, "0x%X", (unsigned)v);
        EXPECT_EQ(std::string(buf, fmt_hex(buf, v)), want);
    }
}

TEST(NumberFormat, HexStatusWordsOfTheTable) {
    char buf[FMT_MAX];
    EXPECT_EQ(std::string(buf, fmt_hex(buf, 0)), "0x0");
    EXPECT_EQ(std::string(buf, fmt_hex(buf, 255)), "0xFF");
    EXPECT_EQ(std::string(buf, fmt_hex(buf, -1)), "0xFFFFFFFF");
}

TEST(NumberFormat, FloatValidityFollowsTheExponentBits) {
    EXPECT_TRUE(float_invalid(from_bits(0x7f800000u)));
    EXPECT_TRUE(float_invalid(from_bits(0xffc00001u)));
    EXPECT_FALSE(float_invalid(from_bits(0x7f7fffffu)));
    EXPECT_FALSE(float_invalid(-0.0f));
    // The integer patterns -8388608 and 2139095040 are -inf and +inf.
    EXPECT_TRUE(float_invalid(from_bits((uint32_t)-8388608)));
    EXPECT_TRUE(float_invalid(from_bits(2139095040u)));
    EXPECT_FALSE(float_invalid(from_bits(2139095039u)));
}

// Every 16-bit value's pixel text is its "%d" followed by the separator.
TEST(PixelTexts, EveryValueMatchesPrintf) {
    const pixel_text *tab = pixel_texts_tab();
    const pixel_text *blank = pixel_texts_blank();
    ASSERT_NE(tab, nullptr);
    ASSERT_NE(blank, nullptr);
    for (int v = 0; v < 65536; v++) {
        char want[16];
        int n = snprintf(want, sizeof want, "%d\t", v);
        ASSERT_EQ(std::string(tab[v].s, tab[v].n), std::string(want, (size_t)n));
        n = snprintf(want, sizeof want, " %d", v);
        ASSERT_EQ(std::string(blank[v].s, blank[v].n), std::string(want, (size_t)n));
    }
}

}  // namespace
