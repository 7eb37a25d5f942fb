// scenario_limits.cc - runs at and past the sizes of the plug-in's fixed
// buffers: 5000 channels (past the 4096 event-ID lists kept from load),
// channel names of 255, 256 and 1000 characters, and an image directory
// whose file names cannot fit in 255 characters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "replay_harness.h"

namespace {

const std::string kLead = "[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t";

// Every channel of a 5000-channel run gets its title, its cell and its
// event-ID line; none is refused or cut.
TEST(Limits, FiveThousandChannelsAllKeepTitlesCellsAndEventIds) {
    const int n = 5000;
    std::string chans = "[", entries, header = "EventId\tTime\t\t\t", row = kLead, ids;
    std::vector<std::string> names;
    for (int i = 0; i < n; i++) {
        std::string name = "C" + std::to_string(i);
        names.push_back(name);
        chans += std::string(i ? "," : "") + "{\"name\": \"" + name + "\", \"type\": 1}";
        entries += std::string(i ? "," : "") + "\"" + name + "\": {}";
        header += name + (i == n - 1 ? "\n" : "\t");
        row += std::string("1\t") + (i == n - 1 ? "\n" : "\t");
        ids += "Chan:" + name + "\t7\n";  // every channel saw macro pulse 7
    }
    chans += "]";
    ReplayResult r =
        replay(recording(chans, {"{\"id\": 1, \"mpulse\": 7, \"channels\": {" + entries + "}}"},
                         "\"events\": 2"),
               {"-evstat"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.file("user_out.txt"), header + row);
    EXPECT_EQ(r.file("user_evids.txt"), ids);
    EXPECT_EQ(r.out, setup_listing(names) + end_statistics(2, 0, "inf", 0));
}

// Names longer than the 80-byte header text and the 256-byte loop text are
// used whole in the header, the channel query and the cells.
TEST(Limits, LongChannelNamesWithSubChannelsAreUsedWhole) {
    std::vector<std::string> texts;
    std::string chans = "[", entries, header = "EventId\tTime\t\t\t", row = kLead;
    const size_t lengths[] = {255, 256, 1000};
    for (int k = 0; k < 3; k++) {
        std::string name(lengths[k], (char)('a' + k));
        std::string text = name + ":3";
        texts.push_back(text);
        chans += std::string(k ? "," : "") + "{\"name\": \"" + name + "\", \"sub\": 3}";
        entries += std::string(k ? "," : "") + "\"" + text + "\": {\"value\": 0.5}";
        header += text + (k == 2 ? "\n" : "\t");
        row += std::string("0.500000\t") + (k == 2 ? "\n" : "\t");
    }
    chans += "]";
    ReplayResult r =
        replay(recording(chans, {"{\"id\": 1, \"channels\": {" + entries + "}}"}, "\"events\": 2"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.file("user_out.txt"), header + row);
    EXPECT_EQ(r.out, setup_listing(texts) + end_statistics(2, 0, "inf", 0));
}

// An image directory of 1000 characters: the composed name is refused with
// its first 255 characters, the image cell still lists the pixels.
TEST(Limits, ImageDirectoryTooLongForAFileNameIsRefused) {
    std::string dir(1000, 'd');
    ReplayRun run;
    run.recording = recording(
        "[{\"name\": \"CAM\", \"type\": 4}]",
        {R"({"id": 1, "channels": {"CAM": {"image": {"width": 2, "height": 1, "pixels": "0102"}}}})"},
        "\"events\": 2");
    run.words = {"-imdump", dir};
    run.env = {"TZ=UTC"};
    ReplayResult r = replay(run);
    // The image is not written: an output failure, named with the system's
    // reason for a name too long.
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("CAM", "[1\t2\t]", false));
    EXPECT_EQ(r.out, one_cell_output("CAM", "Failed to dump image CAM to file\n"));
    EXPECT_NE(r.err.find("grab: file name too long: " + std::string(255, 'd') + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("korvel-replay: an output of the plug-in failed: image file " +
                         std::string(255, 'd') + ": File name too long\n"),
              std::string::npos)
        << r.err;
}

}  // namespace
