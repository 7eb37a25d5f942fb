// layout_floor.cc - korvel-layout-floor: the least HDF5 itself takes to make
// the groups and datasets of a converted file.
//
//   korvel-layout-floor FILE.h5 COPY.h5
//
// It reads FILE.h5's links, groups, datasets (type, shape, limit and chunk
// shape of each) and attributes, and then, timed, makes the same in
// COPY.h5 with the object headers korvel-h5 writes: every group, every
// empty dataset, every further link to an object, every attribute with
// its value, but no values of datasets and no dimension scales (the
// attributes holding object references are left out), with the best of
// three metadata cache sizes. What it prints is
// a floor for any converter that writes this layout with this HDF5 on this
// machine, so a goal for a whole conversion can be set beside it.
#include <hdf5.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Attribute {
    std::string name;
    hid_t type = -1, space = -1;
    std::vector<unsigned char> value;  // as read, in the file's type
};

struct Object {
    std::string path;
    std::string same_as;  // a further link: the path the object was made at
    bool group = false;
    hid_t type = -1;
    std::vector<hsize_t> dims, max, chunk;
    std::vector<Attribute> attributes;
};

herr_t read_attribute(hid_t obj, const char *name, const H5A_info_t *, void *data) {
    auto &list = *static_cast<std::vector<Attribute> *>(data);
    hid_t a = H5Aopen(obj, name, H5P_DEFAULT);
    if (a < 0)
        return -1;
    Attribute at;
    at.name = name;
    at.type = H5Aget_type(a);
    at.space = H5Aget_space(a);
    // Dimension scales' references point into FILE.h5: left out.
    bool reference = H5Tdetect_class(at.type, H5T_REFERENCE) > 0;
    hssize_t n = H5Sget_simple_extent_npoints(at.space);
    at.value.resize(H5Tget_size(at.type) * (size_t)(n > 0 ? n : 0));
    bool ok = reference || H5Aread(a, at.type, at.value.data()) >= 0;
    H5Aclose(a);
    if (reference || !ok) {
        H5Tclose(at.type), H5Sclose(at.space);
        return ok ? 0 : -1;
    }
    list.push_back(std::move(at));
    return 0;
}

bool read_attributes(hid_t file, Object &o) {
    hid_t obj = H5Oopen(file, o.path.c_str(), H5P_DEFAULT);
    if (obj < 0)
        return false;
    bool ok =
        H5Aiterate2(obj, H5_INDEX_CRT_ORDER, H5_ITER_INC, nullptr, read_attribute, &o.attributes) >=
            0 ||
        H5Aiterate2(obj, H5_INDEX_NAME, H5_ITER_INC, nullptr, read_attribute, &o.attributes) >= 0;
    H5Oclose(obj);
    return ok;
}

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
    std::map<haddr_t, std::string> made;  // object address: its first path
    bool failed = false;
};

herr_t visit_one(hid_t, const char *name, const H5L_info_t *link, void *data) {
    Visit &v = *static_cast<Visit *>(data);
    H5O_info_t info;
    if (link->type != H5L_TYPE_HARD ||
        H5Oget_info_by_name2(v.file, name, &info, H5O_INFO_BASIC, H5P_DEFAULT) < 0)
        return 0;
    if (info.type != H5O_TYPE_GROUP && info.type != H5O_TYPE_DATASET)
        return 0;
    Object o;
    o.path = name;
    auto first = v.made.emplace(info.addr, name);
    if (!first.second) {
        o.same_as = first.first->second;
    } else {
        o.group = info.type == H5O_TYPE_GROUP;
        if ((!o.group && !read_dataset(v.file, o)) || !read_attributes(v.file, o)) {
            std::fprintf(stderr, "korvel-layout-floor: cannot read %s\n", name);
            v.failed = true;
            return -1;
        }
    }
    v.objects.push_back(std::move(o));
    return 0;
}

bool make_attributes(hid_t obj, const Object &o) {
    bool ok = obj >= 0;
    for (const Attribute &at : o.attributes) {
        hid_t a =
            ok ? H5Acreate2(obj, at.name.c_str(), at.type, at.space, H5P_DEFAULT, H5P_DEFAULT) : -1;
        ok = a >= 0 && H5Awrite(a, at.type, at.value.data()) >= 0 && H5Aclose(a) >= 0;
    }
    return ok;
}

// Makes one object, or one further link to it, in `out`. Returns false
// when HDF5 refuses it.
bool make_object(hid_t out, const Object &o) {
    if (!o.same_as.empty())
        return H5Lcreate_hard(out, o.same_as.c_str(), out, o.path.c_str(), H5P_DEFAULT,
                              H5P_DEFAULT) >= 0;
    if (o.group) {
        hid_t g = H5Gcreate2(out, o.path.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        bool ok = make_attributes(g, o);
        return g >= 0 && H5Gclose(g) >= 0 && ok;
    }
    hid_t space = H5Screate_simple((int)o.dims.size(), o.dims.data(), o.max.data());
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    if (!o.chunk.empty())
        H5Pset_chunk(dcpl, (int)o.chunk.size(), o.chunk.data());
    hid_t d = H5Dcreate2(out, o.path.c_str(), o.type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    bool ok = make_attributes(d, o);
    ok = d >= 0 && H5Dclose(d) >= 0 && ok;
    H5Pclose(dcpl);
    H5Sclose(space);
    return ok;
}

// File access with a metadata cache of `bytes` and HDF5 1.8 object headers.
hid_t file_access(size_t bytes) {
    hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    H5AC_cache_config_t mdc;
    mdc.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    H5Pget_mdc_config(fapl, &mdc);
    mdc.set_initial_size = true;
    mdc.initial_size = mdc.max_size = bytes;
    mdc.min_size = std::min(mdc.min_size, bytes);
    H5Pset_mdc_config(fapl, &mdc);
    H5Pset_libver_bounds(fapl, H5F_LIBVER_V18, H5F_LIBVER_V18);
    return fapl;
}

// Makes every object in a new file with a metadata cache of `cache`
// bytes. Returns the seconds taken, or -1.
double make_copy(const char *path, const std::vector<Object> &objects, size_t cache) {
    auto start = std::chrono::steady_clock::now();
    hid_t fapl = file_access(cache);
    hid_t out = H5Fcreate(path, H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    H5Pclose(fapl);
    if (out < 0)
        return -1;
    bool ok = make_attributes(out, objects.front());
    for (size_t i = 1; i < objects.size(); i++)
        ok = ok && make_object(out, objects[i]);
    ok = H5Fclose(out) >= 0 && ok;
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return ok ? took.count() : -1;
}

// The fastest copy of the sizes of metadata cache that were fastest on this
// project's layouts: a small cache is written out and read back, a large
// one costs its memory's first touch. Returns the seconds, or -1.
double fastest_copy(const char *path, const std::vector<Object> &objects, size_t *best_kib) {
    double seconds = -1;
    for (size_t kib : {32, 64, 128}) {
        double s = make_copy(path, objects, kib << 10);
        if (s < 0)
            return -1;
        if (seconds < 0 || s < seconds)
            seconds = s, *best_kib = kib;
    }
    return seconds;
}

// Lets go of what was read, counting groups, further links and attributes.
void release(std::vector<Object> &objects, size_t *groups, size_t *links, size_t *attributes) {
    for (Object &o : objects) {
        *groups += o.group, *links += !o.same_as.empty();
        for (Attribute &at : o.attributes) {
            ++*attributes;
            H5Dvlen_reclaim(at.type, at.space, H5P_DEFAULT, at.value.data());
            H5Tclose(at.type), H5Sclose(at.space);
        }
        if (o.type >= 0)
            H5Tclose(o.type);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: korvel-layout-floor FILE.h5 COPY.h5\n");
        return 2;
    }
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // its own messages name the file
    hid_t file = H5Fopen(argv[1], H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) {
        std::fprintf(stderr, "korvel-layout-floor: %s: cannot open as HDF5\n", argv[1]);
        return 2;
    }
    Visit v{file, {}, {}};
    v.objects.emplace_back();  // the root group: its attributes
    v.objects.back().path = "/";
    bool ok = read_attributes(file, v.objects.back()) &&
              H5Lvisit(file, H5_INDEX_NAME, H5_ITER_INC, visit_one, &v) >= 0 && !v.failed;
    size_t best = 0, groups = 0, links = 0, attributes = 0;
    double seconds = ok ? fastest_copy(argv[2], v.objects, &best) : -1;
    release(v.objects, &groups, &links, &attributes);
    H5Fclose(file);
    if (seconds < 0) {
        std::fprintf(stderr, "korvel-layout-floor: %s: cannot make the copy of %s\n", argv[2],
                     argv[1]);
        return 1;
    }
    std::printf("%zu groups, %zu datasets, %zu further links, %zu attributes: %.3f s "
                "(metadata cache %zu KiB)\n",
                groups, v.objects.size() - 1 - groups - links, links, attributes, seconds, best);
    return 0;
}
