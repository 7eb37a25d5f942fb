// format_exhaustive.cc - korvel-format-exhaustive: the plug-in's number
// formatting against snprintf for every one of the 2^32 float bit patterns
// (or int values), byte for byte.
//
//     korvel-format-exhaustive [FORMAT...]
//
// FORMAT is one of "%.e" (spectrum values), "%.2e" (name-value items),
// "%e" (statistics), "%f" (single values) or "%d" (the integer form, over
// every int); without one the three exponent forms are checked. The
// patterns are shared out among all processors; on two cores one form
// takes a few minutes. Built with the benchmark, never run by the tests.
// Exit status 0 when every text matches, 1 when one does not (the first
// few differences are printed), 2 for a bad argument.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "korvel_format.h"

namespace {

enum form {
    EXP0,
    EXP2,
    EXP6,
    FIXED,
    INT
};

struct form_info {
    const char *printf_format;
    form f;
};

const form_info forms[] = {{"%.e", EXP0}, {"%.2e", EXP2}, {"%e", EXP6}, {"%f", FIXED}, {"%d", INT}};

/* The plug-in's text of the pattern `bits` in form f, at p; the end. */
char *plugin_text(char *p, form f, uint32_t bits) {
    float v;
    memcpy(&v, &bits, sizeof v);
    switch (f) {
    case EXP0: return fmt_exp(p, v, 0);
    case EXP2: return fmt_exp(p, v, 2);
    case EXP6: return fmt_exp(p, v, 6);
    case FIXED: return fmt_fixed(p, v);
    case INT: return fmt_int(p, (int)bits);
    }
    return p;
}

/* printf's text of the same; its length. */
int printf_text(char *p, size_t size, const form_info &fi, uint32_t bits) {
    if (fi.f == INT)
        return snprintf(p, size, fi.printf_format, (int)bits);
    float v;
    memcpy(&v, &bits, sizeof v);
    return snprintf(p, size, fi.printf_format, (double)v);
}

// What the workers share while one form is checked.
struct shared_state {
    std::atomic<uint64_t> next_block{0};  // first pattern of the next block to check
    std::atomic<uint64_t> mismatches{0};
    std::atomic<int> reported{0};  // differences printed so far
};

constexpr uint64_t kPatterns = 1ull << 32;
constexpr uint64_t kBlock = 1u << 20;
constexpr int kReportAtMost = 10;

/* Check blocks of patterns until none is left. */
void worker(const form_info &fi, shared_state *st) {
    char want[512];
    char got[FMT_MAX + 16];
    for (;;) {
        uint64_t first = st->next_block.fetch_add(kBlock);
        if (first >= kPatterns)
            return;
        uint64_t bad = 0;
        for (uint64_t b = first; b < first + kBlock; b++) {
            uint32_t bits = (uint32_t)b;
            int n = printf_text(want, sizeof want, fi, bits);
            char *end = plugin_text(got, fi.f, bits);
            if (end - got == n && memcmp(want, got, (size_t)n) == 0)
                continue;
            bad++;
            if (st->reported.fetch_add(1) < kReportAtMost)
                fprintf(stderr, "  %s of 0x%08x: printf \"%s\", plug-in \"%.*s\"\n",
                        fi.printf_format, bits, want, (int)(end - got), got);
        }
        st->mismatches += bad;
    }
}

/* Every pattern in form fi on `threads` threads; true when all match. */
bool check_form(const form_info &fi, unsigned threads) {
    // The plug-in is single-threaded and makes its tables on first use:
    // make them here, before the workers share them.
    char scratch[FMT_MAX + 16];
    plugin_text(scratch, fi.f, 0x3f800000u);
    shared_state st;
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (unsigned k = 0; k < threads; k++)
        pool.emplace_back(worker, std::cref(fi), &st);
    for (std::thread &t : pool)
        t.join();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    uint64_t bad = st.mismatches.load();
    printf("%-5s %llu patterns, %llu differ (%.0f s)\n", fi.printf_format,
           (unsigned long long)kPatterns, (unsigned long long)bad, s);
    fflush(stdout);
    return bad == 0;
}

const form_info *find_form(const char *name) {
    for (const form_info &fi : forms)
        if (strcmp(fi.printf_format, name) == 0)
            return &fi;
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<const form_info *> todo;
    for (int k = 1; k < argc; k++) {
        const form_info *fi = find_form(argv[k]);
        if (!fi) {
            fprintf(stderr, "usage: %s [%%.e|%%.2e|%%e|%%f|%%d]...\n", argv[0]);
            return 2;
        }
        todo.push_back(fi);
    }
    if (todo.empty())
        todo = {&forms[0], &forms[1], &forms[2]};
    unsigned threads = std::thread::hardware_concurrency();
    if (threads == 0)
        threads = 1;
    bool ok = true;
    for (const form_info *fi : todo)
        ok &= check_form(*fi, threads);
    return ok ? 0 : 1;
}
