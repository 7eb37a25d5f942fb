// unit_output_buffer.cc - the event table's output buffer keeps the order
// of what is appended when it fills up (blocks that fit, blocks that do
// not and go straight to the stream, single characters at the very end of
// the buffer), and exponent forms with more digits than the table uses.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "korvel_format.h"
#include "korvel_state.h"

namespace {

std::string read_all(FILE *f) {
    std::string s;
    rewind(f);
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

void append(const std::string &s) {
    out_bytes(s.data(), s.size());
}

// Each step is sized against the buffer's capacity (OUT_CAP bytes); the
// file must hold every byte once, in the order appended.
TEST(OutputBuffer, BytesReachTheTableInTheOrderAppendedWhenTheBufferFills) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    fd = f;
    out_len = 0;
    out_errno = 0;
    const std::string a(OUT_CAP - 10, 'a');  // fits: buffered
    const std::string c(OUT_CAP / 2, 'c');   // does not fit, large: written directly
    const std::string b(OUT_CAP - 1, 'b');   // fits an empty buffer
    const std::string f20(20, 'f');
    const std::string g(OUT_CAP, 'g');  // does not fit, large: written directly
    const std::string h(30, 'h');
    const std::string j(OUT_CAP - 40, 'j');  // fills the buffer to 10 bytes short
    const std::string k(20, 'k');            // does not fit, small: buffered anew
    append(a);
    append(c);
    EXPECT_EQ(out_len, 0u);
    append(b);
    out_char('d');  // the last free byte
    EXPECT_EQ(out_len, (size_t)OUT_CAP);
    out_char('e');  // a full buffer is handed over first
    EXPECT_EQ(out_len, 1u);
    append(f20);
    append(g);
    EXPECT_EQ(out_len, 0u);
    append(h);
    append(j);
    append(k);
    EXPECT_EQ(out_len, 20u);
    out_flush();
    EXPECT_EQ(out_errno, 0);
    const std::string want = a + c + b + "d" + "e" + f20 + g + h + j + k;
    const std::string got = read_all(f);
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    fd = nullptr;
    out_len = 0;
    fclose(f);
}

std::string exp_text(float v, int precision) {
    char buf[FMT_MAX + 1];
    char *end = fmt_exp(buf, v, precision);
    return std::string(buf, end);
}

// Precisions above 6 and a negative one (printf's "%.*e": the default 6).
// 0.1f is 0.100000001490116119384765625 exactly; 1e10f is 10^10 exactly.
TEST(NumberFormat, ExponentFormsBeyondSixDigits) {
    EXPECT_EQ(exp_text(0.1f, 7), "1.0000000e-01");
    EXPECT_EQ(exp_text(0.1f, 9), "1.000000015e-01");
    EXPECT_EQ(exp_text(-1.5f, 8), "-1.50000000e+00");
    EXPECT_EQ(exp_text(1e10f, 7), "1.0000000e+10");
    EXPECT_EQ(exp_text(1.5f, -1), "1.500000e+00");
}

}  // namespace
