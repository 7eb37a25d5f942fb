// host_bounds_test.cc - the recording reader against files that are not
// recordings or are far too big: a NUL byte or an over-long line is refused
// as soon as it is seen (the stream is never read to its end first), a
// raised stop flag ends a long read or parse, objects of thousands of keys
// keep their order and their check of repeated keys, and numbers beyond a
// double are refused with a message that says what to write. Also the
// image file names the stand-in computes to keep the plug-in off the
// recording.
#include <cmath>
#include <cstdint>
#include <csignal>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replay_harness.h"
#include "standin.h"

using namespace standin;

namespace {

const std::string kHeader =
    R"({"format":"korvel-recording","version":1,"channels":[{"name":"A"}]})";

// A stream of `prefix`, then `n` copies of `fill`, made as it is read:
// nothing but one small chunk is ever held. handed() counts the bytes the
// reader has taken out so far.
class GeneratedBuf : public std::streambuf {
  public:
    GeneratedBuf(std::string prefix, uint64_t n, char fill)
        : prefix_(std::move(prefix)), left_(n), fill_(fill), chunk_(4096) {}
    uint64_t handed() const {
        return handed_;
    }

  protected:
    int_type underflow() override {
        size_t k = 0;
        while (k < chunk_.size() && at_ < prefix_.size())
            chunk_[k++] = prefix_[at_++];
        while (k < chunk_.size() && left_ > 0) {
            chunk_[k++] = fill_;
            left_--;
        }
        if (k == 0)
            return traits_type::eof();
        handed_ += k;
        setg(chunk_.data(), chunk_.data(), chunk_.data() + k);
        return traits_type::to_int_type(chunk_[0]);
    }

  private:
    std::string prefix_;
    size_t at_ = 0;
    uint64_t left_;
    char fill_;
    std::vector<char> chunk_;
    uint64_t handed_ = 0;
};

std::string event_error(const std::string &line) {
    std::string err;
    parse_event_line(kHeader, line, false, &err);
    return err;
}

}  // namespace

// 64 MiB of NULs or of one endless line: the reader stops within a chunk
// of the first bad byte, whatever follows (the old reader took the whole
// line into memory first: /dev/zero until memory ran out).
TEST(HostBounds, BadLinesAreRefusedAsSoonAsSeen) {
    const uint64_t kMiB = 1 << 20;
    struct Case {
        const char *what;
        std::string prefix;
        char fill;
        uint64_t limit;  // 0: the default
        bool in_header;
        std::string error;
    } cases[] = {
        {"NUL first", "", '\0', 0, true,
         "big.jsonl:1: NUL byte at column 1 (a recording line is text)"},
        {"NUL in an event", kHeader + "\n\n" + R"({"id":1,)", '\0', 0, false,
         "big.jsonl:3: NUL byte at column 9 (a recording line is text)"},
        {"endless event line", kHeader + "\n", 'x', 4096, false,
         "big.jsonl:2: the line is longer than 4096 bytes, the limit of a recording line "
         "(the rest of the file is not read)"},
        {"endless header", "", ' ', 4096, true,
         "big.jsonl:1: the line is longer than 4096 bytes, the limit of a recording line "
         "(the rest of the file is not read)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        GeneratedBuf buf(c.prefix, 64 * kMiB, c.fill);
        std::istream in(&buf);
        RecordingSource src(in, "big.jsonl");
        if (c.limit)
            src.limit_line_length(c.limit);
        RunHeader h;
        std::string err;
        if (c.in_header) {
            EXPECT_FALSE(src.read_header(&h, &err));
            EXPECT_EQ(c.error, err);
        } else {
            ASSERT_TRUE(src.read_header(&h, &err)) << err;
            standin::Run run(h);
            const Event *ev = nullptr;
            EXPECT_EQ(-1, src.next(run, &ev, &err));
            EXPECT_EQ(c.error, err);
            EXPECT_TRUE(src.failed());
            EXPECT_EQ(0, src.next(run, &ev, &err));  // nothing more is read
        }
        EXPECT_LT(buf.handed(), kMiB);
    }
}

// A line of exactly the limit is read; one byte more is refused. The line
// end is not part of the line.
TEST(HostBounds, LineLimitIsInclusive) {
    const std::string event = R"({"id":7})";
    for (uint64_t limit : {event.size(), event.size() - 1}) {
        std::istringstream in(kHeader + "\n" + event + "\n");
        RecordingSource src(in, "r.jsonl");
        src.limit_line_length(kHeader.size());
        RunHeader h;
        std::string err;
        ASSERT_TRUE(src.read_header(&h, &err)) << err;
        standin::Run run(h);
        src.limit_line_length(limit);
        const Event *ev = nullptr;
        EXPECT_EQ(limit == event.size() ? 1 : -1, src.next(run, &ev, &err)) << limit;
    }
}

// A raised stop flag ends the reading of a long line and the parsing of a
// line of many values: next() answers 0, as at the end. Lowered, the same
// lines are read.
TEST(HostBounds, StopFlagEndsALongReadOrParse) {
    std::string zeros;
    for (int k = 0; k < 200000; k++)
        zeros += k ? ",0" : "0";
    std::string many;
    for (int k = 0; k < 8192; k++)
        many += k ? ",1" : "1";
    // Longer than one read chunk (64 KiB), and shorter with 8192 values.
    const std::string lines[] = {
        R"({"id":1,"channels":{"S":{"members":[{"values":[)" + zeros + "]}]}}}",
        R"({"id":1,"channels":{"S":{"members":[{"values":[)" + many + "]}]}}}",
    };
    const std::string header =
        R"({"format":"korvel-recording","version":1,"channels":[{"name":"S","type":3}]})";
    for (const std::string &line : lines) {
        for (std::sig_atomic_t flag : {SIGTERM, 0}) {
            SCOPED_TRACE(std::to_string(line.size()) + " bytes, flag " + std::to_string(flag));
            std::istringstream in(header + "\n" + line + "\n");
            RecordingSource src(in, "r.jsonl");
            volatile std::sig_atomic_t stop = 0;
            src.watch_stop(&stop);
            RunHeader h;
            std::string err;
            ASSERT_TRUE(src.read_header(&h, &err)) << err;
            standin::Run run(h);
            stop = flag;
            const Event *ev = nullptr;
            EXPECT_EQ(flag ? 0 : 1, src.next(run, &ev, &err)) << err;
        }
    }
}

// Objects of thousands of keys (the channel entries of a wide event) keep
// the order of the line, and a key repeated at the far end is still found.
TEST(HostBounds, WideObjectsKeepOrderAndRepeatedKeys) {
    const int n = 3000;
    std::string channels, entries;
    for (int i = 0; i < n; i++) {
        channels += std::string(i ? "," : "") + R"({"name":"C)" + std::to_string(i) + "\"}";
        // In the line from the last channel to the first.
        entries += std::string(i ? "," : "") + "\"C" + std::to_string(n - 1 - i) +
                   R"(":{"value":)" + std::to_string(n - 1 - i) + "}";
    }
    RunHeader h;
    std::string err;
    ASSERT_TRUE(parse_header(
        R"({"format":"korvel-recording","version":1,"channels":[)" + channels + "]}", &h, &err))
        << err;
    standin::Run run(h);
    Event ev;
    ASSERT_TRUE(parse_event(R"({"id":1,"channels":{)" + entries + "}}", run, &ev, &err)) << err;
    ASSERT_EQ(static_cast<size_t>(n), ev.channels.size());
    for (int i = 0; i < n; i++) {
        ASSERT_EQ("C" + std::to_string(n - 1 - i), ev.channels[i].text);
        ASSERT_EQ(static_cast<float>(n - 1 - i), *ev.channels[i].value);
    }
    EXPECT_FALSE(
        parse_event(R"({"id":1,"channels":{)" + entries + R"(,"C5":{}}})", run, &ev, &err));
    EXPECT_EQ("key \"C5\" appears twice in one object", err);
}

// A number beyond the range of a double is refused (JSON has no infinity);
// the message says how a recording writes one.
TEST(HostBounds, NumbersBeyondADoubleSayWhatToWrite) {
    const char *const kHint = " is beyond the range of a double; write \"inf\" or \"-inf\")";
    struct Case {
        std::string entry, number;
    } cases[] = {
        {R"({"value":1e400})", "1e400"},
        {R"({"value":-1.5e309})", "-1.5e309"},
        {R"({"items":[["x",1E999]]})", "1E999"},
    };
    for (const Case &c : cases)
        EXPECT_EQ("not valid JSON (the number " + c.number + kHint,
                  event_error(R"({"id":1,"channels":{"A":)" + c.entry + "}}"));
    // 1e39 is a double: as a value it rounds to a float infinity.
    RunHeader h;
    std::string err;
    ASSERT_TRUE(parse_header(kHeader, &h, &err));
    standin::Run run(h);
    Event ev;
    ASSERT_TRUE(parse_event(R"({"id":1,"channels":{"A":{"value":1e39}}})", run, &ev, &err));
    EXPECT_TRUE(std::isinf(*ev.channels[0].value));
}

// The image files the plug-in would write, named as it names them:
// DIR/CHANNEL.bin per named channel with -imbin, else per image
// DIR/CHANNEL_ID_CTIME_MS.EXT from the event ('/' and blanks become '_').
TEST(HostBounds, ImageFileNamesFollowThePluginsRule) {
    RunHeader h;
    h.channels.resize(5);
    h.channels[0].name = "CAM/A x";
    h.channels[0].type = 4;
    h.channels[1].name = "V";  // type 2: an image entry only with a type of its own
    h.channels[2].name = std::string(256, 'L');  // too long for a file name
    h.channels[2].type = 4;
    h.channels[4].name = "RGBA";
    h.channels[4].type = 4;
    standin::Run run(h);

    ImageWords bin = image_words({"-imdump", "d", "-imbin"});
    std::vector<std::string> names;
    for (const NamedOutput &o : bin_files(bin, run.header()))
        names.push_back(o.path);
    EXPECT_EQ((std::vector<std::string>{"d/CAM_A_x.bin", "d/V.bin", "d/RGBA.bin"}), names);

    Event ev;
    ev.id = 7;
    ev.time = {86400, 123999};  // Friday 2 January 1970, 00:00:00 UTC
    ev.add("CAM/A x").image = Image{};
    ev.channels[0].image->bpp = 2;
    ev.add("V").image = Image{};
    ev.channels[1].type = 4;
    ev.add(std::string(256, 'L')).image = Image{};
    ev.add("RGBA").image = Image{};
    ev.channels[3].image->bpp = 4;  // written only with -imbin
    ImageWords single = image_words({"-imdump", "im"});
    names.clear();
    for (const NamedOutput &o : image_files(single, run, ev))
        names.push_back(o.path);
    EXPECT_EQ((std::vector<std::string>{"im/CAM_A_x_7_Fri_Jan__2_00:00:00_1970_123.raw",
                                        "im/V_7_Fri_Jan__2_00:00:00_1970_123.pgm"}),
              names);
    EXPECT_TRUE(image_files(image_words({"-imdump", "-nodump"}), run, ev).empty());
    EXPECT_TRUE(image_files(single, run, ev).size() == 2);
    ev.fail = true;  // the plug-in writes nothing of an event it cannot read
    EXPECT_TRUE(image_files(single, run, ev).empty());
}

// A word after -imdump or -xdump that holds '-' is not taken as the
// directory or file; korvel-replay warns of it unless it is an option.
TEST(HostBounds, WordsNotTakenAreFound) {
    using Words = std::vector<std::string>;
    struct Case {
        Words words, not_taken;
    } cases[] = {
        {{"-imdump", "run-7/"}, {"-imdump run-7/"}},
        {{"-xdump", "my-file.xml", "-imdump", "x-y"}, {"-xdump my-file.xml", "-imdump x-y"}},
        {{"-imdump", "-imbin"}, {}},
        {{"-xdump", "-out", "a-b"}, {}},  // -out takes any word
        {{"-imdump", "images"}, {}},
        {{"-imdump"}, {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.not_taken, words_not_taken(c.words)) << c.words[0];
}
