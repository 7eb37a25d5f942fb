// korvel_cells.cc - the cell writers: markers, single values and
// name-value blocks, EqData, unknown codes, spectra and camera images.
//
// A cell is built in the output buffer of korvel_format; the numbers are
// formatted there in place. Messages go to standard output.
#include "korvel_cells.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eq_data.h"
#include "event_util.h"
#include "korvel_format.h"
#include "korvel_imfile.h"
#include "korvel_evids.h"
#include "korvel_state.h"

/* Channel i's values are written in integer form (-fti). */
static inline bool channel_converted(int i) {
    return do_conv && do_conv[i];
}

void cell_marker(int i, int mpulse) {
    out_bytes("1\t", 2);
    evids_record(i, mpulse);
}

void cell_unknown() {
    if (opt.hdf5mode)
        out_bytes("[]", 2);
    else
        out_bytes("Not found", 9);
}

/* ---- Data type 2 ---- */

/* One value: "%f" or the integer form; brackets in HDF5 mode, a tab after
 * it in tab mode. */
static void put_single(float dt, bool conv) {
    char *p = out_reserve(FMT_MAX + 4);
    if (opt.hdf5mode) {
        *p++ = '[';
        *p++ = '[';
    }
    p = conv ? fmt_int(p, float_bits(dt)) : fmt_fixed(p, dt);
    if (opt.hdf5mode) {
        *p++ = ']';
        *p++ = ']';
    } else {
        *p++ = '\t';
    }
    out_commit(p);
}

/* Room for one item: "[", the text (a name cut to 255 characters, ":",
 * the value), "]" and a tab. */
#define ITEM_ROOM (4 + 256 + FMT_MAX)

/* Item text at p: "name:value", or the value alone with -nonvn, cut to
 * 255 characters. The value is formatted in place after the name; what
 * lies beyond the cut is left to be overwritten. */
static char *put_item_text(char *p, const char *nm, float dt, bool conv) {
    char *start = p;
    if (!opt.nonvn) {
        const char *name = nm ? nm : "(null)";
        size_t n = strnlen(name, 255);
        memcpy(p, name, n);
        p += n;
        if (n < 255)
            *p++ = ':';
    }
    p = conv ? fmt_int(p, float_bits(dt)) : fmt_exp(p, dt, 2);
    return p - start > 255 ? start + 255 : p;
}

static void put_name_value_block(zarn_daq_getdata *data, int i, int nitems) {
    bool conv = channel_converted(i);
    bool pushed = false;  // the files were pushed out at a missing name
    out_bytes(opt.hdf5mode ? "[" : "\t{", opt.hdf5mode ? 1 : 2);
    for (int k = 0; k < nitems; k++) {
        char *p = out_reserve(ITEM_ROOM);
        *p++ = '[';
        const char *nm = nullptr;
        float dt = 0;
        data->GetValNamChan(&nm, &dt, k);
        if (!conv && !nm) {
            // A missing name is the reader's fault. At the first one of the
            // block everything written so far, the table up to this item
            // included, is pushed out with the message, so that the files
            // show how far the run got should the reader fail next. A
            // reader that survived one keeps its further messages in the
            // buffers: pushing out every one made a block of 16 Mi items
            // without names cost two system calls an item (two minutes).
            puts("nm is NULL");
            if (!pushed) {
                out_commit(p);
                out_flush();
                fflush(nullptr);
                p = out_reserve(ITEM_ROOM);
                pushed = true;
            }
        }
        p = put_item_text(p, nm, dt, conv);
        *p++ = ']';
        if (k < nitems - 1 && !opt.hdf5mode)
            *p++ = '\t';
        out_commit(p);
    }
    out_char(opt.hdf5mode ? ']' : '}');
}

/* The hottest cell: a row may hold a thousand single values. Built with
 * -fstack-protector-strong (as the Debian package is), every function
 * that hands a local's address to the reader gets a stack canary. This
 * frame holds no array, only scalars that the reader's queries fill in,
 * so the canary would guard nothing here; it cost 4 % of the
 * instructions of a single-value cell. */
#if defined(__has_attribute)
#if __has_attribute(no_stack_protector)
__attribute__((no_stack_protector))
#endif
#endif
void cell_value(zarn_daq_getdata *data, int i, int mpulse) {
    evids_record(i, mpulse);
    int nitems = 0;
    if (data->GetValNamPrm(nullptr, nullptr, nullptr, &nitems, nullptr))
        put_single(data->GetSingle(0), channel_converted(i));
    else
        put_name_value_block(data, i, nitems);
}

/* ---- Data type 5 ---- */

void cell_eqdata(zarn_daq_getdata *data, int i, int mpulse, zarn_serv_block_subhead_2010 *chhd) {
    evids_record(i, mpulse);
    EqData *eqdata = nullptr;
    int rc = zarn_daq_to_eqdata(nullptr, data->GetServBlockHead_2010(), chhd, &eqdata, 0);
    // A reader that claims success without a container is a failure too.
    if (rc != 0 || !eqdata) {
        puts("!!!Failed to extract data of type EqData!!!");
        return;
    }
    const char *type = eqdata->type_string(eqdata->type());
    printf("EqData type %s\n", type ? type : "(null)");
    print_data_type_2010(chhd, 1, 0);
}

/* ---- Data type 3 ---- */

/* Two ROI lines when the reader has a region of interest; the value in
 * parentheses is the mean of the projection the query hands back. */
static void print_roi_summary(zarn_daq_getdata *data, const char *channml) {
    void *blk = nullptr;
    float start = 0, inc = 0;
    float *mean = nullptr;
    int ndata = 0;
    if (data->GetRoiPar(&blk, &start, &inc, &mean, &ndata, 0) != 0 || !blk)
        return;
    const zarn_image_roi1 *roi = (const zarn_image_roi1 *)blk;
    double avg = 0;
    if (mean && ndata > 0) {
        for (int k = 0; k < ndata; k++)
            avg += mean[k];
        avg /= ndata;
    }
    printf("ROI %s\n", channml ? channml : "(null)");
    printf("IMAGE %dx%d MEAN: %f (%f) MAX: %f  SIGMA: %f COFM: %f start:%f inc:%f ndata:%d\n",
           roi->roi_param.w, roi->roi_param.h, roi->stat.stat1.mean, avg, roi->stat.stat1.max,
           roi->stat.stat1.sig, roi->stat.stat1.cofm, roi->stat.start1, roi->stat.inc1,
           roi->stat.ndata1);
}

/* Statistics of a member: " [j]:%e" per set bit, in increasing j, with a
 * blank after each piece in form A (member without data), then one blank. */
static void put_statistics(const zarn_spect_statistics_2010 *stat, bool form_a) {
    if (!stat || stat->mask == 0 || opt.nostat)
        return;
    for (int j = 0; j < 32; j++) {
        if (!(stat->mask & (1u << j)))
            continue;
        char *p = out_reserve(2 * FMT_MAX);
        *p++ = ' ';
        *p++ = '[';
        p = fmt_int(p, j);
        *p++ = ']';
        *p++ = ':';
        p = fmt_exp(p, stat->val[j], 6);
        if (form_a)
            *p++ = ' ';
        out_commit(p);
    }
    out_char(' ');
}

// Longest value with the blank after it: "-2147483648 " in integer form.
#define VALUE_ROOM 12
// Values fetched from the reader, then formatted, in one go: the
// formatting runs as a tight loop of its own, not between host calls.
#define VALUES_PER_RUN 256

/* Values v[0..n-1] at p, each followed by one blank: "Invalid" for
 * infinities and NaNs, else the integer form or "%.e". */
static char *put_value_run(char *p, const float *v, int n, bool conv) {
    for (int k = 0; k < n; k++) {
        if (float_invalid(v[k])) {
            memcpy(p, "Invalid ", 8);
            p += 8;
            continue;
        }
        p = conv ? fmt_int(p, float_bits(v[k])) : fmt_exp(p, v[k], 0);
        *p++ = ' ';
    }
    return p;
}

/* Values 0..count-1 of member ch, one blank between them: the blank after
 * the last one is taken back. */
static void put_spectrum_values(zarn_daq_getdata *data, int ch, int count, bool conv) {
    float v[VALUES_PER_RUN];
    for (int k = 0; k < count;) {
        int n = count - k > VALUES_PER_RUN ? VALUES_PER_RUN : count - k;
        for (int m = 0; m < n; m++)
            v[m] = data->GetSpectVal(ch, k + m);
        char *p = put_value_run(out_reserve((size_t)n * VALUE_ROOM), v, n, conv);
        k += n;
        out_commit(k < count ? p : p - 1);
    }
}

/* "ALL ZEROS" when no value of member ch differs from ±0 (a NaN differs). */
static void check_all_zeros(zarn_daq_getdata *data, int ch, int lndata, unsigned evid) {
    for (int k = 0; k < lndata; k++) {
        if (!(data->GetSpectVal(ch, k) == 0.0f))
            return;
    }
    printf("ALL ZEROS for %d total_data: %d st: %d\n", (int)evid, lndata, 0);
}

/* Grow a record's image headers to `num` entries, keeping the old ones,
 * so that both arrays of the record always hold `num` entries. */
static void grow_image_headers(dim_params *ps, int old_num) {
    if (!ps->iparams)
        return;
    zarn_image_ext_frame_head *h =
        (zarn_image_ext_frame_head *)realloc(ps->iparams, (size_t)ps->num * sizeof(*h));
    if (!h) {
        // Without room for num headers the old ones cannot stay: the next
        // image of the channel captures anew.
        free(ps->iparams);
        ps->iparams = nullptr;
        return;
    }
    int keep = old_num > 0 ? old_num : 0;
    memset(h + keep, 0, (size_t)(ps->num - keep) * sizeof(*h));
    ps->iparams = h;
}

/* Keep member ch's parameters for the XML description. */
static void capture_spectrum_params(int i, int ch, int nmemb, const zarn_spect_header_2010 &hdr) {
    if (!opt.dumpxml || !spectprms)
        return;
    dim_params *ps = &spectprms[i];
    if (ps->num < nmemb) {
        int old_num = ps->num;
        free(ps->params);
        ps->num = nmemb;
        ps->params =
            (zarn_spect_header_2010 *)calloc((size_t)nmemb, sizeof(zarn_spect_header_2010));
        grow_image_headers(ps, old_num);
    } else if (!ps->params) {
        ps->params =
            (zarn_spect_header_2010 *)calloc((size_t)ps->num, sizeof(zarn_spect_header_2010));
    }
    if (ps->params)
        ps->params[ch] = hdr;
}

/* One member with data: "[" statistics values "]". */
static void put_member(zarn_daq_getdata *data, int i, int ch, int nmemb, unsigned evid, int samples,
                       const zarn_spect_header_2010 &hdr, const zarn_spect_statistics_2010 *stat) {
    // ndata * groups as the reader's 32-bit product, wrapping on overflow.
    int lndata = hdr.groups < 2 ? hdr.ndata : (int)((uint32_t)hdr.ndata * (uint32_t)hdr.groups);
    capture_spectrum_params(i, ch, nmemb, hdr);
    out_char('[');
    if (opt.zerocheck)
        check_all_zeros(data, ch, lndata, evid);
    put_statistics(stat, false);
    int count = opt.dallval || lndata < samples ? lndata : samples;
    put_spectrum_values(data, ch, count, channel_converted(i));
    if (ch == nmemb - 1 || opt.hdf5mode)
        out_char(']');
    else
        out_bytes("]\t", 2);
}

void cell_spectrum(zarn_daq_getdata *data, int i, unsigned evid, int mpulse, const char *channml,
                   int samples) {
    if (data->Nmemb == 1)
        print_roi_summary(data, channml);
    int nmemb = data->Nmemb;
    evids_record(i, mpulse);
    out_char(opt.hdf5mode ? '[' : '{');
    for (int ch = 0; ch < nmemb; ch++) {
        zarn_spect_header_2010 hdr = {0, 0, 0, 0, 0};
        zarn_spect_statistics_2010 *stat = nullptr;
        if (data->GetSpectPar(&hdr.start, &hdr.inc, nullptr, &hdr.ndata, ch, &hdr.groups,
                              &hdr.group_inc, &stat) != 0) {
            out_str(opt.hdf5mode ? "[]," : "No data\t,");
        } else if (hdr.ndata == 0) {
            put_statistics(stat, true);
            out_str(opt.hdf5mode ? "[]" : "Not found\t");
        } else {
            put_member(data, i, ch, nmemb, evid, samples, hdr, stat);
        }
    }
    out_char(opt.hdf5mode ? ']' : '}');
}

/* ---- Data type 4 ---- */

static inline unsigned pixel_at(const unsigned char *buf, int k, int bpp) {
    if (bpp == 1)
        return buf[k];
    uint16_t w;  // the machine's byte order, after the swap
    memcpy(&w, buf + 2 * (size_t)k, 2);
    return w;
}

/* Pixels k0..k1-1 from the preformatted texts, one 8-byte copy each. */
static char *put_pixel_run(char *p, const pixel_text *tab, const unsigned char *buf, int k0, int k1,
                           int bpp) {
    if (bpp == 1) {
        for (int k = k0; k < k1; k++) {
            const pixel_text &t = tab[buf[k]];
            memcpy(p, t.s, 8);
            p += t.n;
        }
    } else {
        for (int k = k0; k < k1; k++) {
            const pixel_text &t = tab[pixel_at(buf, k, 2)];
            memcpy(p, t.s, 8);
            p += t.n;
        }
    }
    return p;
}

/* The same, formatted one by one, when the tables could not be made. */
static char *put_pixel_run_slow(char *p, const unsigned char *buf, int k0, int k1, int bpp) {
    for (int k = k0; k < k1; k++) {
        if (opt.hdf5mode)
            *p++ = ' ';
        p = fmt_int(p, (int)pixel_at(buf, k, bpp));
        if (!opt.hdf5mode)
            *p++ = '\t';
    }
    return p;
}

/* Pixels of one or two bytes as decimal numbers: in tab mode each followed
 * by a tab, in HDF5 mode one blank between them. */
static void put_pixels(const unsigned char *buf, int pnts, int bpp) {
    int k = 0;
    if (opt.hdf5mode && pnts > 0) {  // the first pixel has no blank before it
        char *p = out_reserve(FMT_MAX);
        out_commit(fmt_int(p, (int)pixel_at(buf, 0, bpp)));
        k = 1;
    }
    const pixel_text *tab = opt.hdf5mode ? pixel_texts_blank() : pixel_texts_tab();
    const int chunk = 65536;
    while (k < pnts) {
        int k1 = pnts - k > chunk ? k + chunk : pnts;
        char *p = out_reserve((size_t)(k1 - k) * 7);
        p = tab ? put_pixel_run(p, tab, buf, k, k1, bpp) : put_pixel_run_slow(p, buf, k, k1, bpp);
        out_commit(p);
        k = k1;
    }
}

/* Hand the image to the file writer, unless its geometry asks for more
 * bytes than the reader delivered. */
static void dump_image_file(int i, int nx, int ny, int bpp, int leni, unsigned char *buf,
                            time_stamp *tm, unsigned num) {
    int64_t bytes = image_size_bytes(nx, ny, bpp);
    if (bytes < 0 || bytes > leni || write_image_to_file(nx, ny, bpp, buf, tm, num, chans[i]) != 0)
        printf("Failed to dump image %s to file\n", chans[i]);
}

/* Keep the frame header of the latest image for the XML description. */
static void capture_image_header(zarn_daq_getdata *data, int i) {
    if (!opt.dumpxml || !spectprms)
        return;
    dim_params *ps = &spectprms[i];
    if (ps->num <= 0) {
        free(ps->iparams);
        ps->num = 1;
        ps->iparams = (zarn_image_ext_frame_head *)calloc(1, sizeof(zarn_image_ext_frame_head));
    } else if (!ps->iparams) {
        ps->iparams =
            (zarn_image_ext_frame_head *)calloc((size_t)ps->num, sizeof(zarn_image_ext_frame_head));
    }
    const zarn_image_ext_frame_head *hdr = data->GetImageHeader();
    if (ps->iparams && hdr)
        memcpy(&ps->iparams[0], hdr, sizeof(*hdr));
}

void cell_image(zarn_daq_getdata *data, int i, int mpulse) {
    evids_record(i, mpulse);
    unsigned num = 0, tup = 0, tlow = 0;
    int status = 0;  // asked for with the time, not used
    data->GetEventInfo(&num, nullptr, nullptr, &tup, &tlow, &status, nullptr);

    int nframe = 0, compr = 0, bpp = 0, leni = 0;
    if (data->GetImagePar(&nframe, &compr, &bpp, &leni) != 0) {
        out_str(opt.hdf5mode ? "[]" : "No Image\t");
        return;
    }
    int xstart = 0, xinc = 0, nx = 0, ystart = 0, yinc = 0, ny = 0;
    if (data->GetImageSize(&xstart, &xinc, &nx, &ystart, &yinc, &ny) != leni) {
        out_str(opt.hdf5mode ? "[]" : "Invalid Image\t");
        return;
    }
    unsigned char *buf = data->GetImage();
    if (!buf && leni > 0) {  // the reader promised leni bytes and gave none
        out_str(opt.hdf5mode ? "[]" : "No Image\t");
        return;
    }
    time_stamp tm = {tup, tlow};
    if (opt.imdump)
        dump_image_file(i, nx, ny, bpp, leni, buf, &tm, num);
    capture_image_header(data, i);

    if (bpp == 1 || bpp == 2) {
        if (bpp == 2 && leni / 2 > 0)
            zarn_swap2(buf, buf, leni / 2);
        out_str(opt.hdf5mode ? "[[" : "[");
        put_pixels(buf, leni / bpp, bpp);
        out_str(opt.hdf5mode ? "]]" : "]");
    } else if (bpp != 3 && bpp != 4) {
        printf("Invalid bpp:%d for %s\n", bpp, chans[i]);
    }
}
