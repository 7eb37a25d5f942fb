// fuzz_h5_table.cc - arbitrary bytes given to korvel-h5 as an event table:
// header, leading columns, cut rows, every kind of cell in both dialects,
// the kind decisions of the survey and the conversion into an HDF5 file
// (uncompressed, one thread, in a scratch directory). Whatever the bytes,
// the converter must end with a status and never read or write out of
// bounds; and a file it writes must keep the layout's promises on rows:
//
// - every channel's `present` is one of the documented states;
// - a row marked complete has no channel that was not reached; in a row
//   cut short the channels not reached follow every other one, the first
//   of them perhaps -3 (its query failed), the rest -2;
// - a line that has its line end holds a complete event, or an event cut
//   short and the next one: a row shares its line with the next row only
//   when it was cut short, and a row cut short is followed on its line by
//   the next one unless it is the last row of a table without a final
//   line end. (A table without channels writes no line ends at all.)
#include <hdf5.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int korvel_h5_main(int argc, char **argv);  // h5_main.cc, built with main renamed

// The whole 1-D dataset `path` of `f` as `type`; empty when it is absent.
template <typename T>
static std::vector<T> read_all(hid_t f, const std::string &path, hid_t type) {
    std::vector<T> v;
    hid_t d = H5Dopen2(f, path.c_str(), H5P_DEFAULT);
    if (d < 0)
        return v;
    hid_t s = H5Dget_space(d);
    hssize_t n = H5Sget_simple_extent_npoints(s);
    v.resize(n > 0 ? (size_t)n : 0);
    if (n > 0 && H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()) < 0)
        v.clear();
    H5Sclose(s);
    H5Dclose(d);
    return v;
}

// The fixed-length strings of /entry/channel_table/group.
static std::vector<std::string> channel_groups(hid_t f) {
    std::vector<std::string> out;
    hid_t d = H5Dopen2(f, "/entry/channel_table/group", H5P_DEFAULT);
    if (d < 0)
        return out;
    hid_t t = H5Dget_type(d), s = H5Dget_space(d);
    size_t len = H5Tget_size(t);
    hssize_t n = H5Sget_simple_extent_npoints(s);
    std::vector<char> buf(n > 0 ? (size_t)n * len : 0);
    if (n > 0 && H5Dread(d, t, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data()) >= 0)
        for (hssize_t i = 0; i < n; i++) {
            const char *p = buf.data() + (size_t)i * len;
            size_t k = 0;
            while (k < len && p[k])
                k++;
            out.emplace_back(p, k);
        }
    H5Sclose(s);
    H5Tclose(t);
    H5Dclose(d);
    return out;
}

static void broken(const char *what, size_t event, const std::string &channel) {
    fprintf(stderr, "fuzz_h5_table: %s (event %zu%s%s)\n", what, event,
            channel.empty() ? "" : ", channel ", channel.c_str());
    abort();
}

// The promises on rows and states (see the top of the file).
static void check_file(const std::string &out, const uint8_t *data, size_t size) {
    hid_t f = H5Fopen(out.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (f < 0)
        broken("the converter said it wrote the file, but it cannot be opened", 0, "");
    std::vector<uint64_t> line = read_all<uint64_t>(f, "/entry/event/line", H5T_NATIVE_UINT64);
    std::vector<uint8_t> complete = read_all<uint8_t>(f, "/entry/event/complete", H5T_NATIVE_UINT8);
    std::vector<std::string> groups = channel_groups(f);
    size_t n = line.size();
    if (complete.size() != n)
        broken("complete and line differ in length", 0, "");
    std::vector<std::vector<int8_t>> present;
    for (const std::string &g : groups) {
        present.push_back(
            read_all<int8_t>(f, "/entry/channels/" + g + "/present", H5T_NATIVE_INT8));
        if (present.back().size() != n)
            broken("a present dataset does not hold every event", 0, g);
    }
    H5Fclose(f);
    bool final_newline = size > 0 && data[size - 1] == '\n';
    for (size_t e = 0; e < n; e++) {
        bool cut = false;
        for (size_t c = 0; c < groups.size(); c++) {
            int p = present[c][e];
            if (p < -3 || p > 2)
                broken("a state that is not documented", e, groups[c]);
            if (cut && p != -2)
                broken("a channel after the cut is not -2", e, groups[c]);
            if (p <= -2 && complete[e])
                broken("a complete row has a channel that was not reached", e, groups[c]);
            cut = cut || p <= -2;
        }
        if (groups.empty())
            continue;
        bool shares = e + 1 < n && line[e + 1] == line[e];
        if (shares && complete[e])
            broken("a complete row shares its line with the next row", e, "");
        if (!complete[e] && !shares && (e + 1 < n || final_newline))
            broken("a row cut short is not followed by the next row on its line", e, "");
    }
}

static char scratch[] = "/tmp/fuzz-h5-XXXXXX";

// The files of one input, all in the scratch directory made at the start.
static std::string in_scratch(const char *name) {
    return std::string(scratch) + "/" + name;
}

// The scratch directory and what the converter may leave in it go when the
// fuzzer exits normally; nothing outside it is ever written or removed.
static void remove_scratch() {
    for (const char *name : {"table.txt", "out.h5", "out.h5.part"})
        unlink(in_scratch(name).c_str());
    rmdir(scratch);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!mkdtemp(scratch))
        abort();
    atexit(remove_scratch);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string table = in_scratch("table.txt"), out = in_scratch("out.h5");
    FILE *f = fopen(table.c_str(), "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    std::string args[] = {
        "korvel-h5", "--no-progress", "--compression", "none", "--threads", "1", table, "-o", out};
    char *argv[9];
    for (int i = 0; i < 9; i++)
        argv[i] = &args[i][0];
    if (korvel_h5_main(9, argv) == 0)
        check_file(out, data, size);
    unlink(out.c_str());
    return 0;
}
