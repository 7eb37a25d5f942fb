// xml_writer.cc - dump_chan_desr, the reader's channel description writer:
// the selected descriptions and dimension records as an XML file made with
// pugixml (which escapes every name), or the run's dump_error code. A file
// that cannot be written whole is reported with its name and the system's
// reason, and remembered for korvel-replay's exit status.
//
//   <?xml version="1.0"?>
//   <channels>
//     <channel daq_name="B" desc="..." units="..."/>
//     <dimensions name="S" num="2">
//       <spectrum index="0" start="0" inc="1" ndata="3" groups="0" group_inc="0"/>
//       <image index="0" width="2" ... length="4"/>
//     </dimensions>
//   </channels>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <pugixml.hpp>

#include "host_internal.h"
#include "parse_chan_descr.h"

namespace standin {
namespace {

// What dump_chan_desr returns instead of writing; set per run.
int g_dump_error = 0;
// The first write failure of this run, "FILE: reason"; "" while none.
std::string g_dump_failure;

// errno after a failed call, never 0 (some libraries fail without it).
int last_error() {
    return errno != 0 ? errno : EIO;
}

// Write `text` to `file` whole: 0, or the errno of the first failure of
// opening, writing or closing (a full disk often shows only at the close).
// pugixml's own save_file says only whether it worked, not why.
int write_whole_file(const char *file, const std::string &text) {
    errno = 0;
    FILE *f = fopen(file, "wb");
    if (!f)
        return last_error();
    int err = 0;
    errno = 0;
    if (fwrite(text.data(), 1, text.size(), f) != text.size())
        err = last_error();
    errno = 0;
    if (fclose(f) != 0 && err == 0)
        err = last_error();
    return err;
}

void add_frame_fields(pugi::xml_node node, const zarn_image_ext_frame_head &h) {
    const unsigned char *base = reinterpret_cast<const unsigned char *>(&h);
    for (const FrameField &f : kFrameFieldTable) {
        pugi::xml_attribute a = node.append_attribute(f.name);
        if (f.kind == FIELD_INT) {
            int32_t v;
            memcpy(&v, base + f.offset, 4);
            a.set_value(static_cast<int>(v));
        } else if (f.kind == FIELD_UNSIGNED) {
            uint32_t v;
            memcpy(&v, base + f.offset, 4);
            a.set_value(static_cast<unsigned>(v));
        } else {
            float v;
            memcpy(&v, base + f.offset, 4);
            a.set_value(v);  // 9 significant digits: the float exactly
        }
    }
}

}  // namespace

void set_dump_error(int code) {
    g_dump_error = code;
    g_dump_failure.clear();
}

const std::string &dump_failure() {
    return g_dump_failure;
}

}  // namespace standin

// 0: written. Otherwise: the run's dump_error (nothing written), -1 for a
// mode other than DUMP_XML_FILE or no file name, -2 when the file cannot be
// written whole (said on standard error with the file's name and the
// reason). `format`, `chan` and `text` select nothing in the XML form.
// Null list entries are skipped; a record's `num` entries are read from
// each of `params` and `iparams` that is set.
int dump_chan_desr(std::vector<chan_descr_2010 *> *vc, const char *file, int mode, int, int,
                   std::string *, std::vector<dim_params *> *dims) {
    if (standin::g_dump_error != 0)
        return standin::g_dump_error;
    if (mode != DUMP_XML_FILE || !file)
        return -1;

    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("channels");
    if (vc) {
        for (const chan_descr_2010 *d : *vc) {
            if (!d)
                continue;
            pugi::xml_node c = root.append_child("channel");
            c.append_attribute("daq_name") =
                std::string(d->daq_name, strnlen(d->daq_name, sizeof d->daq_name)).c_str();
            c.append_attribute("desc") = d->desc.c_str();
            c.append_attribute("units") = d->units.c_str();
        }
    }
    if (dims) {
        for (const dim_params *p : *dims) {
            if (!p)
                continue;
            pugi::xml_node dn = root.append_child("dimensions");
            dn.append_attribute("name") = p->name ? p->name : "";
            dn.append_attribute("num") = p->num;
            for (int k = 0; p->params && k < p->num; k++) {
                const zarn_spect_header_2010 &s = p->params[k];
                pugi::xml_node e = dn.append_child("spectrum");
                e.append_attribute("index") = k;
                e.append_attribute("start") = s.start;
                e.append_attribute("inc") = s.inc;
                e.append_attribute("ndata") = s.ndata;
                e.append_attribute("groups") = s.groups;
                e.append_attribute("group_inc") = s.group_inc;
            }
            for (int k = 0; p->iparams && k < p->num; k++) {
                pugi::xml_node e = dn.append_child("image");
                e.append_attribute("index") = k;
                standin::add_frame_fields(e, p->iparams[k]);
            }
        }
    }
    std::ostringstream text;
    doc.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
    if (int err = standin::write_whole_file(file, text.str())) {
        std::string failure = std::string(file) + ": " + strerror(err);
        fprintf(stderr, "dump_chan_desr: cannot write the XML description %s\n", failure.c_str());
        if (standin::g_dump_failure.empty())
            standin::g_dump_failure = failure;
        return -2;
    }
    return 0;
}
