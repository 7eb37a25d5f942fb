// scenario_xml.cc - the XML description at the end of a run, through
// korvel-replay and read back from the file the stand-in's writer makes:
// which channel descriptions are handed over and in what order, which
// parameter records, and the writer's error code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "replay_harness.h"

namespace {

// A description; `desc` tells apart two descriptions of the same name.
std::string descr(const std::string &name, const std::string &desc) {
    return "{\"daq_name\": \"" + name + "\", \"desc\": \"" + desc + "\", \"units\": \"u" + desc +
           "\"}";
}

// A run over the marker channels `channels` (JSON array) with these
// descriptions and one event, replayed with -xdump; the XML file read back.
DescrFile descr_run(const std::string &channels, const std::vector<std::string> &descrs) {
    std::string list = "[";
    for (size_t k = 0; k < descrs.size(); k++)
        list += (k ? ", " : "") + descrs[k];
    list += "]";
    ReplayResult r =
        replay(recording(channels, {R"({"id": 1})"}, "\"descriptions\": " + list), {"-xdump"});
    EXPECT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    EXPECT_TRUE(f.ok) << f.error;
    return f;
}

// The selected descriptions as "name/desc" texts, in file order.
std::vector<std::string> selected(const DescrFile &f) {
    std::vector<std::string> s;
    for (auto &c : f.channels) {
        EXPECT_EQ(c.units, "u" + c.desc);
        s.push_back(c.daq_name + "/" + c.desc);
    }
    return s;
}

std::vector<std::string> dims_names(const DescrFile &f) {
    std::vector<std::string> s;
    for (auto &d : f.dims)
        s.push_back(d.name);
    return s;
}

using Attrs = std::map<std::string, double>;
using Texts = std::vector<std::string>;

const std::string kAB = R"([{"name": "A", "type": 1}, {"name": "B", "type": 1}])";

}  // namespace

// ---- Description selection ----

// The reader's order, not the channel table's; other names are skipped.
TEST(XmlDescriptions, SelectedInTheReaderOrder) {
    DescrFile f = descr_run(kAB, {descr("B", "b"), descr("C", "c"), descr("A", "a")});
    EXPECT_EQ(selected(f), (Texts{"B/b", "A/a"}));
    EXPECT_TRUE(f.dims.empty());
}

// The selection stops as soon as it holds as many descriptions as there
// are channels, whatever names they carry.
TEST(XmlDescriptions, SelectionStopsAtTheChannelCount) {
    DescrFile f = descr_run(kAB, {descr("A", "1"), descr("B", "2"), descr("A", "3")});
    EXPECT_EQ(selected(f), (Texts{"A/1", "B/2"}));

    f = descr_run(kAB, {descr("A", "1"), descr("A", "2"), descr("B", "3")});
    EXPECT_EQ(selected(f), (Texts{"A/1", "A/2"}));
}

// A name that stands twice in the channel table takes its description
// twice, and the count is reached at once.
TEST(XmlDescriptions, ChannelNamedTwiceTakesItsDescriptionTwice) {
    const std::string aa =
        R"([{"name": "A", "sub": 1, "type": 1}, {"name": "A", "sub": 2, "type": 1}])";
    DescrFile f = descr_run(aa, {descr("A", "1")});
    EXPECT_EQ(selected(f), (Texts{"A/1", "A/1"}));

    f = descr_run(aa, {descr("X", "0"), descr("A", "1"), descr("A", "2")});
    EXPECT_EQ(selected(f), (Texts{"A/1", "A/1"}));
}

// Names are compared whole and with their case; sub-channel suffixes are
// not part of the name.
TEST(XmlDescriptions, OnlyExactNamesMatch) {
    DescrFile f = descr_run(
        R"([{"name": "Ab", "type": 1}, {"name": "C", "sub": 4, "type": 1}])",
        {descr("AB", "1"), descr("A", "2"), descr("Abc", "3"), descr("C:4", "4"), descr("c", "5")});
    EXPECT_TRUE(f.channels.empty());

    f = descr_run(R"([{"name": "Ab", "type": 1}, {"name": "C", "sub": 4, "type": 1}])",
                  {descr("C:4", "1"), descr("C", "2"), descr("Ab", "3")});
    EXPECT_EQ(selected(f), (Texts{"C/2", "Ab/3"}));

    f = descr_run(kAB, {});
    EXPECT_TRUE(f.channels.empty());
}

// No description matches: the writer still gets the parameter records.
TEST(XmlDescriptions, NoMatchStillWritesTheParameterRecords) {
    std::string rec = recording(
        R"([{"name": "S", "type": 3}])",
        {R"({"id": 1, "channels": {"S": {"members": [{"start": 2, "inc": 0.5, "values": [1, 2]}]}}})"},
        "\"descriptions\": [" + descr("T", "t") + "]");
    ReplayResult r = replay(rec, {"-xdump"});
    EXPECT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(f.channels.empty());
    ASSERT_EQ(f.dims.size(), 1u);
    EXPECT_EQ(f.dims[0].name, "S");
    EXPECT_EQ(f.dims[0].num, 1);
    ASSERT_EQ(f.dims[0].spectra.size(), 1u);
    EXPECT_EQ(f.dims[0].spectra[0], (Attrs{{"index", 0},
                                           {"start", 2},
                                           {"inc", 0.5},
                                           {"ndata", 2},
                                           {"groups", 0},
                                           {"group_inc", 0}}));
}

// ---- Parameter records ----

// Only channels with captured spectrum or image parameters, in channel
// table order; a sub-channel number alone (num non-zero) is not enough.
TEST(XmlParameters, ChannelsWithoutCaptureAreLeftOut) {
    std::string rec = recording(
        R"([{"name": "I", "type": 4}, {"name": "V", "sub": 2}, {"name": "F", "type": 3},)"
        R"( {"name": "S", "type": 3}, {"name": "J", "sub": 5, "type": 4}, {"name": "G", "type": 4}])",
        {R"({"id": 1, "channels": {"I": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "01"}},)"
         R"( "V:2": {"value": 1}, "F": {"members": [{"fail": true}, {"ndata": 0}]},)"
         R"( "S": {"members": [{"values": [1]}]}, "J:5": {"image": {"fail": true}},)"
         R"( "G": {"image": {"bpp": 1, "width": 1, "height": 1, "size": 7}}}})"});
    ReplayResult r = replay(rec, {"-xdump"});
    EXPECT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(dims_names(f), (Texts{"I", "S"}));
}

// ---- Writer failure ----

TEST(XmlWriter, ErrorCodeIsPrintedAfterTheStatistics) {
    std::string rec =
        recording(R"([{"name": "A", "type": 1}])", {R"({"id": 1, "channels": {"A": {}}})"},
                  "\"events\": 2, \"dump_error\": 3, \"descriptions\": [" + descr("A", "a") + "]");
    ReplayResult r = replay(rec, {"-xdump", "-evstat"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, setup_listing({"A"}) + end_statistics(2, 0, "inf", 0) +
                         "Failed to dump XML description file error: 3\n");
    EXPECT_FALSE(r.exists("user_descr.xml"));
    // The rest of the end of the run is done.
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:A\t1\n");
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tA\n[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t1\t\n");

    // Without -xdump the writer is not called: no message.
    r = replay(rec, {});
    EXPECT_EQ(r.out, setup_listing({"A"}) + end_statistics(2, 0, "inf", 0));
}

// ---- The table is never replaced ----

// -xdump naming the event table file, under its own name or another one
// (a hard or a symbolic link): the description would replace the table, so
// it is not written; a message says so and the table stays whole. Without
// a table (-nodump) the same name takes the description.
TEST(XmlWriter, NeverReplacesTheEventTable) {
    const std::string rec = recording(kAB, {R"({"id": 1, "channels": {"A": {}, "B": {}}})"},
                                      "\"events\": 2, \"descriptions\": [" + descr("A", "a") + "]");
    const std::string table = "EventId\tTime\t\t\tA\tB\n"
                              "[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t1\t\t1\t\n";
    struct Case {
        std::string xname, link;  // link: "hard", "soft" or none
    } cases[] = {{"t.txt", ""}, {"./t.txt", ""}, {"h.txt", "hard"}, {"s.txt", "soft"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.xname);
        ReplayRun run;
        run.recording = rec;
        run.words = {"-out", "t.txt", "-xdump", c.xname};
        run.dir = make_temp_dir();
        write_file(run.dir + "/t.txt", "an older table\n");
        if (c.link == "hard") {
            ASSERT_EQ(link((run.dir + "/t.txt").c_str(), (run.dir + "/h.txt").c_str()), 0);
        } else if (c.link == "soft") {
            ASSERT_EQ(symlink("t.txt", (run.dir + "/s.txt").c_str()), 0);
        }
        ReplayResult r = replay(run);
        // An output asked for and not written: status 1, said on standard
        // error as well, while the table stays.
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err, "korvel-replay: 1 event replayed\n"
                         "korvel-replay: the XML description was not written: " +
                             c.xname +
                             " is the event table t.txt itself (-xdump and -out name the same "
                             "file)\n");
        EXPECT_EQ(r.out, setup_listing({"A", "B"}) + end_statistics(2, 0, "inf", 0) +
                             "zarn_user_end_2010(): the XML description file " + c.xname +
                             " is the event table file; the description is not written\n");
        EXPECT_EQ(r.file("t.txt"), table);
    }

    ReplayResult r = replay(rec, {"-nodump", "-out", "t.txt", "-xdump", "t.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, setup_listing({"A", "B"}) + end_statistics(2, 0, "inf", 0));
    DescrFile f = read_descr_file(r.dir + "/t.txt");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(selected(f), Texts{"A/a"});
}

// ---- Every data type ----

// Channels of every data type over two events: the descriptions of all
// of them in the reader's order, parameter records for the spectrum and
// the image channel only, holding what the events left in them.
TEST(XmlEveryType, SpectrumAndImageRecordsHoldTheCapturedParameters) {
    std::string rec = recording(
        R"([{"name": "M", "type": 1}, {"name": "V"}, {"name": "N"}, {"name": "I", "type": 4},)"
        R"( {"name": "S", "type": 3}, {"name": "E", "type": 5}, {"name": "U", "type": 9}])",
        {R"({"id": 1, "channels": {"M": {}, "V": {"value": 0.5}, "N": {"items": [["x", 1], ["y", 2]]},)"
         R"( "I": {"image": {"bpp": 2, "width": 2, "height": 1, "pixels": "01020304", "header": {"frame": 3}}},)"
         R"( "S": {"members": [{"start": 0.5, "inc": 2, "values": [1, 2, 3]},)"
         R"( {"start": 4, "inc": 0.25, "ndata": 10, "groups": 3, "groups_inc": 1.5, "values": [1]}]},)"
         R"( "E": {"eq": {"type": 1, "values": [1]}}, "U": {}}})",
         R"({"id": 2, "channels": {"M": {}, "V": {"value": 1}, "N": {"items": []},)"
         R"( "I": {"image": {"bpp": 1, "width": 3, "height": 1, "pixels": "010203", "header": {"frame": 4, "scale_y": 2.5}}},)"
         R"( "S": {"members": [{"start": -1, "inc": 1, "values": [5]}]},)"
         R"( "E": {"eq": {"type": 2, "values": [2]}}, "U": {}}})"},
        "\"descriptions\": [" + descr("U", "7") + ", " + descr("Z", "0") + ", " + descr("E", "6") +
            ", " + descr("S", "5") + ", " + descr("I", "4") + ", " + descr("N", "3") + ", " +
            descr("V", "2") + ", " + descr("M", "1") + ", " + descr("M", "8") + "]");
    ReplayResult r = replay(rec, {"-xdump", "descr.xml"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(r.exists("user_descr.xml"));
    DescrFile f = read_descr_file(r.dir + "/descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(selected(f), (Texts{"U/7", "E/6", "S/5", "I/4", "N/3", "V/2", "M/1"}));
    ASSERT_EQ(dims_names(f), (Texts{"I", "S"}));

    const DescrDims &img = f.dims[0];
    EXPECT_EQ(img.num, 1);
    EXPECT_TRUE(img.spectra.empty());
    ASSERT_EQ(img.images.size(), 1u);
    Attrs h{{"index", 0}};
    for (const char *fn :
         {"aoi_width", "aoi_height", "x_start", "y_start", "ebitpp", "hbin", "vbin",
          "source_format", "image_format", "scale_x", "image_rotation", "fspare2", "fspare3",
          "fspare4", "image_flags", "ispare2", "ispare3", "ispare4"})
        h[fn] = 0;
    h["width"] = 3;
    h["height"] = 1;
    h["bpp"] = 1;
    h["length"] = 3;
    h["event"] = 2;
    h["frame"] = 4;
    h["scale_y"] = 2.5;
    EXPECT_EQ(img.images[0], h);

    const DescrDims &sp = f.dims[1];
    EXPECT_EQ(sp.num, 2);
    EXPECT_TRUE(sp.images.empty());
    ASSERT_EQ(sp.spectra.size(), 2u);
    EXPECT_EQ(sp.spectra[0], (Attrs{{"index", 0},
                                    {"start", -1},
                                    {"inc", 1},
                                    {"ndata", 1},
                                    {"groups", 0},
                                    {"group_inc", 0}}));
    EXPECT_EQ(sp.spectra[1], (Attrs{{"index", 1},
                                    {"start", 4},
                                    {"inc", 0.25},
                                    {"ndata", 10},
                                    {"groups", 3},
                                    {"group_inc", 1.5}}));
}
