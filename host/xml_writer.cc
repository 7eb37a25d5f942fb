// xml_writer.cc - dump_chan_desr, the reader's channel description writer:
// the selected descriptions and dimension records as an XML file written
// with pugixml (which escapes every name), or the run's dump_error code.
//
//   <?xml version="1.0"?>
//   <channels>
//     <channel daq_name="B" desc="..." units="..."/>
//     <dimensions name="S" num="2">
//       <spectrum index="0" start="0" inc="1" ndata="3" groups="0" group_inc="0"/>
//       <image index="0" width="2" ... length="4"/>
//     </dimensions>
//   </channels>
#include <cstring>

#include <pugixml.hpp>

#include "host_internal.h"
#include "parse_chan_descr.h"

namespace standin {
namespace {

// What dump_chan_desr returns instead of writing; set per run.
int g_dump_error = 0;

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

void set_dump_error(int code) { g_dump_error = code; }

}  // namespace standin

// 0: written. Otherwise: the run's dump_error (nothing written), -1 for a
// mode other than DUMP_XML_FILE or no file name, -2 when the file cannot be
// written. `format`, `chan` and `text` select nothing in the XML form.
// Null list entries are skipped; a record's `num` entries are read from
// each of `params` and `iparams` that is set.
int dump_chan_desr(std::vector<chan_descr_2010 *> *vc, const char *file, int mode,
                   int, int, std::string *, std::vector<dim_params *> *dims) {
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
    if (!doc.save_file(file, "  ", pugi::format_default, pugi::encoding_utf8))
        return -2;
    return 0;
}
