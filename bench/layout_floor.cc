// layout_floor.cc - korvel-layout-floor: the least HDF5 itself takes to make
// the groups and datasets of a converted file.
//
//   korvel-layout-floor FILE.h5 COPY.h5
//
// It reads FILE.h5's groups and datasets (type, shape, limit and chunk
// shape of each) and then, timed, makes the same groups and the same
// empty datasets in COPY.h5 with the object headers korvel-h5 writes:
// no attributes, no dimension scales, no values, each object once (a
// second link to it is left out). What it prints is a floor for any
// converter that writes this layout with this HDF5 on this machine, so a
// goal for a whole conversion can be set beside it.
#include <hdf5.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Object {
    std::string path;
    bool group = false;
    hid_t type = -1;
    std::vector<hsize_t> dims, max, chunk;
};

// The shape, limit and chunk shape of a dataset, and a copy of its type.
bool read_dataset(hid_t file, Object &o) {
    hid_t d = H5Dopen2(file, o.path.c_str(), H5P_DEFAULT);
    if (d < 0)
        return false;
    hid_t space = H5Dget_space(d), dcpl = H5Dget_create_plist(d);
    int rank = H5Sget_simple_extent_ndims(space);
    bool ok = rank >= 0;
    if (ok) {
        o.dims.resize(rank), o.max.resize(rank);
        H5Sget_simple_extent_dims(space, o.dims.data(), o.max.data());
        if (H5Pget_layout(dcpl) == H5D_CHUNKED) {
            o.chunk.resize(rank);
            ok = H5Pget_chunk(dcpl, rank, o.chunk.data()) == rank;
        }
        o.type = H5Dget_type(d);
        ok = ok && o.type >= 0;
    }
    H5Pclose(dcpl);
    H5Sclose(space);
    H5Dclose(d);
    return ok;
}

struct Visit {
    hid_t file;
    std::vector<Object> objects;
    bool failed = false;
};

herr_t visit_one(hid_t, const char *name, const H5O_info_t *info, void *data) {
    Visit &v = *static_cast<Visit *>(data);
    if (std::string(name) == ".")
        return 0;
    if (info->type != H5O_TYPE_GROUP && info->type != H5O_TYPE_DATASET)
        return 0;
    Object o;
    o.path = name;
    o.group = info->type == H5O_TYPE_GROUP;
    if (!o.group && !read_dataset(v.file, o)) {
        std::fprintf(stderr, "korvel-layout-floor: cannot read the dataset %s\n", name);
        v.failed = true;
        return -1;
    }
    v.objects.push_back(std::move(o));
    return 0;
}

// Makes one object in `out`. Returns false when HDF5 refuses it.
bool make_object(hid_t out, const Object &o) {
    if (o.group) {
        hid_t g = H5Gcreate2(out, o.path.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        return g >= 0 && H5Gclose(g) >= 0;
    }
    hid_t space = H5Screate_simple((int)o.dims.size(), o.dims.data(), o.max.data());
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    if (!o.chunk.empty())
        H5Pset_chunk(dcpl, (int)o.chunk.size(), o.chunk.data());
    hid_t d = H5Dcreate2(out, o.path.c_str(), o.type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    bool ok = d >= 0 && H5Dclose(d) >= 0;
    H5Pclose(dcpl);
    H5Sclose(space);
    return ok;
}

// Makes every object in a new file. Returns the seconds taken, or -1.
double make_copy(const char *path, const std::vector<Object> &objects) {
    auto start = std::chrono::steady_clock::now();
    hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(fapl, H5F_LIBVER_V18, H5F_LIBVER_V18);
    hid_t out = H5Fcreate(path, H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    H5Pclose(fapl);
    if (out < 0)
        return -1;
    bool ok = true;
    for (const Object &o : objects)
        ok = ok && make_object(out, o);
    ok = H5Fclose(out) >= 0 && ok;
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return ok ? took.count() : -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: korvel-layout-floor FILE.h5 COPY.h5\n");
        return 2;
    }
    hid_t file = H5Fopen(argv[1], H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) {
        std::fprintf(stderr, "korvel-layout-floor: %s: cannot open as HDF5\n", argv[1]);
        return 2;
    }
    Visit v{file, {}};
    herr_t visited = H5Ovisit2(file, H5_INDEX_NAME, H5_ITER_INC, visit_one, &v, H5O_INFO_BASIC);
    H5Fclose(file);
    if (visited < 0 || v.failed)
        return 1;
    double seconds = make_copy(argv[2], v.objects);
    size_t groups = 0;
    for (const Object &o : v.objects) {
        groups += o.group;
        if (o.type >= 0)
            H5Tclose(o.type);
    }
    if (seconds < 0) {
        std::fprintf(stderr, "korvel-layout-floor: %s: cannot make the copy\n", argv[2]);
        return 1;
    }
    std::printf("%zu groups, %zu datasets: %.3f s\n", groups, v.objects.size() - groups, seconds);
    return 0;
}
