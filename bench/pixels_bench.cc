// pixels_bench.cc - korvel-pixels-bench: the pixel readers of korvel-h5
// (h5/h5_pixels.cc) on a megapixel frame's text as the table writes it,
// "[[" 1024 x 1024 blank-separated 16-bit pixels "]]", uniform over
// 0..65535 and over 0..4095 (a 12-bit camera). Each block reader is timed
// beside the portable reader in the same run, and the ratios are printed
// at the end. Built with the project, never run by the tests.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "h5_pixels.h"

namespace {

enum Reader {
    PORTABLE,
    SSE2,
    AVX2,
    AVX512
};
const char *const reader_names[] = {"portable", "sse2", "avx2", "avx512"};
const PixelBlocks reader_blocks[] = {PIXEL_BLOCKS_SSE2, PIXEL_BLOCKS_SSE2, PIXEL_BLOCKS_AVX2,
                                     PIXEL_BLOCKS_AVX512};

struct Frame {
    std::string text;  // "[[...]]"
    std::vector<uint16_t> want;
};

Frame make_frame(uint32_t top, uint32_t seed) {
    Frame f;
    std::mt19937 rng(seed);
    f.text = "[[";
    for (int i = 0; i < 1024 * 1024; i++) {
        uint16_t v = (uint16_t)(rng() % (top + 1));
        f.want.push_back(v);
        f.text += std::to_string(v);
        f.text += ' ';
    }
    f.text.back() = ']';
    f.text += ']';
    return f;
}

// The closed reader (the list's end known) or the open one (the end found
// while reading, as the one walk reads a cell).
void bench_read(benchmark::State &state, const Frame *f, Reader r, bool open) {
    std::vector<uint16_t> out(f->want.size());
    const char *b = f->text.data() + 2, *e = f->text.data() + f->text.size() - 2;
    PixelBlocks blocks = reader_blocks[r];
    auto read = [&](uint64_t *n) {
        uint64_t mx = 0;
        return open ? pixels_read_open_with(blocks, b, e + 2, out.data(), out.size(), n, &mx) == e
               : r == PORTABLE
                   ? pixels_read_portable(b, e, ' ', false, out.data(), out.size(), n, &mx)
                   : pixels_read_with(blocks, b, e, ' ', false, out.data(), out.size(), n, &mx);
    };
    uint64_t n = 0;
    if (!read(&n) || n != f->want.size() || out != f->want) {
        state.SkipWithError("the reader disagrees with the frame");
        return;
    }
    for (auto _ : state) {
        if (!read(&n))
            state.SkipWithError("the reader refused the frame");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)(e - b));
}

// The console report, and each reader's CPU time per frame (the median of
// repetitions) kept for the ratios printed after it.
struct RatioReporter : benchmark::ConsoleReporter {
    std::map<std::string, double> times;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            // With repetitions the median stands for the reader (it comes last).
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (!r.error_occurred && r.iterations > 0 &&
                (r.run_type == Run::RT_Iteration || median))
                times[r.run_name.str()] = r.GetAdjustedCPUTime();
        }
    }
    void ratio(const std::string &base, const std::string &a, const std::string &b) {
        if (times.count(base + a) && times.count(base + b))
            printf("%-22s %-9s is %5.2fx as fast as %s\n", base.c_str(), a.c_str(),
                   times[base + b] / times[base + a], b.c_str());
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (!pixel_blocks_available(PIXEL_BLOCKS_AVX2))
        printf("korvel-pixels-bench: this CPU has no AVX2; the avx2 runs use the SSE2 reader\n");
    if (!pixel_blocks_available(PIXEL_BLOCKS_AVX512))
        printf("korvel-pixels-bench: this CPU lacks the AVX-512 of the avx512 reader; its runs "
               "use the next reader it has\n");
    static const Frame f16 = make_frame(65535, 1), f12 = make_frame(4095, 2);
    std::vector<std::string> bases;
    for (const Frame *f : {&f16, &f12})
        for (bool open : {false, true}) {
            std::string base =
                std::string("BM_pixels") + (f == &f16 ? "16" : "12") + (open ? "_open/" : "/");
            bases.push_back(base);
            for (Reader r : {PORTABLE, SSE2, AVX2, AVX512}) {
                if (open && r == PORTABLE)
                    continue;
                benchmark::RegisterBenchmark((base + reader_names[r]).c_str(), bench_read, f, r,
                                             open)
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    for (const std::string &base : bases) {
        rep.ratio(base, "avx2", "sse2");
        rep.ratio(base, "avx512", "sse2");
        rep.ratio(base, "avx512", "avx2");
        rep.ratio(base, "sse2", "portable");
        rep.ratio(base, "avx512", "portable");
    }
    benchmark::Shutdown();
    return 0;
}
