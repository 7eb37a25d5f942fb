// unit_hostile_answers.cc - host answers that a recording may no longer
// carry (the stand-in refuses counts above its limit and control
// characters in names, as no real reader gives them), handed to the
// plug-in directly from events built by hand: value counts whose 32-bit
// product wraps, item names holding the tab dialect's separator, and null
// pointers where the reader promised data (a ROI record or its projection,
// a pixel buffer, an EqData container, an event type's name). The plug-in
// must still write what its formats say. Each run is made in a
// child process, because a run leaves the plug-in's state behind.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"
#include "unit_child_run.h"

// The reader's event_name_itoa, as this test program sees it: the
// stand-in's answer, or null while a test asks for it. Defined here, it
// takes the place of the stand-in's for the plug-in's objects linked into
// this program; the stand-in's own is found behind it with RTLD_NEXT.
static bool g_null_event_names = false;

const char *event_name_itoa(int type) {
    if (g_null_event_names)
        return nullptr;
    using Fn = const char *(*)(int);
    static Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_Z15event_name_itoai"));
    return next ? next(type) : "(no event_name_itoa behind the test's)";
}

namespace {

struct Outcome {
    std::string out;    // standard output of the run
    std::string table;  // user_out.txt
};

// Runs one event `ev` on a table of the one channel `channel` with the
// plug-in words `words`, in a fresh directory, and collects what it wrote.
Outcome run_one(const standin::Channel &channel, const standin::Event &ev,
                const std::vector<std::string> &words) {
    std::string dir = make_temp_dir();
    EXPECT_EQ(run_one_event_in_child(dir, channel, ev, words), 0);
    return Outcome{slurp(dir + "/stdout.txt"), slurp(dir + "/user_out.txt")};
}

// A channel of the run's table: its name and data type.
standin::Channel channel(const char *name, int type) {
    standin::Channel c;
    c.name = name;
    c.type = type;
    return c;
}

standin::SpectMember member(int ndata, int groups, std::vector<float> values) {
    standin::SpectMember m;
    m.ndata = ndata;
    m.groups = groups;
    m.values = std::move(values);
    return m;
}

// The table's one row of a channel titled `title` (event 1, type NORMAL,
// time 0:0): the leading columns and `cell`.
std::string row(const std::string &cell, bool hdf5) {
    return hdf5 ? "1,0:0,1970-01-01T00:00:00Z," + cell + "\n"
                : "[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t" + cell + "\n";
}

TEST(HostileAnswers, ValueCountsWhoseProductWrapsWriteWhatTheProductSays) {
    const standin::Channel c = channel("S", 3);
    // 2^30 x 4 = 2^32 wraps to 0 values; 2^29 x 5 wraps to -1610612736.
    standin::Event ev;
    ev.id = 1;
    ev.add("S").members = {member(1073741824, 4, {1}), member(536870912, 5, {1})};
    for (bool hdf5 : {false, true}) {
        std::vector<std::string> words = {"-dumpall", "-zerocheck"};
        if (hdf5)
            words.push_back("-hdf5");
        Outcome o = run_one(c, ev, words);
        EXPECT_NE(o.out.find("ALL ZEROS for 1 total_data: 0 st: 0\n"
                             "ALL ZEROS for 1 total_data: -1610612736 st: 0\n"),
                  std::string::npos)
            << o.out;
        std::string head = hdf5 ? "EventId,Time,TimeISO,S\n" : "EventId\tTime\t\t\tS\n";
        EXPECT_EQ(o.table, head + row(hdf5 ? "[[][]]" : "{[]\t[]}", hdf5));
    }
    // (2^30 + 1) x 4 wraps to 4: four values are read, the fifth is not.
    standin::Event four;
    four.id = 1;
    four.add("S").members = {member(1073741825, 4, {1, 2, 3, 4, 5})};
    Outcome o = run_one(c, four, {"-dumpall"});
    EXPECT_EQ(o.table, "EventId\tTime\t\t\tS\n" + row("{[1e+00 2e+00 3e+00 4e+00]}", false));
}

TEST(HostileAnswers, ItemNamesAreWrittenAsTheyComeSeparatorsIncluded) {
    const standin::Channel c = channel("B", 2);
    standin::Event ev;
    ev.id = 1;
    standin::Item a, b;
    a.name = "a,b";
    a.value = 1.0f;
    b.name = "c\td";
    b.value = 2.0f;
    ev.add("B").items = std::vector<standin::Item>{a, b};
    Outcome tab = run_one(c, ev, {});
    EXPECT_EQ(tab.table,
              "EventId\tTime\t\t\tB\n" + row("\t{[a,b:1.00e+00]\t[c\td:2.00e+00]}", false));
    Outcome hdf = run_one(c, ev, {"-hdf5"});
    EXPECT_EQ(hdf.table, "EventId,Time,TimeISO,B\n" + row("[[a,b:1.00e+00][c\td:2.00e+00]]", true));
}

// ---- Null pointers where the reader promised data ----

standin::Roi roi_of_two() {
    standin::Roi r;
    r.w = 2;
    r.h = 3;
    r.mean = 1.5f;
    r.max = 4;
    r.sig = 0.5f;
    r.cofm = 1.25f;
    r.start1 = 0;
    r.inc1 = 1;
    r.ndata1 = 2;
    r.data = {1, 3};
    return r;
}

// The ROI summary of a one-member spectrum: its two lines with the
// projection's mean in parentheses, none at all when the record is null,
// a mean of 0 when the projection is null, "(null)" for a channel query
// without a name; the cell is the same each time.
TEST(HostileAnswers, NullRoiRecordProjectionOrChannelName) {
    const standin::Channel c = channel("S", 3);
    const std::string summary = "IMAGE 2x3 MEAN: 1.500000 (%s) MAX: 4.000000  SIGMA: "
                                "0.500000 COFM: 1.250000 start:0.000000 inc:1.000000 "
                                "ndata:2\n";
    auto with = [&](bool null_record, bool null_mean) {
        standin::Event ev;
        ev.id = 1;
        standin::ChannelData &d = ev.add("S");
        d.members = {member(2, 1, {1, 2})};
        d.roi = roi_of_two();
        d.roi->null_record = null_record;
        d.roi->null_mean = null_mean;
        return run_one(c, ev, {});
    };
    auto line = [&](const char *mean) {
        char text[256];
        snprintf(text, sizeof text, summary.c_str(), mean);
        return "ROI S\n" + std::string(text);
    };
    const std::string table = "EventId\tTime\t\t\tS\n" + row("{[1e+00 2e+00]}", false);

    Outcome full = with(false, false);
    EXPECT_NE(full.out.find(line("2.000000")), std::string::npos) << full.out;
    EXPECT_EQ(table, full.table);

    Outcome no_mean = with(false, true);
    EXPECT_NE(no_mean.out.find(line("0.000000")), std::string::npos) << no_mean.out;
    EXPECT_EQ(table, no_mean.table);

    standin::Event unnamed;
    unnamed.id = 1;
    standin::ChannelData &d = unnamed.add("S");
    d.members = {member(2, 1, {1, 2})};
    d.roi = roi_of_two();
    d.chan.null_name = true;  // the channel query gives no name
    Outcome no_name = run_one(c, unnamed, {});
    EXPECT_NE(no_name.out.find("ROI (null)\nIMAGE 2x3 "), std::string::npos) << no_name.out;
    EXPECT_EQ(table, no_name.table);

    Outcome no_record = with(true, false);
    EXPECT_EQ(no_record.out.find("ROI "), std::string::npos) << no_record.out;
    EXPECT_EQ(no_record.out.find("IMAGE "), std::string::npos) << no_record.out;
    EXPECT_EQ(table, no_record.table);
}

// An image whose parameters promise bytes and whose buffer is null is no
// image: the cell says so and no image file is written.
TEST(HostileAnswers, NullPixelBufferIsNoImage) {
    const standin::Channel c = channel("CAM", 4);
    standin::Event ev;
    ev.id = 1;
    standin::Image img;
    img.width = 2;
    img.height = 1;
    img.pixels = {7, 9};
    img.null_pixels = true;
    ev.add("CAM").image = img;
    std::string dir = make_temp_dir();
    ASSERT_EQ(0, run_one_event_in_child(dir, c, ev, {"-imdump"}));
    EXPECT_EQ("EventId\tTime\t\t\tCAM\n" + row("No Image\t", false),
              read_file(dir + "/user_out.txt"));
    EXPECT_EQ((std::vector<std::string>{"stdout.txt", "user_out.txt"}), dir_entries(dir));

    Outcome hdf = run_one(c, ev, {"-hdf5"});
    EXPECT_EQ("EventId,Time,TimeISO,CAM\n" + row("[]", true), hdf.table);
}

// A conversion that claims success without a container is reported as a
// failed one; the cell stays empty.
TEST(HostileAnswers, NullEqDataContainerIsAFailedConversion) {
    const standin::Channel c = channel("EQ", 5);
    standin::Event ev;
    ev.id = 1;
    standin::Eq eq;
    eq.type = 1;
    eq.values = {1.0};
    eq.null_container = true;
    ev.add("EQ").eq = eq;
    Outcome o = run_one(c, ev, {});
    EXPECT_NE(o.out.find("!!!Failed to extract data of type EqData!!!\n"), std::string::npos)
        << o.out;
    EXPECT_EQ(o.out.find("EqData type"), std::string::npos) << o.out;
    EXPECT_EQ("EventId\tTime\t\t\tEQ\n" + row("", false), o.table);
}

// An event type without a name still gets its brackets in the tab
// dialect; the HDF5 dialect writes no type at all.
TEST(HostileAnswers, NullEventTypeName) {
    const standin::Channel c = channel("V", 1);
    standin::Event ev;
    ev.id = 1;
    ev.add("V").value = 2.5f;
    Outcome named = run_one(c, ev, {});
    EXPECT_EQ(0u, named.table.find("EventId\tTime\t\t\tV\n[NORMAL]1\t")) << named.table;
    g_null_event_names = true;
    Outcome tab = run_one(c, ev, {});
    Outcome hdf = run_one(c, ev, {"-hdf5"});
    g_null_event_names = false;
    EXPECT_EQ(0u, tab.table.find("EventId\tTime\t\t\tV\n[(null)]1\t\t0:0\t")) << tab.table;
    EXPECT_EQ(0u, hdf.table.find("EventId,Time,TimeISO,V\n1,0:0,")) << hdf.table;
}

}  // namespace
