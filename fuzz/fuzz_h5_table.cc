// fuzz_h5_table.cc - arbitrary bytes given to korvel-h5 as an event table:
// header, leading columns, cut rows, every kind of cell in both dialects,
// the kind decisions of the survey and the conversion into an HDF5 file
// (uncompressed, one thread, in a scratch directory). Whatever the bytes,
// the converter must end with a status and never read or write out of
// bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int korvel_h5_main(int argc, char **argv);  // h5_main.cc, built with main renamed

static char scratch[] = "/tmp/fuzz-h5-XXXXXX";

// The files of one input, all in the scratch directory made at the start.
static std::string in_scratch(const char *name)
{
    return std::string(scratch) + "/" + name;
}

// The scratch directory and what the converter may leave in it go when the
// fuzzer exits normally; nothing outside it is ever written or removed.
static void remove_scratch()
{
    for (const char *name : {"table.txt", "out.h5", "out.h5.part"})
        unlink(in_scratch(name).c_str());
    rmdir(scratch);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!mkdtemp(scratch))
        abort();
    atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string table = in_scratch("table.txt"), out = in_scratch("out.h5");
    FILE *f = fopen(table.c_str(), "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    std::string args[] = {"korvel-h5", "--no-progress", "--compression", "none",
                          "--threads", "1", table, "-o", out};
    char *argv[9];
    for (int i = 0; i < 9; i++)
        argv[i] = &args[i][0];
    korvel_h5_main(9, argv);
    unlink(out.c_str());
    return 0;
}
