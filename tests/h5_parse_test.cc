// h5_parse_test.cc - korvel-h5's reading of tables: numbers, the grammar of
// each kind of cell in both dialects, the frame of rows (cut rows, the
// interrupted last line), and the HDF5 names of titles. The expected
// values are worked out by hand from the table formats; the pixel reader
// is also checked against a slow reference on random lists.
#include "h5_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <unistd.h>

namespace {

float from_bits(int32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

Presence value_of(Dialect d, const std::string &cell, float *v, bool *intf) {
    return cell_value(d, cell.data(), cell.data() + cell.size(), v, intf);
}

TEST(Numbers, FormsKeepTheKindsApartAndTheIntegerFormIsABitPattern) {
    float v;
    bool intf;
    const std::string fixed = "0.500000", item = "1.23e-04", spect = "5e-01";
    auto parse = [&](const std::string &s, unsigned forms) {
        return parse_number(s.data(), s.data() + s.size(), forms, &v, &intf);
    };
    EXPECT_TRUE(parse(fixed, FORMS_VALUE));
    EXPECT_EQ(v, 0.5f);
    EXPECT_FALSE(parse(fixed, FORMS_ITEM));
    EXPECT_FALSE(parse(fixed, FORMS_SPECTRUM));
    EXPECT_TRUE(parse(item, FORMS_ITEM));
    EXPECT_EQ(v, 1.23e-4f);
    EXPECT_FALSE(parse(item, FORMS_SPECTRUM));
    EXPECT_TRUE(parse(spect, FORMS_SPECTRUM));
    EXPECT_EQ(v, 0.5f);
    EXPECT_FALSE(parse(spect, FORMS_VALUE));
    // 1065353216 is the bit pattern of 1.0f; -1082130432 that of -1.0f.
    EXPECT_TRUE(parse("1065353216", FORMS_VALUE));
    EXPECT_TRUE(intf);
    EXPECT_EQ(v, 1.0f);
    EXPECT_TRUE(parse("-1082130432", FORMS_SPECTRUM));
    EXPECT_EQ(v, -1.0f);
    EXPECT_TRUE(parse("Invalid", FORMS_SPECTRUM));
    EXPECT_TRUE(std::isnan(v));
    EXPECT_TRUE(parse("-inf", FORMS_VALUE));
    EXPECT_TRUE(std::isinf(v) && v < 0);
    EXPECT_TRUE(parse("-nan", FORMS_ITEM));
    EXPECT_TRUE(std::isnan(v));
    EXPECT_FALSE(parse("2147483648", FORMS_VALUE));  // not a 32-bit pattern
    EXPECT_FALSE(parse("1.5x", FORMS_VALUE));
    EXPECT_FALSE(parse("", FORMS_VALUE));
}

TEST(Numbers, LeadingColumnsAre32BitPatterns) {
    int32_t v;
    const std::string neg = "-2147483648", hex = "0xFFFFFFFF", small = "0x0";
    EXPECT_TRUE(parse_i32(neg.data(), neg.data() + neg.size(), &v));
    EXPECT_EQ((uint32_t)v, 2147483648u);
    EXPECT_TRUE(parse_hex32(hex.data(), hex.data() + hex.size(), &v));
    EXPECT_EQ(v, -1);
    EXPECT_TRUE(parse_hex32(small.data(), small.data() + small.size(), &v));
    EXPECT_EQ(v, 0);
    const std::string bad = "0x1FFFFFFFF";
    EXPECT_FALSE(parse_hex32(bad.data(), bad.data() + bad.size(), &v));
}

TEST(ValueCells, BothDialectsAndTheCellsThatSayThereIsNone) {
    float v = 0;
    bool intf;
    EXPECT_EQ(value_of(DIALECT_HDF5, "[[3.250000]]", &v, &intf), PRESENT_DATA);
    EXPECT_EQ(v, 3.25f);
    EXPECT_EQ(value_of(DIALECT_TAB, "0.500000\t", &v, &intf), PRESENT_DATA);
    EXPECT_EQ(v, 0.5f);
    EXPECT_EQ(value_of(DIALECT_TAB, "42\t", &v, &intf), PRESENT_DATA);
    EXPECT_EQ(v, from_bits(42));
    EXPECT_EQ(value_of(DIALECT_HDF5, "[]", &v, &intf), PRESENT_NONE);
    EXPECT_EQ(value_of(DIALECT_TAB, "Not found", &v, &intf), PRESENT_NONE);
    EXPECT_EQ(value_of(DIALECT_TAB, "", &v, &intf), PRESENT_EMPTY);
    EXPECT_EQ(value_of(DIALECT_HDF5, "[[1.00e+00]]", &v, &intf), PRESENT_BAD);
    EXPECT_EQ(value_of(DIALECT_TAB, "0.500000", &v, &intf), PRESENT_BAD);  // no tab
    const char *marker = "1\t";
    EXPECT_EQ(cell_marker(DIALECT_HDF5, marker, marker + 2), PRESENT_DATA);
}

// The survey takes a finite value in the "%f" form as a value without
// reading it by the other kinds' grammars: none of them may read it.
TEST(ValueCells, AFixedFormValueReadsAsNoOtherKind) {
    const std::pair<Dialect, std::string> cells[] = {
        {DIALECT_HDF5, "[[3.250000]]"}, {DIALECT_HDF5, "[[-0.000000]]"},
        {DIALECT_HDF5, "[[1.5]]"},      {DIALECT_HDF5, "[[123456789.000000]]"},
        {DIALECT_TAB, "3.250000\t"},    {DIALECT_TAB, "1.000000\t"}};
    for (const auto &[d, cell] : cells) {
        const char *b = cell.data(), *e = b + cell.size();
        float v;
        bool intf = true, nonvn;
        uint64_t npix, maxv;
        SpectrumOut out;
        EXPECT_EQ(cell_value(d, b, e, &v, &intf), PRESENT_DATA) << cell;
        EXPECT_TRUE(!intf && std::isfinite(v)) << cell;
        EXPECT_EQ(cell_marker(d, b, e), PRESENT_BAD) << cell;
        EXPECT_EQ(cell_block(d, b, e, nullptr, nullptr, &nonvn, &intf), PRESENT_BAD) << cell;
        EXPECT_EQ(cell_spectrum(d, b, e, out), PRESENT_BAD) << cell;
        EXPECT_EQ(cell_image(d, b, e, nullptr, nullptr, 0, &npix, &maxv), PRESENT_BAD) << cell;
    }
}

// The survey reads every cell in one line buffer and one RowCell, as the
// row reader does: a cell in the place of the one before counts as what
// it says itself. Each text below has the length of the others.
TEST(ValueCells, TheSurveyCountsEachCellByItsOwnText) {
    const std::pair<const char *, uint64_t> cells[] = {
        {"123\t", 1},  // the integer form: counted by the value survey
        {"abc\t", 1},  // no value, where a value was
        {"1.5\t", 2},  // "%f": claimed by the value kind alone
        {"inf\t", 3},  // a value the claim leaves to the survey
        {"-x1\t", 3},  // no value, though it starts as one
    };
    Channel ch;
    RowCell cell;
    char line[4];
    for (const auto &[text, values] : cells) {
        memcpy(line, text, sizeof line);
        cell.b = line, cell.e = line + sizeof line, cell.reached = true;
        survey_cell(DIALECT_TAB, ch, cell, KIND_UNSET);
        EXPECT_EQ(ch.survey.fits[KIND_VALUE], values) << text;
    }
    EXPECT_TRUE(ch.survey.int_form);
}

// A value read where it is found ends where the row reader would end the
// cell and reads as cell_value reads the cell; anything else is left to
// the usual way (null).
TEST(ValueCells, AValueFindsItsOwnEnd) {
    const std::pair<std::string, size_t> lines[] = {{"[[3.250000]],[[1]]", 12},
                                                    {"[[-0.000000]]", 13},
                                                    {"[[42]],", 6},
                                                    {"[[1.00e+00]],", 0},
                                                    {"[[inf]],", 0},
                                                    {"[[3.25]]x", 0},
                                                    {"[[3.25],", 0},
                                                    {"[[3.25] ]", 0},
                                                    {"[[]]", 0}};
    for (const auto &[line, end] : lines) {
        const char *b = line.data();
        float v = 0, want = 0;
        bool intf = false, want_intf = true;
        const char *q = cell_value_at(b, b + line.size(), &v, &intf);
        EXPECT_EQ(q, end ? b + end : nullptr) << line;
        if (q) {
            EXPECT_EQ(cell_value(DIALECT_HDF5, b, q, &want, &want_intf), PRESENT_DATA);
            EXPECT_TRUE(v == want && intf == want_intf) << line;
        }
    }
}

struct Items {
    std::vector<std::string> names;
    std::vector<float> values;
};

void take_item(void *ctx, std::string_view name, float v) {
    Items &it = *(Items *)ctx;
    it.names.push_back(name.data() ? std::string(name) : "<none>");
    it.values.push_back(v);
}

Presence block_of(Dialect d, const std::string &cell, Items &it, bool *nonvn) {
    bool intf;
    return cell_block(d, cell.data(), cell.data() + cell.size(), take_item, &it, nonvn, &intf);
}

TEST(BlockCells, NamesSplitAtTheLastColonAndItemsWithoutNames) {
    Items it;
    bool nonvn;
    EXPECT_EQ(block_of(DIALECT_HDF5, "[[x:1.00e+00][y:2.50e-01]]", it, &nonvn), PRESENT_DATA);
    EXPECT_EQ(it.names, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(it.values, (std::vector<float>{1.0f, 0.25f}));
    EXPECT_FALSE(nonvn);
    it = Items();
    // Tab dialect; a name holding ':' and ']' keeps them.
    EXPECT_EQ(block_of(DIALECT_TAB, "\t{[a:b]c:1.00e+00]\t[q:-3.25e+00]}", it, &nonvn),
              PRESENT_DATA);
    EXPECT_EQ(it.names, (std::vector<std::string>{"a:b]c", "q"}));
    EXPECT_EQ(it.values[1], -3.25f);
    it = Items();
    EXPECT_EQ(block_of(DIALECT_TAB, "\t{[1.00e+00]\t[2.50e-01]}", it, &nonvn), PRESENT_DATA);
    EXPECT_TRUE(nonvn);
    EXPECT_EQ(it.names, (std::vector<std::string>{"<none>", "<none>"}));
    it = Items();
    EXPECT_EQ(block_of(DIALECT_HDF5, "[[x:42][y:7]]", it, &nonvn), PRESENT_DATA);
    EXPECT_EQ(it.values, (std::vector<float>{from_bits(42), from_bits(7)}));
    EXPECT_EQ(block_of(DIALECT_TAB, "\t{}", it, &nonvn), PRESENT_NONE);
    EXPECT_EQ(block_of(DIALECT_HDF5, "[[x:0.500000]]", it, &nonvn), PRESENT_BAD);
    EXPECT_EQ(block_of(DIALECT_HDF5, "[[x:1.00e+00]", it, &nonvn), PRESENT_BAD);
}

struct Spectrum {
    std::vector<float> data, stats;
    std::vector<int32_t> count;
    SpectrumOut out;
    Spectrum(int members, int values)
        : data((size_t)members * values, NAN), stats((size_t)members * 32, NAN),
          count((size_t)members, 99) {
        out.members = members;
        out.values = values;
        out.data = data.data();
        out.stats = stats.data();
        out.count = count.data();
    }
    Presence read(Dialect d, const std::string &cell) {
        return cell_spectrum(d, cell.data(), cell.data() + cell.size(), out);
    }
};

TEST(SpectrumCells, MembersStatisticsAndValuesInBothDialects) {
    // Two members: statistics 0 and 2 and three values, then two values.
    const std::string tab = "{[ [0]:1.500000e+00 [2]:-2.000000e+00 1e+00 5e-01 -2e+00]\t"
                            "[1e+02 3e+02]}";
    const std::string hdf = "[[ [0]:1.500000e+00 [2]:-2.000000e+00 1e+00 5e-01 -2e+00]"
                            "[1e+02 3e+02]]";
    for (auto [d, text] : {std::pair{DIALECT_TAB, tab}, std::pair{DIALECT_HDF5, hdf}}) {
        Spectrum s(2, 3);
        ASSERT_EQ(s.read(d, text), PRESENT_DATA) << text;
        EXPECT_EQ(s.count, (std::vector<int32_t>{3, 2}));
        EXPECT_EQ(s.data[0], 1.0f);
        EXPECT_EQ(s.data[1], 0.5f);
        EXPECT_EQ(s.data[2], -2.0f);
        EXPECT_EQ(s.data[3], 100.0f);
        EXPECT_EQ(s.data[4], 300.0f);
        EXPECT_TRUE(std::isnan(s.data[5]));
        EXPECT_EQ(s.stats[0], 1.5f);
        EXPECT_TRUE(std::isnan(s.stats[1]));
        EXPECT_EQ(s.stats[2], -2.0f);
        EXPECT_TRUE(std::isnan(s.stats[32]));
        EXPECT_TRUE(s.out.seen_stats);
    }
}

TEST(SpectrumCells, FailedMembersAndMembersWithoutData) {
    // Member 0's query failed, member 1 has no data but statistic 1 = 4,
    // member 2 holds 7. The failed member's comma stays inside the cell.
    const std::string tab = "{No data\t, [1]:4.000000e+00  Not found\t[7e+00]}";
    const std::string hdf = "[[], [1]:4.000000e+00  [][7e+00]]";
    for (auto [d, text] : {std::pair{DIALECT_TAB, tab}, std::pair{DIALECT_HDF5, hdf}}) {
        Spectrum s(3, 1);
        ASSERT_EQ(s.read(d, text), PRESENT_DATA) << text;
        EXPECT_EQ(s.count, (std::vector<int32_t>{-1, 0, 1}));
        EXPECT_EQ(s.stats[32 + 1], 4.0f);
        EXPECT_EQ(s.data[2], 7.0f);
    }
    Spectrum s(2, 2);
    EXPECT_EQ(s.read(DIALECT_HDF5, "[[],[],]"), PRESENT_DATA);  // every member failed
    EXPECT_EQ(s.count, (std::vector<int32_t>{-1, -1}));
    EXPECT_EQ(s.read(DIALECT_TAB, "{}"), PRESENT_NONE);
    EXPECT_EQ(s.read(DIALECT_HDF5, "[[1e+00 2e+00 3e+00]]"), PRESENT_BAD);  // too many values
    EXPECT_EQ(s.read(DIALECT_HDF5, "[[1.0 2.0]]"), PRESENT_BAD);            // not "%.e"
    EXPECT_EQ(s.read(DIALECT_HDF5, "[[ [32]:1.000000e+00 1e+00]]"), PRESENT_BAD);
    EXPECT_EQ(s.read(DIALECT_HDF5, "[[1065353216 Invalid]]"), PRESENT_DATA);
    EXPECT_EQ(s.data[0], 1.0f);
    EXPECT_TRUE(std::isnan(s.data[1]));
}

// A spectrum read where it is found ends where the cell ends and fills
// its slots as cell_spectrum does; a cell without data that reads whole,
// or one not followed by a comma or the line's end, is left to the usual
// way (null).
TEST(SpectrumCells, ASpectrumFindsItsOwnEnd) {
    const char *cells[] = {"[[ [0]:1.500000e+00 [2]:-2.000000e+00 1e+00 5e-01]]",
                           "[[], [1]:4.000000e+00  [][7e+00]]",
                           "[[],[],]",
                           "[[1065353216 Invalid]]",
                           "[[1e+00 2e+00 3e+00]]",
                           "[[1.0 2.0]]",
                           "[[ [32]:1.000000e+00 1e+00]]",
                           "[]",
                           "[[1e+00]]x"};
    for (const char *cell : cells)
        for (const char *after : {"", ",[[5e+00]]", "x"}) {
            std::string line = std::string(cell) + after;
            Spectrum at(3, 2), ref(3, 2);
            bool whole = ref.read(DIALECT_HDF5, cell) == PRESENT_DATA && *after != 'x';
            const char *b = line.data();
            const char *q = cell_spectrum_at(b, b + line.size(), at.out);
            ASSERT_EQ(q, whole ? b + strlen(cell) : nullptr) << line;
            if (q) {
                EXPECT_EQ(at.count, ref.count) << line;
                EXPECT_EQ(memcmp(at.data.data(), ref.data.data(), at.data.size() * 4), 0);
                EXPECT_EQ(memcmp(at.stats.data(), ref.stats.data(), at.stats.size() * 4), 0);
                EXPECT_EQ(at.out.seen_members, ref.out.seen_members);
                EXPECT_EQ(at.out.seen_values, ref.out.seen_values);
            }
        }
}

Presence image_of(Dialect d, const std::string &cell, std::vector<uint16_t> &px, uint64_t *n) {
    uint64_t mx;
    return cell_image(d, cell.data(), cell.data() + cell.size(), nullptr, px.data(), px.size(), n,
                      &mx);
}

TEST(ImageCells, PixelListsInBothDialects) {
    std::vector<uint16_t> px(4, 0);
    uint64_t n;
    EXPECT_EQ(image_of(DIALECT_TAB, "[258\t65534\t]", px, &n), PRESENT_DATA);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(px[0], 258);
    EXPECT_EQ(px[1], 65534);
    EXPECT_EQ(image_of(DIALECT_HDF5, "[[0 17 128 255]]", px, &n), PRESENT_DATA);
    EXPECT_EQ(px, (std::vector<uint16_t>{0, 17, 128, 255}));
    EXPECT_EQ(image_of(DIALECT_TAB, "No Image\t", px, &n), PRESENT_NONE);
    EXPECT_EQ(image_of(DIALECT_TAB, "Invalid Image\t", px, &n), PRESENT_NONE);
    EXPECT_EQ(image_of(DIALECT_HDF5, "[[1 2 3 4 5]]", px, &n), PRESENT_BAD);  // too many
    EXPECT_EQ(image_of(DIALECT_HDF5, "[[1  2]]", px, &n), PRESENT_BAD);
    EXPECT_EQ(image_of(DIALECT_HDF5, "[[1 2 ]]", px, &n), PRESENT_BAD);
    EXPECT_EQ(image_of(DIALECT_HDF5, "[[65536]]", px, &n), PRESENT_BAD);
    EXPECT_EQ(image_of(DIALECT_TAB, "[1\t2]", px, &n), PRESENT_BAD);  // no tab after 2
    std::vector<uint8_t> p8(2);
    uint64_t mx;
    const std::string c = "[[255 256]]";
    EXPECT_EQ(
        cell_image(DIALECT_HDF5, c.data(), c.data() + c.size(), p8.data(), nullptr, 2, &n, &mx),
        PRESENT_BAD);  // 256 does not fit 8 bits
}

// The pixel reader is the converter's hot loop: compare it with a plain
// stream-based reader on random lists of both dialects.
TEST(ImageCells, FastReaderAgreesWithAReferenceOnRandomLists) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; round++) {
        Dialect d = round % 2 ? DIALECT_TAB : DIALECT_HDF5;
        size_t n = 1 + rng() % 500;
        std::vector<uint16_t> want(n);
        std::string cell = d == DIALECT_HDF5 ? "[[" : "[";
        for (size_t i = 0; i < n; i++) {
            want[i] = (uint16_t)(round % 3 == 0 ? rng() % 10 : rng() % 65536);
            cell += std::to_string(want[i]);
            if (d == DIALECT_TAB || i + 1 < n)
                cell += d == DIALECT_TAB ? '\t' : ' ';
        }
        cell += d == DIALECT_HDF5 ? "]]" : "]";
        // Reference: strip the brackets, read numbers with a stream.
        std::istringstream ref(cell.substr(d == DIALECT_HDF5 ? 2 : 1));
        std::vector<uint16_t> got_ref;
        unsigned long x;
        while (ref >> x)
            got_ref.push_back((uint16_t)x);
        ASSERT_EQ(got_ref, want);
        std::vector<uint16_t> px(n, 0);
        uint64_t count;
        ASSERT_EQ(image_of(d, cell, px, &count), PRESENT_DATA);
        ASSERT_EQ(count, n);
        ASSERT_EQ(px, got_ref);
    }
}

// A pixel list read where it is found: the text in a buffer of exactly its
// own size (the sanitizers see any read past the line's end), with `cap`
// 16-bit pixels to fill. Returns the length of the cell found, -1 for none.
long image_at(const std::string &text, size_t cap, std::vector<uint16_t> &px, uint64_t *n) {
    std::vector<char> line(text.begin(), text.end());
    px.assign(cap, 0);
    uint64_t mx;
    const char *q =
        cell_image_at(line.data(), line.data() + line.size(), nullptr, px.data(), cap, n, &mx);
    return q ? q - line.data() : -1;
}

TEST(ImageCells, APixelListFindsItsOwnEnd) {
    struct Case {
        const char *text;
        long end;    // the cell's length, -1: no pixel list read whole
        uint64_t n;  // pixels read
    } cases[] = {
        {"[[1 2 3]],[[0.5]]", 9, 3},
        {"[[65535]]", 9, 1},    // at the line's end
        {"[[1 2 3]]x", -1, 0},  // neither a comma nor the end after it
        {"[[1 2 3]", -1, 0},    // the line ends inside the list
        {"[[1 2 3] ],", -1, 0},
        {"[[1  2]],", -1, 0},                     // an empty number
        {"[[1 2 ]],", -1, 0},                     // a blank before the end
        {"[[1234567]],", -1, 0},                  // more than six digits
        {"[[65536]],", -1, 0},                    // more than 16 bits
        {"[[1 2 3 4 5]],", -1, 0},                // more pixels than the frame holds
        {"[[ [0]:1.000000e+00 1e+00]],", -1, 0},  // a spectrum
        {"[[12", -1, 0},
    };
    for (const Case &c : cases) {
        std::vector<uint16_t> px;
        uint64_t n = 0;
        long end = image_at(c.text, 4, px, &n);
        EXPECT_EQ(end, c.end) << c.text;
        if (end > 0) {
            EXPECT_EQ(n, c.n) << c.text;
        }
    }
    std::vector<uint16_t> px;
    uint64_t n;
    ASSERT_EQ(image_at("[[7 0 65535]],", 4, px, &n), 13);
    EXPECT_EQ(px, (std::vector<uint16_t>{7, 0, 65535, 0}));
}

// Long random lists (the sixteen-byte loop) followed by the next cell or
// the line's end, and with a fault put in: read where they are found, they
// give what cell_image gives for the cell ending at the first ']'.
TEST(ImageCells, ReadWhereFoundAgreesWithTheCellReadByItsEnd) {
    std::mt19937 rng(2323);
    const char *faults[] = {"", "  ", " x", "1234567", "99999"};
    for (int round = 0; round < 300; round++) {
        size_t n = 1 + rng() % 700;
        std::string text = "[[";
        for (size_t i = 0; i < n; i++)
            text += std::to_string(rng() % (round % 4 ? 65536 : 10)) + (i + 1 < n ? " " : "");
        const char *fault = faults[round % 5 == 4 ? 1 + rng() % 4 : 0];
        if (*fault)
            text.insert(2 + rng() % (text.size() - 2), fault);
        text += "]]";
        std::string line = text + (round % 2 ? ",[[0.5]]" : "");
        std::vector<uint16_t> got, want(n + 8, 0);
        uint64_t got_n = 0, want_n = 0, mx;
        long end = image_at(line, n + 8, got, &got_n);
        size_t close = text.find(']');
        Presence ref = cell_image(DIALECT_HDF5, text.data(), text.data() + close + 2, nullptr,
                                  want.data(), want.size(), &want_n, &mx);
        bool whole = ref == PRESENT_DATA && close + 2 == text.size();
        ASSERT_EQ(end, whole ? (long)text.size() : -1L) << line.substr(0, 80);
        if (whole) {
            ASSERT_EQ(got_n, want_n);
            ASSERT_EQ(got, want);
        }
    }
}

// Spectrum values are read in one pass (the "%.e" texts looked up, the
// integer form by its digits): every "%.e" text a float can have and the
// edges of the integer form read bit for bit as parse_number reads them.
TEST(SpectrumCells, ValuesReadAsParseNumberReadsThem) {
    std::vector<std::string> texts = {
        "0",           "-0",         "2147483647", "-2147483648", "2147483648", "-2147483649",
        "12345678901", "0000000001", "-",          "1e5",         "1e+5",       "12e+05",
        "5.e+01",      "1.0e+00",    "Invalid",    "inf",         "-nan",       "1e+001"};
    for (const char *sign : {"", "-"})
        for (char d = '0'; d <= '9'; d++)
            for (const char *es : {"+", "-"})
                for (int x = 0; x < 100; x++)
                    texts.push_back(std::string(sign) + d + "e" + es + (char)('0' + x / 10) +
                                    (char)('0' + x % 10));
    for (const std::string &t : texts) {
        float want = 0;
        bool intf;
        bool ok = parse_number(t.data(), t.data() + t.size(), FORMS_SPECTRUM, &want, &intf);
        for (const std::string &cell : {"[[" + t + "]]", "[[" + t + " 0e+00]]"}) {
            Spectrum s(1, 2);
            Presence p = s.read(DIALECT_HDF5, cell);
            ASSERT_EQ(p, ok ? PRESENT_DATA : PRESENT_BAD) << cell;
            if (ok) {
                ASSERT_EQ(memcmp(&s.data[0], &want, sizeof want), 0) << cell;
                ASSERT_EQ(s.out.int_form, intf) << cell;
            }
        }
    }
}

// ---- Lines -----------------------------------------------------------------------

// A file of `text`, removed when the test ends.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string &text) {
        char tmpl[] = "/tmp/korvel-h5-test-XXXXXX";
        int fd = mkstemp(tmpl);
        EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
        path = tmpl;
    }
    ~TempFile() {
        unlink(path.c_str());
    }
};

// Lines come out whole whatever the buffer's size: lines longer than it,
// lines ending exactly at its end, "\r\n", a last line without "\n".
TEST(Lines, WholeLinesWhateverTheBufferSize) {
    const std::string big(1000, 'x');
    struct Case {
        std::string text;
        std::vector<std::string> lines;  // "|" after a line that ends in "\n"
    } cases[] = {
        {"", {}},
        {"\n", {"|"}},
        {"ab\ncd", {"ab|", "cd"}},
        {"ab\r\n\r\ncd\r\n", {"ab|", "|", "cd|"}},
        {"a\rb\n", {"a\rb|"}},
        {"1234567\n12345678\n" + big + "\nz", {"1234567|", "12345678|", big + "|", "z"}},
    };
    for (const Case &c : cases)
        for (size_t min_buffer : {1, 2, 8, 9, 4096}) {
            TempFile f(c.text);
            Input in;
            ASSERT_EQ(input_open(in, f.path.c_str()), 0);
            in.min_buffer = min_buffer;
            for (int walk = 0; walk < 2; walk++) {
                input_rewind(in);
                std::vector<std::string> got;
                const char *b, *e;
                bool nl;
                while (input_line(in, &b, &e, &nl) > 0)
                    got.push_back(std::string(b, e) + (nl ? "|" : ""));
                EXPECT_EQ(got, c.lines) << c.text.size() << " bytes, buffer " << min_buffer;
                EXPECT_EQ(input_consumed(in), c.text.size());
            }
            input_close(in);
        }
}

// Bytes appended after the open are not read; a file cut shorter is an
// error, not a shorter table.
TEST(Lines, TheFileAsItWasWhenOpened) {
    TempFile f("one\ntwo\n");
    Input in;
    ASSERT_EQ(input_open(in, f.path.c_str()), 0);
    in.min_buffer = 4;
    FILE *grow = fopen(f.path.c_str(), "a");
    fputs("three\n", grow);
    fclose(grow);
    const char *b, *e;
    bool nl;
    int lines = 0;
    while (input_line(in, &b, &e, &nl) > 0)
        lines++;
    EXPECT_EQ(lines, 2);
    input_rewind(in);
    ASSERT_EQ(truncate(f.path.c_str(), 2), 0);
    EXPECT_EQ(input_line(in, &b, &e, &nl), -1);
    EXPECT_STREQ(input_error(in), "the file became shorter while it was read");
    input_close(in);
}

// ---- Rows ------------------------------------------------------------------------

struct Table {
    std::string path;
    Run run;
    Input in;
    RowReader rr;
    explicit Table(const std::string &text, bool strict = false) {
        char tmpl[] = "/tmp/korvel-h5-test-XXXXXX";
        int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
        path = tmpl;
        run.opt.table = path;
        run.opt.strict = strict;
        EXPECT_EQ(input_open(in, path.c_str()), 0);
        rr.run = &run;
        rr.in = &in;
        rr.warn = false;
    }
    ~Table() {
        input_close(in);
        unlink(path.c_str());
    }
    std::string cell(const Row &row, size_t k) {
        const RowCell &c = row.cells[k];
        if (c.reached)
            return std::string(c.b, c.e) + (c.uncertain ? " <uncertain>" : "");
        std::string srv = c.srv_read ? " srv " + std::to_string(c.srv) : "";
        return (c.bad ? "<bad>" : c.failed ? "<failed>" : "<not reached>") + srv;
    }
};

TEST(Rows, HeaderAndRowsOfBothDialectsWithStatusColumns) {
    Table t("EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A,"
            "SrvBlockStatus,ChanStatus,B\n"
            "-1,5:7,ISO,0xFF,0x0,0x1,1\t,0x2,0x0,[[1e+00 2e+00]]\n");
    ASSERT_EQ(header_read(t.run, t.rr, true), 0);
    EXPECT_EQ(t.run.dialect, DIALECT_HDF5);
    EXPECT_TRUE(t.run.status_columns);
    ASSERT_EQ(t.run.channels.size(), 2u);
    EXPECT_EQ(t.run.channels[1].title, "B");
    Row row;
    ASSERT_EQ(row_next(t.rr, row), 1);
    EXPECT_EQ(row.id, 4294967295u);
    EXPECT_EQ(row.time_s, 5u);
    EXPECT_EQ(row.time_us, 7u);
    EXPECT_EQ(row.status, 255);
    EXPECT_EQ(row.line, 2u);
    EXPECT_EQ(row.cells[0].chan, 1);
    EXPECT_EQ(row.cells[1].srv, 2);
    EXPECT_EQ(t.cell(row, 1), "[[1e+00 2e+00]]");
    EXPECT_EQ(row_next(t.rr, row), 0);

    Table tab("EventId\tTime\t\t\tA\tB:2\tCx\tE\n"
              "[NORMAL]1234\t\t987:250\tISOTIME\t1\t\t0.500000\t\t\t"
              "{[x:1.00e+00]\t[y:2.50e-01]}\t\n");
    ASSERT_EQ(header_read(tab.run, tab.rr, true), 0);
    ASSERT_EQ(tab.run.channels.size(), 4u);
    ASSERT_EQ(row_next(tab.rr, row), 1);
    EXPECT_EQ(row.type_name, "NORMAL");
    EXPECT_EQ(row.iso, "ISOTIME");
    EXPECT_EQ(tab.cell(row, 0), "1\t");
    EXPECT_EQ(tab.cell(row, 1), "0.500000\t");
    EXPECT_EQ(tab.cell(row, 2), "\t{[x:1.00e+00]\t[y:2.50e-01]}");
    EXPECT_EQ(tab.cell(row, 3), "");
    EXPECT_TRUE(row.complete);
}

TEST(Rows, ARowCutShortIsKeptAndTheNextEventStartsOnTheSameLine) {
    // Event 1 stops before channel B (no line end); event 2 follows.
    Table t("EventId,Time,TimeISO,A,B\n"
            "1,10:0,I1,[[0.500000]],2,11:0,I2,[[1.500000]],[]\n"
            "3,12:0,I3,[[2.500000]],[]\n");
    ASSERT_EQ(header_read(t.run, t.rr, true), 0);
    Row row;
    ASSERT_EQ(row_next(t.rr, row), 1);
    EXPECT_EQ(row.id, 1u);
    EXPECT_FALSE(row.complete);
    EXPECT_EQ(t.cell(row, 0), "[[0.500000]]");
    EXPECT_EQ(t.cell(row, 1), "<failed>");
    ASSERT_EQ(row_next(t.rr, row), 1);
    EXPECT_EQ(row.id, 2u);
    EXPECT_TRUE(row.complete);
    EXPECT_EQ(row.line, 2u);
    EXPECT_EQ(t.cell(row, 1), "[]");
    ASSERT_EQ(row_next(t.rr, row), 1);
    EXPECT_EQ(row.line, 3u);

    // Tab dialect, cut after the leading columns and after a status column.
    Table tab("EventId\tTime\t\t\tEvHeadStatus\t\t\tSrvBlockStatus\t\t\tChanStatus\t\t\tA\n"
              "[NORMAL]1\t\t10:0\tI1\t0x0\t\t\t"
              "[NORMAL]2\t\t11:0\tI2\t0x0\t\t\t0x0\t\t\t"
              "[CALIB]3\t\t12:0\tI3\t0x0\t\t\t0x0\t\t\t0x0\t\t\t1\t\n");
    ASSERT_EQ(header_read(tab.run, tab.rr, true), 0);
    ASSERT_TRUE(tab.run.status_columns);
    ASSERT_EQ(row_next(tab.rr, row), 1);
    EXPECT_FALSE(row.complete);
    ASSERT_EQ(row_next(tab.rr, row), 1);
    EXPECT_EQ(row.id, 2u);
    EXPECT_FALSE(row.complete);
    ASSERT_EQ(row_next(tab.rr, row), 1);
    EXPECT_EQ(row.type_name, "CALIB");
    EXPECT_TRUE(row.complete);
    EXPECT_EQ(tab.cell(row, 0), "1\t");
}

TEST(Rows, TheLastLineOfAnInterruptedRunAndMalformedLines) {
    Table t("EventId,Time,TimeISO,A,B\n"
            "1,10:0,I1,[[0.5]],[[2.500000]]\n"  // "0.5" is read later, by its kind
            "2,10:0,I1,[[1.500000,[]\n"         // unbalanced bracket
            "garbage\n"
            "3,11:0,I2,[[0.500000]],[[1.2");  // cut inside B's cell
    ASSERT_EQ(header_read(t.run, t.rr, true), 0);
    Row row;
    ASSERT_EQ(row_next(t.rr, row), 1);
    EXPECT_TRUE(row.complete);
    ASSERT_EQ(row_next(t.rr, row), 1);
    EXPECT_EQ(row.id, 2u);
    EXPECT_TRUE(row.complete);  // malformed, but not cut short
    EXPECT_EQ(t.cell(row, 0), "<bad>");
    ASSERT_EQ(row_next(t.rr, row), 1);  // the garbage line is skipped
    EXPECT_EQ(row.id, 3u);
    EXPECT_EQ(row.line, 5u);
    EXPECT_FALSE(row.complete);
    EXPECT_EQ(t.cell(row, 0), "[[0.500000]]");
    EXPECT_EQ(t.cell(row, 1), "<not reached>");
    EXPECT_EQ(row_next(t.rr, row), 0);

    Table strict("EventId,Time,TimeISO,A\ngarbage\n", true);
    ASSERT_EQ(header_read(strict.run, strict.rr, true), 0);
    EXPECT_EQ(row_next(strict.rr, row), -1);
}

// Tab dialect: "\t{" is a block, or an empty cell and the next channel's
// spectrum. Each case: the row after the leading columns of channels EQ, S
// and M, the kinds known of them, and the cells read.
TEST(Rows, AnEmptyCellBeforeASpectrumIsReadTheWayTheRowFits) {
    const Kind U = KIND_UNSET;
    struct Case {
        const char *row;
        std::vector<Kind> hints;
        bool survey;
        std::vector<std::string> cells;
    } cases[] = {
        // Values of a spectrum ("%.e") are no item of a block.
        {"\t{[1e+00 2e+00]}\t1\t\n", {U, U, U}, false, {"", "{[1e+00 2e+00]}", "1\t"}},
        // Both read "\t{}" and "\t{[1]}"; only the empty cell fits the row.
        {"\t{}\t1\t\n", {U, U, U}, false, {"", "{}", "1\t"}},
        {"\t{[1]}\t1\t\n", {U, U, U}, false, {"", "{[1]}", "1\t"}},
        // A block with a name, then an empty S.
        {"\t{[x:1]}\t\t1\t\n", {U, U, U}, false, {"\t{[x:1]}", "", "1\t"}},
        // Cut after S: both fit; the kinds decide, and the survey learns
        // nothing of the cells the two readings give differently.
        {"\t{[1]}\t[NORMAL]2\t\t5:0\tI\t1\t\t1\t\n",
         {KIND_NONE, KIND_SPECTRUM, U},
         false,
         {"", "{[1]}", "<failed>"}},
        {"\t{[1]}\t[NORMAL]2\t\t5:0\tI\t1\t\t1\t\n",
         {U, U, U},
         true,
         {"\t{[1]} <uncertain>", "<failed>", "<not reached>"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.row);
        Table t(std::string("EventId\tTime\t\t\tEQ\tS\tM\n[NORMAL]1\t\t4:0\tI\t") + c.row);
        ASSERT_EQ(header_read(t.run, t.rr, true), 0);
        t.rr.hints = &c.hints;
        t.rr.mark_uncertain = c.survey;
        Row row;
        ASSERT_EQ(row_next(t.rr, row), 1);
        std::vector<std::string> got;
        for (size_t k = 0; k < 3; k++)
            got.push_back(t.cell(row, k));
        EXPECT_EQ(got, c.cells);
    }
}

TEST(Rows, ARowCutByAChannelQueryKeepsItsServerBlockStatus) {
    // Event 1: B's channel query fails after its server-block status 0x7;
    // event 2: the table ends before B's group.
    Table t("EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A,"
            "SrvBlockStatus,ChanStatus,B\n"
            "1,10:0,I1,0x0,0x0,0x0,[[0.5]],0x7,2,11:0,I2,0x0,0x0,0x0,[[1.5]],");
    ASSERT_EQ(header_read(t.run, t.rr, true), 0);
    Row row;
    ASSERT_EQ(row_next(t.rr, row), 1);
    EXPECT_FALSE(row.complete);
    EXPECT_EQ(t.cell(row, 1), "<failed> srv 7");
    ASSERT_EQ(row_next(t.rr, row), 1);
    EXPECT_EQ(row.id, 2u);
    EXPECT_FALSE(row.complete);
    EXPECT_EQ(t.cell(row, 0), "[[1.5]]");
    EXPECT_EQ(t.cell(row, 1), "<failed>");
    EXPECT_EQ(row_next(t.rr, row), 0);
}

TEST(Rows, NotATableAndAnEmptyFile) {
    Table empty("");
    EXPECT_EQ(header_read(empty.run, empty.rr, true), -1);
    Table other("id,value\n1,2\n");
    EXPECT_EQ(header_read(other.run, other.rr, true), -1);
}

// ---- Names -----------------------------------------------------------------------

std::vector<std::string> groups_of(const std::vector<std::string> &titles) {
    std::vector<Channel> chs(titles.size());
    for (size_t i = 0; i < titles.size(); i++)
        chs[i].title = titles[i];
    assign_groups(chs);
    std::vector<std::string> g;
    for (const Channel &c : chs)
        g.push_back(c.group);
    return g;
}

TEST(Names, GroupsOfTitlesWithCollisionsResolvedInTableOrder) {
    EXPECT_EQ(groups_of({"X", "X", "X"}), (std::vector<std::string>{"X", "X~2", "X~3"}));
    EXPECT_EQ(groups_of({"A", "A/B"}), (std::vector<std::string>{"A", "A~2/B"}));
    EXPECT_EQ(groups_of({"A/B", "A"}), (std::vector<std::string>{"A/B", "A~2"}));
    EXPECT_EQ(groups_of({"/L//x/", ".", "a%b\tc"}),
              (std::vector<std::string>{"_/L/_/x/_", "_.", "a%25b%09c"}));
    EXPECT_EQ(item_dataset_name("a/b"), "a%2Fb");
    EXPECT_EQ(item_dataset_name(std::string("\xff", 1)), "%FF");
    EXPECT_EQ(bare_name("BPM/Y:0"), "BPM/Y");
    EXPECT_EQ(bare_name("Q:-1"), "Q");
    EXPECT_EQ(bare_name("A:B"), "A:B");
}

}  // namespace
