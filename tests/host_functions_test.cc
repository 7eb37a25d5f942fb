// host_functions_test.cc - the reader's free functions as the stand-in
// gives them (type names, dates, byte swap) and the XML description file
// that dump_chan_desr writes, read back with pugixml, or its failures.
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "eq_data.h"
#include "event_util.h"
#include "parse_chan_descr.h"
#include "replay_harness.h"
#include "standin.h"

TEST(HostFunctions, EventTypeNames) {
    EXPECT_STREQ("NONE", event_name_itoa(0));
    EXPECT_STREQ("NORMAL", event_name_itoa(1));
    EXPECT_STREQ("CALIB", event_name_itoa(2));
    EXPECT_STREQ("PEDESTAL", event_name_itoa(3));
    EXPECT_STREQ("TEST", event_name_itoa(4));
    EXPECT_STREQ("TYPE5", event_name_itoa(5));
    EXPECT_STREQ("TYPE7", event_name_itoa(7));
    EXPECT_STREQ("TYPE-1", event_name_itoa(-1));
    EXPECT_STREQ("TYPE-2147483648", event_name_itoa(INT_MIN));
}

TEST(HostFunctions, EqDataTypeNames) {
    EqData eq{};
    const char *want[] = {"NULL", "INT", "FLOAT", "DOUBLE", "STRING", "ARRAY"};
    for (int c = 0; c < 6; c++)
        EXPECT_STREQ(want[c], eq.type_string(c));
    EXPECT_STREQ("UNKNOWN", eq.type_string(6));
    EXPECT_STREQ("UNKNOWN", eq.type_string(-1));
}

TEST(HostFunctions, IsoDates) {
    char text[64];
    EXPECT_STREQ("1970-01-01T00:00:00Z", create_isodate_from_sec(0, text, 1));
    EXPECT_STREQ("2038-01-19T03:14:08Z", create_isodate_from_sec(2147483648u, text, 1));
    EXPECT_STREQ("2106-02-07T06:28:15Z", create_isodate_from_sec(4294967295u, text, 1));
    EXPECT_STREQ("2001-09-09T01:46:40Z", create_isodate_from_sec(1000000000u, text, 1));

    // Flag 0: local time, without the "Z". A zone two hours east of UTC.
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "KVL-2", 1);
    tzset();
    EXPECT_STREQ("1970-01-01T02:00:00", create_isodate_from_sec(0, text, 0));
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(HostFunctions, SwapTwoBytes) {
    unsigned char buf[5] = {1, 2, 3, 4, 5};
    zarn_swap2(buf, buf, 2);  // in place; the odd last byte stays
    const unsigned char want[5] = {2, 1, 4, 3, 5};
    EXPECT_EQ(0, memcmp(want, buf, 5));
    unsigned char src[4] = {0xff, 0xfe, 0x01, 0x02}, dst[4] = {9, 9, 9, 9};
    zarn_swap2(src, dst, 1);
    EXPECT_EQ(0xfe, dst[0]);
    EXPECT_EQ(0xff, dst[1]);
    EXPECT_EQ(9, dst[2]);  // only n words
    zarn_swap2(src, dst, 0);
    zarn_swap2(src, dst, -3);
    EXPECT_EQ(9, dst[2]);
}

namespace {

chan_descr_2010 descr(const char *name, const char *desc, const char *units) {
    chan_descr_2010 d;
    memset(d.daq_name, 0, sizeof d.daq_name);
    strncpy(d.daq_name, name, sizeof d.daq_name - 1);
    d.desc = desc;
    d.units = units;
    return d;
}

}  // namespace

TEST(HostXml, WritesDescriptionsAndDimensions) {
    std::string dir = make_temp_dir();
    std::string file = dir + "/d.xml";
    chan_descr_2010 b = descr("B<&>\"", "beam \"current\" & <more>", "mA");
    chan_descr_2010 a = descr("A", "", "");
    std::vector<chan_descr_2010 *> vc = {&b, &a};

    zarn_spect_header_2010 sp[2] = {{0.5f, 0.1f, 3, 0, 0.0f}, {-1.0f, 2.0f, 10, 3, 0.25f}};
    dim_params spect{"S", 2, sp, nullptr};
    zarn_image_ext_frame_head ih{};
    ih.width = 2;
    ih.height = 3;
    ih.bpp = 2;
    ih.frame = 4000000000u;
    ih.event = 7;
    ih.scale_x = 0.1f;
    ih.image_rotation = -90.0f;
    ih.ispare4 = -5;
    ih.length = 12;
    dim_params cam{"CAM", 1, nullptr, &ih};
    std::vector<dim_params *> dims = {&spect, &cam};

    standin::set_dump_error(0);
    ASSERT_EQ(0, dump_chan_desr(&vc, file.c_str(), DUMP_XML_FILE, ZARN_FORMAT, -1, nullptr, &dims));
    std::string text = read_file(file);
    EXPECT_EQ(0u, text.find("<?xml version=\"1.0\"?>\n<channels>\n  <channel ")) << text;

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(file.c_str()));
    pugi::xml_node root = doc.child("channels");
    ASSERT_TRUE(root);
    std::vector<pugi::xml_node> kids(root.begin(), root.end());
    ASSERT_EQ(4u, kids.size());
    EXPECT_STREQ("channel", kids[0].name());
    EXPECT_STREQ("B<&>\"", kids[0].attribute("daq_name").value());  // escaped, read back
    EXPECT_STREQ("beam \"current\" & <more>", kids[0].attribute("desc").value());
    EXPECT_STREQ("mA", kids[0].attribute("units").value());
    EXPECT_STREQ("A", kids[1].attribute("daq_name").value());
    EXPECT_TRUE(kids[1].attribute("desc"));
    EXPECT_STREQ("", kids[1].attribute("desc").value());

    EXPECT_STREQ("dimensions", kids[2].name());
    EXPECT_STREQ("S", kids[2].attribute("name").value());
    EXPECT_EQ(2, kids[2].attribute("num").as_int());
    std::vector<pugi::xml_node> sps(kids[2].begin(), kids[2].end());
    ASSERT_EQ(2u, sps.size());
    EXPECT_STREQ("spectrum", sps[1].name());
    EXPECT_EQ(1, sps[1].attribute("index").as_int());
    EXPECT_EQ(-1.0f, sps[1].attribute("start").as_float());
    EXPECT_EQ(2.0f, sps[1].attribute("inc").as_float());
    EXPECT_EQ(10, sps[1].attribute("ndata").as_int());
    EXPECT_EQ(3, sps[1].attribute("groups").as_int());
    EXPECT_EQ(0.25f, sps[1].attribute("group_inc").as_float());
    EXPECT_EQ(0.1f, sps[0].attribute("inc").as_float());  // the float exactly
    EXPECT_EQ(0.5f, sps[0].attribute("start").as_float());

    EXPECT_STREQ("CAM", kids[3].attribute("name").value());
    EXPECT_EQ(1, kids[3].attribute("num").as_int());
    pugi::xml_node img = kids[3].child("image");
    ASSERT_TRUE(img);
    EXPECT_FALSE(kids[3].child("spectrum"));
    EXPECT_EQ(0, img.attribute("index").as_int());
    const char *fields[] = {
        "width",   "height",  "aoi_width",   "aoi_height", "x_start",        "y_start",
        "bpp",     "ebitpp",  "hbin",        "vbin",       "source_format",  "image_format",
        "frame",   "event",   "scale_x",     "scale_y",    "image_rotation", "fspare2",
        "fspare3", "fspare4", "image_flags", "ispare2",    "ispare3",        "ispare4",
        "length"};
    int n = 0;
    for (pugi::xml_attribute at = img.first_attribute(); at; at = at.next_attribute())
        n++;
    EXPECT_EQ(26, n);  // index and the 25 fields
    for (const char *f : fields)
        EXPECT_TRUE(img.attribute(f)) << f;
    EXPECT_EQ(2, img.attribute("width").as_int());
    EXPECT_EQ(3, img.attribute("height").as_int());
    EXPECT_EQ(2, img.attribute("bpp").as_int());
    EXPECT_EQ(4000000000u, img.attribute("frame").as_uint());
    EXPECT_EQ(7u, img.attribute("event").as_uint());
    EXPECT_EQ(0.1f, img.attribute("scale_x").as_float());
    EXPECT_EQ(-90.0f, img.attribute("image_rotation").as_float());
    EXPECT_EQ(-5, img.attribute("ispare4").as_int());
    EXPECT_EQ(12, img.attribute("length").as_int());
    EXPECT_EQ(0, img.attribute("hbin").as_int());
}

TEST(HostXml, EmptyListsAndErrors) {
    std::string dir = make_temp_dir();
    std::string file = dir + "/e.xml";
    std::vector<chan_descr_2010 *> vc;
    std::vector<dim_params *> dims;
    standin::set_dump_error(0);
    ASSERT_EQ(0, dump_chan_desr(&vc, file.c_str(), DUMP_XML_FILE, 0, -1, nullptr, &dims));
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(file.c_str()));
    EXPECT_TRUE(doc.child("channels"));
    EXPECT_FALSE(doc.child("channels").first_child());

    // dump_error: the code comes back and nothing is written.
    std::string other = dir + "/not.xml";
    standin::set_dump_error(3);
    EXPECT_EQ(3, dump_chan_desr(&vc, other.c_str(), DUMP_XML_FILE, 0, -1, nullptr, &dims));
    standin::set_dump_error(0);
    struct stat st;
    EXPECT_NE(0, stat(other.c_str(), &st));

    EXPECT_EQ(-1, dump_chan_desr(&vc, other.c_str(), DUMP_TXT_FILE, 0, -1, nullptr, &dims));
    EXPECT_EQ(-1, dump_chan_desr(&vc, nullptr, DUMP_XML_FILE, 0, -1, nullptr, &dims));
    EXPECT_EQ(-2, dump_chan_desr(&vc, (dir + "/no/such/dir.xml").c_str(), DUMP_XML_FILE, 0, -1,
                                 nullptr, &dims));
}

// A file that cannot be written whole is named on standard error with the
// system's reason, and the code is -2. On a full device only the close of
// the file fails, which is where the failure must still be seen.
TEST(HostXml, WriteFailuresNameTheFileAndTheReason) {
    std::string dir = make_temp_dir();
    std::string missing = dir + "/no/such/d.xml";
    std::vector<chan_descr_2010 *> vc;
    std::vector<dim_params *> dims;
    standin::set_dump_error(0);
    testing::internal::CaptureStderr();
    int missing_rc = dump_chan_desr(&vc, missing.c_str(), DUMP_XML_FILE, 0, -1, nullptr, &dims);
    int full_rc = dump_chan_desr(&vc, "/dev/full", DUMP_XML_FILE, 0, -1, nullptr, &dims);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(-2, missing_rc);
    EXPECT_EQ(-2, full_rc);
    EXPECT_EQ("dump_chan_desr: cannot write the XML description " + missing +
                  ": No such file or directory\n"
                  "dump_chan_desr: cannot write the XML description /dev/full: No space left "
                  "on device\n",
              err);
}
