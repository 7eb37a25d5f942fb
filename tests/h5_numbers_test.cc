// h5_numbers_test.cc - korvel-h5's number reader that finds a number's end
// while reading it (number_at) against from_chars on the delimited text
// (parse_number_exact), value for value and bit for bit, on the texts the
// plug-in prints for random floats, on edges and on random garbage.
#include "h5_converter.h"
#include "h5_numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

uint32_t bits_of(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof u);
    return u;
}

float float_of(uint32_t u) {
    float f;
    memcpy(&f, &u, sizeof f);
    return f;
}

std::string printed(const char *format, float v) {
    char buf[80];
    snprintf(buf, sizeof buf, format, (double)v);
    return buf;
}

const unsigned ALL_FORMS[] = {FORMS_VALUE, FORMS_ITEM, FORMS_SPECTRUM, FORMS_STAT};

// Every way `text` can be read agrees with parse_number_exact: number_at
// with any byte after the text (where it stops short of the text's end,
// the shorter text), and parse_number on the text with and without it.
void expect_same_reading(const std::string &text) {
    for (unsigned forms : ALL_FORMS) {
        float want = 0, got = 0;
        bool want_int = false, got_int = false;
        const char *b = text.data(), *e = b + text.size();
        bool ok = parse_number_exact(b, e, forms, &want, &want_int);
        ASSERT_EQ(parse_number(b, e, forms, &got, &got_int), ok) << text;
        if (ok) {
            ASSERT_EQ(bits_of(got), bits_of(want)) << text;
            ASSERT_EQ(got_int, want_int) << text;
        }
        for (const char *after : {"", "]", " ", "\t", "]]", "x", "5", "e", "."}) {
            std::string s = text + after;
            bool ok_after =
                parse_number_exact(s.data(), s.data() + s.size(), forms, &want, &want_int);
            ASSERT_EQ(parse_number(s.data(), s.data() + s.size(), forms, &got, &got_int), ok_after)
                << s;
            if (ok_after) {
                ASSERT_EQ(bits_of(got), bits_of(want)) << s;
            }
            const char *q = number_at(s.data(), s.data() + s.size(), forms, &got, &got_int);
            if (!q)
                continue;
            ASSERT_TRUE(parse_number_exact(s.data(), q, forms, &want, &want_int))
                << s << " read up to " << (q - s.data());
            ASSERT_EQ(bits_of(got), bits_of(want)) << s;
            ASSERT_EQ(got_int, want_int) << s;
        }
    }
}

// Printed as the plug-in prints them ("%f" single values, "%.2e" items,
// "%e" statistics, "%.e" spectrum values), the texts of random floats of
// every magnitude (random bit patterns: denormals, huge values, zeros of
// both signs) and of floats near the edges of the exact computation.
TEST(NumberAt, PrintedFloatsReadAsFromCharsReadsThem) {
    std::mt19937 rng(23);
    std::vector<float> values = {
        0.0f,       -0.0f,       1.0f,          -1.0f,          0.1f,
        1e-10f,     1e-12f,      1e-13f,        9.999999e9f,    1.7e9f,
        8388607.5f, 16777217.0f, 3.4028235e38f, -3.4028235e38f, 1.17549435e-38f,
        1.4e-45f,   2.9e-45f,    1e-40f,        123456.789f};
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 20000; i++) {
        values.push_back(float_of((uint32_t)rng()));
        // Values of ordinary size, where the computation is exact.
        values.push_back(std::ldexp(unit(rng), (int)(rng() % 80) - 40) *
                         (rng() % 2 ? 1.0f : -1.0f));
    }
    for (float v : values) {
        if (std::isnan(v))
            continue;
        for (const char *format : {"%f", "%.2e", "%e", "%.e"})
            expect_same_reading(printed(format, v));
    }
}

// Texts the plug-in does not print, or prints only rarely: signs,
// exponents of any length, too many digits, the special forms, garbage.
TEST(NumberAt, EdgesAndGarbageReadAsFromCharsReadsThem) {
    std::vector<std::string> texts = {"",
                                      "-",
                                      "0",
                                      "-0",
                                      "00",
                                      "0.",
                                      ".5",
                                      "-.5",
                                      "5.",
                                      "1e5",
                                      "1e+5",
                                      "1e+05",
                                      "1e-05",
                                      "12e+05",
                                      "5.e+01",
                                      "1.0e+00",
                                      "1.5E5",
                                      "1.5e",
                                      "1.5e+",
                                      "1.5e+x",
                                      "+1.5",
                                      "--1",
                                      "1.5.5",
                                      "1..5",
                                      "1.5e+05.3",
                                      "1e+0005",
                                      "1e+00005",
                                      "1.00e+38",
                                      "3.41e+38",
                                      "1.00e+39",
                                      "1.00e-45",
                                      "1.40e-45",
                                      "7.00e-46",
                                      "1.00e-46",
                                      "1.18e-38",
                                      "0.000000",
                                      "-0.000000",
                                      "0.00e+00",
                                      "-0.00e+00",
                                      "0e+9999",
                                      "0e-99",
                                      "0e+100",
                                      "2147483647",
                                      "-2147483648",
                                      "2147483648",
                                      "-2147483649",
                                      "0000000001",
                                      "00000000001",
                                      "12345678901234567890",
                                      "1234567890123456789.0",
                                      "123456789012345678.0",
                                      "0.1234567890123456789",
                                      "9007199254740993.000000",
                                      "9007199254740992.000000",
                                      "16777217.000000",
                                      "0.000000000000000000001e+10",
                                      "inf",
                                      "-inf",
                                      "nan",
                                      "-nan",
                                      "Invalid",
                                      "infinity",
                                      "nan(1)",
                                      "0x1p3",
                                      "1e+1x",
                                      "1,5",
                                      " 1",
                                      "1 ",
                                      "1\t",
                                      "١",
                                      "Inf",
                                      "INF",
                                      "NaN",
                                      "-Invalid",
                                      "I",
                                      "x:1.00e+00",
                                      "e5",
                                      "-.5e+01"};
    std::mt19937 rng(5);
    const char alphabet[] = "0123456789-+.eE x]";
    for (int i = 0; i < 30000; i++) {
        // Random number-like texts: mostly digits with a sign, a point
        // and an exponent here and there, and now and then another byte.
        std::string t;
        size_t n = 1 + rng() % 24;
        for (size_t j = 0; j < n; j++)
            t += rng() % 4 ? (char)('0' + rng() % 10) : alphabet[rng() % (sizeof alphabet - 1)];
        texts.push_back(t);
        // Well-shaped texts of random length: -?D+(.D+)?(e[+-]D+)?
        std::string w = rng() % 2 ? "-" : "";
        for (size_t j = 1 + rng() % 21; j > 0; j--)
            w += (char)('0' + rng() % 10);
        if (rng() % 2) {
            w += '.';
            for (size_t j = 1 + rng() % 12; j > 0; j--)
                w += (char)('0' + rng() % 10);
        }
        if (rng() % 2) {
            w += rng() % 2 ? "e+" : "e-";
            for (size_t j = 1 + rng() % 4; j > 0; j--)
                w += (char)('0' + rng() % 10);
        }
        texts.push_back(w);
    }
    for (const std::string &t : texts)
        expect_same_reading(t);
}

// The decimal texts from_chars reads are also what strtof reads (both
// round to the nearest float): the reference itself is checked once.
TEST(NumberAt, TheReferenceAgreesWithStrtof) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; i++) {
        float v = float_of((uint32_t)rng());
        if (!std::isfinite(v))
            continue;
        for (const char *format : {"%f", "%.2e", "%e"}) {
            std::string t = printed(format, v);
            float got;
            bool intf;
            unsigned forms = FORM_FIXED | FORM_EXP_POINT;
            if (!parse_number_exact(t.data(), t.data() + t.size(), forms, &got, &intf))
                continue;  // out of range: a "%.2e" rounded up past FLT_MAX, a tiny denormal
            ASSERT_EQ(bits_of(got), bits_of(strtof(t.c_str(), nullptr))) << t;
        }
    }
}

// The texts the plug-in writes most are read by number_at itself, up to
// the byte after them; the values are worked out by hand.
TEST(NumberAt, CommonTextsAreReadWithTheirEnd) {
    struct Case {
        const char *text;
        unsigned forms;
        float value;
        bool int_form;
    } cases[] = {
        {"0.500000]", FORMS_VALUE, 0.5f, false},
        {"-12.250000]", FORMS_VALUE, -12.25f, false},
        {"8999999488.000000]", FORMS_VALUE, 8999999488.0f, false},
        {"0.000001]", FORMS_VALUE, 1e-6f, false},
        {"1.23e-04]", FORMS_ITEM, 1.23e-4f, false},
        {"-2.50e-01]", FORMS_ITEM, -0.25f, false},
        {"1.00e-10]", FORMS_ITEM, 1e-10f, false},
        {"9.22e+18]", FORMS_ITEM, 9.22e18f, false},
        {"6.55e+04 ", FORMS_STAT, 65500.0f, false},
        {"1.234567e-06 ", FORMS_STAT, 1.234567e-6f, false},
        {"5e-01 ", FORMS_SPECTRUM, 0.5f, false},
        {"1065353216]", FORMS_VALUE, 1.0f, true},
        {"-1082130432 ", FORMS_ITEM, -1.0f, true},
    };
    for (const Case &c : cases) {
        size_t len = strlen(c.text);
        float v;
        bool intf;
        const char *q = number_at(c.text, c.text + len, c.forms, &v, &intf);
        ASSERT_EQ(q, c.text + len - 1) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(intf, c.int_form) << c.text;
    }
    float v;
    bool intf;
    const char *negzero = "-0.000000";
    ASSERT_EQ(number_at(negzero, negzero + 9, FORMS_VALUE, &v, &intf), negzero + 9);
    EXPECT_TRUE(std::signbit(v) && v == 0.0f);
    // A form the kind does not write is left to the caller.
    const char *fixed = "0.500000";
    EXPECT_EQ(number_at(fixed, fixed + 8, FORMS_ITEM, &v, &intf), nullptr);
}

// Items of a block are read forward where they are plain; names holding
// ':', ']' or '[' and odd values go the long way. Both must give what the
// block's rule gives: an item ends at the first ']' followed by the next
// item's '[' or by the block's end, and its name ends at its last ':'.
struct Item {
    std::string name;
    uint32_t bits;
};

void collect(void *ctx, std::string_view name, float v) {
    ((std::vector<Item> *)ctx)->push_back({std::string(name), bits_of(v)});
}

// The HDF5 dialect's block rule, spelt out plainly.
Presence block_by_rule(const std::string &cell, std::vector<Item> &items) {
    if (cell.size() < 2 || cell.front() != '[' || cell.back() != ']')
        return PRESENT_BAD;
    if (cell.size() == 2)
        return PRESENT_NONE;
    size_t close = cell.size() - 1, p = 1;
    while (p < close) {
        if (cell[p] != '[')
            return PRESENT_BAD;
        size_t q = p + 1;
        while (q < close && !(cell[q] == ']' && (q + 1 == close || cell[q + 1] == '[')))
            q++;
        if (q == close)
            return PRESENT_BAD;
        std::string text = cell.substr(p + 1, q - p - 1);
        size_t colon = text.rfind(':');
        std::string num = colon == std::string::npos ? text : text.substr(colon + 1);
        float v;
        bool intf;
        if (!parse_number_exact(num.data(), num.data() + num.size(), FORMS_ITEM, &v, &intf))
            return PRESENT_BAD;
        items.push_back({colon == std::string::npos ? "" : text.substr(0, colon), bits_of(v)});
        p = q + 1;
    }
    return PRESENT_DATA;
}

TEST(NumberAt, BlockItemsReadAsTheBlockRuleSays) {
    std::mt19937 rng(11);
    const char *names[] = {"x", "", "a:b", "a]b", "a][b", "a:]", "q[", "12", "k:1.00e+00]"};
    const char *values[] = {"1.00e+00", "-2.50e-01", "42", "-7",        "1.00e-45", "inf",  "-nan",
                            "0.500000", "1e5",       "",   "1.00e+00]", "3.4e+39",  "1.5E5"};
    for (int i = 0; i < 20000; i++) {
        std::string cell = "[";
        for (int n = (int)(rng() % 4); n > 0; n--) {
            std::string name = names[rng() % (sizeof names / sizeof *names)];
            std::string value = values[rng() % (sizeof values / sizeof *values)];
            if (rng() % 2)
                value = printed("%.2e", float_of((uint32_t)rng()));
            cell += "[" + (rng() % 5 ? name + ":" : "") + value + "]";
        }
        cell += "]";
        std::vector<Item> got, want;
        bool nonvn, intf;
        Presence g = cell_block(DIALECT_HDF5, cell.data(), cell.data() + cell.size(), collect, &got,
                                &nonvn, &intf);
        Presence w = block_by_rule(cell, want);
        ASSERT_EQ(g, w) << cell;
        if (w != PRESENT_DATA)
            continue;
        ASSERT_EQ(got.size(), want.size()) << cell;
        for (size_t k = 0; k < got.size(); k++) {
            ASSERT_EQ(got[k].name, want[k].name) << cell;
            ASSERT_EQ(got[k].bits, want[k].bits) << cell;
        }
    }
}

}  // namespace
