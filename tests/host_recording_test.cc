// host_recording_test.cc - the recording reader on good and bad lines:
// every key of the run header and of an event line is read into the model
// with its default, and every kind of mistake is refused with a message
// that names the key; counts and names no real reader gives are refused;
// odd bytes (raw NUL, a directory) get a message that says what they are.
#include <cmath>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "replay_harness.h"
#include "standin.h"

using namespace standin;

namespace {

const std::string kHead = R"({"format":"korvel-recording","version":1,)";
const std::string kHeader =
    kHead + R"("channels":[{"name":"A"},{"name":"S","sub":2,"type":3},{"name":"CAM","type":4}]})";

std::string header_error(const std::string &line) {
    RunHeader h;
    std::string err;
    EXPECT_FALSE(parse_header(line, &h, &err)) << line;
    return err;
}

std::string event_error(const std::string &line) {
    std::string err;
    parse_event_line(kHeader, line, false, &err);
    return err;
}

Event event_of(const std::string &line) {
    std::string err;
    return parse_event_line(kHeader, line, true, &err);
}

}  // namespace

TEST(HostRecording, HeaderDefaults) {
    RunHeader h;
    std::string err;
    ASSERT_TRUE(parse_header(kHead + R"("channels":[{"name":"A"}]})", &h, &err)) << err;
    ASSERT_EQ(1u, h.channels.size());
    EXPECT_EQ("A", *h.channels[0].name);
    EXPECT_EQ(-1, h.channels[0].sub);
    EXPECT_EQ(2, h.channels[0].type);
    EXPECT_EQ("A", h.channels[0].text());
    EXPECT_TRUE(h.descriptions.empty());
    EXPECT_FALSE(h.events.has_value());
    EXPECT_EQ(0, h.empty_events);
    EXPECT_EQ(0, h.nbunch);
    EXPECT_EQ(0, h.outmode);
    EXPECT_EQ(0, h.dump_error);
}

TEST(HostRecording, HeaderEveryKey) {
    RunHeader h;
    std::string err;
    ASSERT_TRUE(parse_header(
        kHead + R"("channels":[{"name":"CAM","sub":0,"type":4},{"name":null,"sub":3}],)"
                R"("descriptions":[{"daq_name":"CAM","desc":"camera","units":"px"}],)"
                R"("events":12,"empty_events":3,"nbunch":-5,"outmode":1,"dump_error":7})",
        &h, &err))
        << err;
    ASSERT_EQ(2u, h.channels.size());
    EXPECT_EQ("CAM:0", h.channels[0].text());  // sub 0 counts
    EXPECT_EQ(4, h.channels[0].type);
    EXPECT_FALSE(h.channels[1].name.has_value());
    EXPECT_EQ(3, h.channels[1].sub);
    ASSERT_EQ(1u, h.descriptions.size());
    EXPECT_EQ("CAM", h.descriptions[0].daq_name);
    EXPECT_EQ("camera", h.descriptions[0].desc);
    EXPECT_EQ("px", h.descriptions[0].units);
    EXPECT_EQ(12, *h.events);
    EXPECT_EQ(3, h.empty_events);
    EXPECT_EQ(-5, h.nbunch);
    EXPECT_EQ(1, h.outmode);
    EXPECT_EQ(7, h.dump_error);
}

TEST(HostRecording, DaqNameLimitIs255Bytes) {
    std::string ok(255, 'x'), bad(256, 'x');
    RunHeader h;
    std::string err;
    EXPECT_TRUE(parse_header(
        kHead + R"("channels":[],"descriptions":[{"daq_name":")" + ok + "\"}]}", &h, &err))
        << err;
    EXPECT_EQ(255u, h.descriptions[0].daq_name.size());
    EXPECT_EQ(
        "descriptions[0].daq_name: 256 bytes long; the reader holds at most 255",
        header_error(kHead + R"("channels":[],"descriptions":[{"daq_name":")" + bad + "\"}]}"));
}

TEST(HostRecording, HeaderErrors) {
    struct Case {
        std::string line;
        std::string message;
    } cases[] = {
        {kHead + R"("channels":[],"colour":1})", "unknown key \"colour\" in the run header"},
        {R"({"version":1,"channels":[]})", "missing key \"format\" in the run header"},
        {R"({"format":"korvel-recording","channels":[]})",
         "missing key \"version\" in the run header"},
        // Keys are checked as they are read, unknown ones once every key
        // was read: a line with both faults names the missing key.
        {kHead + "\"x\":0}", "missing key \"channels\" in the run header"},
        {R"({"format":"korvel-recording","version":1})",
         "missing key \"channels\" in the run header"},
        {R"({"format":"other","version":1,"channels":[]})",
         "format must be \"korvel-recording\", not \"other\""},
        {R"({"format":"korvel-recording","version":2,"channels":[]})",
         "version 2 is not supported (only 1 is)"},
        {R"({"format":"korvel-recording","version":"1","channels":[]})",
         "version: expected an integer, got string"},
        {R"({"format":7,"version":1,"channels":[]})", "format: expected a string, got number 7"},
        {kHead + R"("channels":{}})", "channels: expected an array, got object"},
        {kHead + R"("channels":[{"sub":1}]})", "missing key \"name\" in channels[0]"},
        {kHead + R"("channels":[{"name":5}]})",
         "channels[0].name: expected a string or null, got number 5"},
        {kHead + R"("channels":[{"name":"A","kind":2}]})", "unknown key \"kind\" in channels[0]"},
        {kHead + R"("channels":[{"name":"A","type":2.5}]})",
         "channels[0].type: expected an integer, got number 2.5"},
        {kHead + R"("channels":[{"name":"A","sub":2147483648}]})",
         "channels[0].sub: 2147483648 is out of range (-2147483648 to 2147483647)"},
        {kHead + R"("channels":[],"descriptions":[{"desc":"d"}]})",
         "missing key \"daq_name\" in descriptions[0]"},
        {kHead + R"("channels":[],"descriptions":[{"daq_name":"A","unit":"m"}]})",
         "unknown key \"unit\" in descriptions[0]"},
        {kHead + R"("channels":[],"events":true})", "events: expected an integer, got boolean"},
        {kHead + R"("channels":[{"name":"A\u0000B"}]})",
         "channels[0].name: a NUL character (at byte 2) is not allowed in a name"},
        {kHead + R"("channels":[],"nbunch":1,"nbunch":2})",
         "key \"nbunch\" appears twice in one object"},
        {"[1,2]", "a recording line must be a JSON object, got array"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.message, header_error(c.line)) << c.line;
}

TEST(HostRecording, BrokenJson) {
    std::string err = header_error(R"({"format":"korvel-recording",)");
    EXPECT_EQ(0u, err.find("not valid JSON (column ")) << err;
    err = event_error("{\"id\":1} trailing");
    EXPECT_EQ(0u, err.find("not valid JSON (column ")) << err;
    err = event_error("{\"id\":1,\"channels\":{\"A\":{\"chan\":{\"name\":\"\xff\"}}}}");
    EXPECT_EQ(0u, err.find("not valid JSON")) << err;  // not UTF-8
    std::string deep(100, '[');
    EXPECT_EQ("nested deeper than 64 levels", event_error("{\"id\":" + deep));
}

TEST(HostRecording, EventDefaults) {
    Event ev = event_of(R"({"id":5,"channels":{"A":{}}})");
    EXPECT_EQ(5u, ev.id);
    EXPECT_EQ(1, ev.type);
    EXPECT_EQ(0u, ev.time.sec);
    EXPECT_EQ(0u, ev.time.usec);
    EXPECT_EQ(0, ev.status);
    EXPECT_EQ(5, ev.resolved_mpulse());
    EXPECT_FALSE(ev.fail);
    EXPECT_FALSE(ev.image_block.has_value());
    EXPECT_FALSE(ev.fast_block.has_value());
    ASSERT_EQ(1u, ev.channels.size());
    const ChannelData &c = ev.channels[0];
    EXPECT_EQ("A", c.text);
    EXPECT_FALSE(c.type.has_value());
    EXPECT_EQ(0, c.block.status);
    EXPECT_EQ(1, c.block.nchan);
    EXPECT_FALSE(c.block.fail);
    EXPECT_FALSE(c.chan.name.has_value());
    EXPECT_FALSE(c.chan.null_name);
    EXPECT_FALSE(c.value || c.items || c.count || c.nmemb || c.roi || c.image || c.eq);

    // Entries keep the recording's order.
    Event two = event_of(R"({"id":6,"channels":{"S:2":{},"A":{}}})");
    ASSERT_EQ(2u, two.channels.size());
    EXPECT_EQ("S:2", two.channels[0].text);
    EXPECT_EQ("A", two.channels[1].text);

    Event none = event_of(R"({"id":6})");
    EXPECT_TRUE(none.channels.empty());
}

TEST(HostRecording, EventEveryKey) {
    Event ev = event_of(
        R"({"id":4294967295,"type":-1,"time":[4294967295,999999],"status":-2147483648,)"
        R"("mpulse":2147483647,"fail":true,"image_block":{"time":[1,2],"status":3,"mpulse":4},)"
        R"("fast_block":{},"channels":{"S:2":{"type":9,"block":{"time":[5,6],"mpulse":7,)"
        R"("status":8,"nchan":-1,"fail":true},"chan":{"name":"n","status":-3,"fail":true},)"
        R"("members":[{"start":1,"inc":2,"ndata":3,"groups":4,"groups_inc":5,"values":[6],)"
        R"("stat":{"mask":4294967295,"val":{"31":7}},"fail":false}],"nmemb":-2,)"
        R"("roi":{"ndata1":-1},"image":{"len":-3},"eq":{"type":4,"values":["inf",1e300],)"
        R"("fail":true}}}})");
    EXPECT_EQ(4294967295u, ev.id);
    EXPECT_EQ(-1, ev.type);
    EXPECT_EQ(4294967295u, ev.time.sec);
    EXPECT_EQ(999999u, ev.time.usec);
    EXPECT_EQ(INT32_MIN, ev.status);
    EXPECT_EQ(INT32_MAX, ev.resolved_mpulse());
    EXPECT_TRUE(ev.fail);
    ASSERT_TRUE(ev.image_block);
    EXPECT_EQ(1u, ev.image_block->time->sec);
    EXPECT_EQ(3, *ev.image_block->status);
    EXPECT_EQ(4, *ev.image_block->mpulse);
    ASSERT_TRUE(ev.fast_block);
    EXPECT_FALSE(ev.fast_block->time || ev.fast_block->status || ev.fast_block->mpulse);
    const ChannelData &c = ev.channels.at(0);
    EXPECT_EQ(9, *c.type);
    EXPECT_EQ(6u, c.block.time->usec);
    EXPECT_EQ(7, *c.block.mpulse);
    EXPECT_EQ(8, c.block.status);
    EXPECT_EQ(-1, c.block.nchan);
    EXPECT_TRUE(c.block.fail);
    EXPECT_EQ("n", *c.chan.name);
    EXPECT_EQ(-3, c.chan.status);
    EXPECT_TRUE(c.chan.fail);
    const SpectMember &m = c.members.at(0);
    EXPECT_EQ(1.0f, m.start);
    EXPECT_EQ(2.0f, m.inc);
    EXPECT_EQ(3, *m.ndata);
    EXPECT_EQ(4, m.groups);
    EXPECT_EQ(5.0f, m.groups_inc);
    EXPECT_EQ(std::vector<float>{6}, m.values);
    EXPECT_EQ(0xffffffffu, m.stat->mask);
    EXPECT_EQ(7.0f, m.stat->val[31]);
    EXPECT_EQ(-2, *c.nmemb);
    EXPECT_EQ(-1, c.roi->ndata1);
    EXPECT_EQ(-3, c.image->resolved_len());
    EXPECT_EQ(4, c.eq->type);
    EXPECT_EQ(2u, c.eq->values.size());
    EXPECT_TRUE(std::isinf(c.eq->values[0]));
    EXPECT_EQ(1e300, c.eq->values[1]);  // EqData values stay doubles
    EXPECT_TRUE(c.eq->fail);
}

TEST(HostRecording, EventErrors) {
    struct Case {
        std::string line;
        std::string message;
    } cases[] = {
        {R"({"type":1})", "missing key \"id\" in the event"},
        {R"({"id":1,"colour":2})", "unknown key \"colour\" in the event"},
        {R"({"id":-1})", "id: -1 is out of range (0 to 4294967295)"},
        {R"({"id":4294967296})", "id: 4294967296 is out of range (0 to 4294967295)"},
        {R"({"id":"1"})", "id: expected an integer, got string"},
        {R"({"id":1,"time":[1]})", "time: expected [seconds, microseconds], got an array of 1"},
        {R"({"id":1,"time":[1,-2]})", "time[1]: -2 is out of range (0 to 4294967295)"},
        {R"({"id":1,"status":2147483648})",
         "status: 2147483648 is out of range (-2147483648 to 2147483647)"},
        {R"({"id":1,"fail":1})", "fail: expected true or false, got number 1"},
        {R"({"id":1,"image_block":{"nchan":1}})", "unknown key \"nchan\" in image_block"},
        {R"({"id":1,"fast_block":[]})", "fast_block: expected an object, got array"},
        {R"({"id":1,"channels":[]})", "channels: expected an object, got array"},
        {R"({"id":1,"channels":{"B":{}}})",
         "channels: \"B\" is not the channel text of a channel of the run"},
        {R"({"id":1,"channels":{"S":{}}})",
         "channels: \"S\" is not the channel text of a channel of the run"},
        {R"({"id":1,"channels":{"A":{"valu":1}}})", "unknown key \"valu\" in channels[\"A\"]"},
        {R"({"id":1,"channels":{"A":{"value":"big"}}})",
         "channels[\"A\"].value: unknown value \"big\" (expected a number, \"inf\", \"-inf\", "
         "\"nan\", \"-nan\", \"-0\" or {\"bits\": N})"},
        {R"({"id":1,"channels":{"A":{"value":{"bits":4294967295}}}})",
         "channels[\"A\"].value.bits: 4294967295 is out of range (-2147483648 to 2147483647)"},
        {R"({"id":1,"channels":{"A":{"value":{}}}})",
         "missing key \"bits\" in channels[\"A\"].value"},
        {R"({"id":1,"channels":{"A":{"value":1,"items":[]}}})",
         "channels[\"A\"]: \"value\" and \"items\" exclude each other"},
        {R"({"id":1,"channels":{"A":{"value":1,"count":2}}})",
         "channels[\"A\"]: \"count\" belongs to \"items\", not to \"value\""},
        {R"({"id":1,"channels":{"A":{"items":[["x"]]}}})",
         "channels[\"A\"].items[0]: expected [name or null, value], got an array of 1"},
        {R"({"id":1,"channels":{"A":{"items":[[1,2]]}}})",
         "channels[\"A\"].items[0][0]: expected a string or null, got number 1"},
        {R"({"id":1,"channels":{"A":{"block":{"mpulse":1.5}}}})",
         "channels[\"A\"].block.mpulse: expected an integer, got number 1.5"},
        {R"({"id":1,"channels":{"A":{"chan":{"name":"x","id":1}}}})",
         "unknown key \"id\" in channels[\"A\"].chan"},
        {R"({"id":1,"channels":{"S:2":{"members":[{"value":[1]}]}}})",
         "unknown key \"value\" in channels[\"S:2\"].members[0]"},
        {R"({"id":1,"channels":{"S:2":{"members":[{"values":[1,"x"]}]}}})",
         "channels[\"S:2\"].members[0].values[1]: unknown value \"x\" (expected a number, "
         "\"inf\", \"-inf\", \"nan\", \"-nan\", \"-0\" or {\"bits\": N})"},
        {R"({"id":1,"channels":{"S:2":{"members":[{"stat":{"mask":-1}}]}}})",
         "channels[\"S:2\"].members[0].stat.mask: -1 is out of range (0 to 4294967295)"},
        {R"({"id":1,"channels":{"S:2":{"members":[{"stat":{"val":{"32":1}}}]}}})",
         "channels[\"S:2\"].members[0].stat.val: key \"32\" is not an index from 0 to 31"},
        {R"({"id":1,"channels":{"S:2":{"members":[{"stat":{"val":{"01":1}}}]}}})",
         "channels[\"S:2\"].members[0].stat.val: key \"01\" is not an index from 0 to 31"},
        {R"({"id":1,"channels":{"S:2":{"roi":{"ndata1":16777217}}}})",
         "channels[\"S:2\"].roi.ndata1: 16777217 is above the limit of 16777216 (16 Mi) that "
         "no real reader exceeds"},
        {R"({"id":1,"channels":{"S:2":{"roi":{"mean":null}}}})",
         "channels[\"S:2\"].roi.mean: expected a value (a number, \"inf\", \"-inf\", \"nan\", "
         "\"-nan\", \"-0\" or {\"bits\": N}), got null"},
        {R"({"id":1,"channels":{"CAM":{"image":{"pixels":"abc"}}}})",
         "channels[\"CAM\"].image.pixels: a hex string needs an even number of digits"},
        {R"({"id":1,"channels":{"CAM":{"image":{"pixels":"0g"}}}})",
         "channels[\"CAM\"].image.pixels: not a hex digit at offset 1"},
        {R"({"id":1,"channels":{"CAM":{"image":{"width":65536,"height":65536}}}})",
         "channels[\"CAM\"].image: width x height x bpp = 65536 x 65536 x 1 is above the limit "
         "of 16777216 (16 Mi) that no real reader exceeds"},
        {R"({"id":1,"channels":{"CAM":{"image":{"width":65536,"height":-65536}}}})",
         "channels[\"CAM\"].image.len: width x height x bpp = 65536 x -65536 x 1 is below the "
         "smallest int; give len"},
        {R"({"id":1,"channels":{"CAM":{"image":{"len":268435457}}}})",
         "channels[\"CAM\"].image.len: 268435457 is above the limit of 16777216 (16 Mi) that "
         "no real reader exceeds"},
        {R"({"id":1,"channels":{"CAM":{"image":{"header":{"colour":1}}}}})",
         "unknown key \"colour\" in channels[\"CAM\"].image.header (the fields of "
         "zarn_image_ext_frame_head)"},
        {R"({"id":1,"channels":{"CAM":{"image":{"header":{"frame":-1}}}}})",
         "channels[\"CAM\"].image.header.frame: -1 is out of range (0 to 4294967295)"},
        {R"({"id":1,"channels":{"CAM":{"image":{"header":{"width":1.5}}}}})",
         "channels[\"CAM\"].image.header.width: expected an integer, got number 1.5"},
        {R"({"id":1,"channels":{"CAM":{"image":{"fail":"yes"}}}})",
         "channels[\"CAM\"].image.fail: expected true or false, got string"},
        {R"({"id":1,"channels":{"A":{"eq":{"values":[true]}}}})",
         "channels[\"A\"].eq.values[0]: expected a number, got boolean"},
        {R"({"id":1,"channels":{"A":{"eq":{"kind":1}}}})",
         "unknown key \"kind\" in channels[\"A\"].eq"},
        {R"({"id":1,"channels":{"A":{},"A":{}}})", "key \"A\" appears twice in one object"},
        {"{\"id\":1,\"channels\":{\"A\":{\"chan\":{\"name\":\"a\\u0000b\"}}}}",
         "channels[\"A\"].chan.name: a NUL character (at byte 2) is not allowed in a name"},
        {"17", "a recording line must be a JSON object, got number"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.message, event_error(c.line)) << c.line;
}

TEST(HostRecording, ItemsCountAndNullNames) {
    Event ev = event_of(R"({"id":1,"channels":{"A":{"items":[["x",1],[null,"-0"]],"count":7},)"
                        R"("S:2":{"count":2},"CAM":{"chan":{"name":null}}}})");
    const ChannelData &a = ev.channels[0];
    ASSERT_TRUE(a.items);
    ASSERT_EQ(2u, a.items->size());
    EXPECT_EQ("x", *(*a.items)[0].name);
    EXPECT_FALSE((*a.items)[1].name.has_value());
    EXPECT_TRUE(std::signbit((*a.items)[1].value));
    EXPECT_EQ(7, *a.count);
    // `count` alone is a name-value block without items.
    ASSERT_TRUE(ev.channels[1].items);
    EXPECT_TRUE(ev.channels[1].items->empty());
    EXPECT_EQ(2, *ev.channels[1].count);
    EXPECT_TRUE(ev.channels[2].chan.null_name);
}

TEST(HostRecording, StreamsLinesWithFileAndLine) {
    std::istringstream in(kHeader + "\n\n" + R"({"id":1})" + "\n  \n" + R"({"id":2})" + "\n" +
                          R"({"id":3,"bad":1})" + "\n" + R"({"id":4})" + "\n");
    RecordingSource src(in, "rec.jsonl");
    RunHeader h;
    std::string err;
    ASSERT_TRUE(src.read_header(&h, &err)) << err;
    standin::Run run(h);
    const Event *ev = nullptr;
    ASSERT_EQ(1, src.next(run, &ev, &err));
    EXPECT_EQ(1u, ev->id);
    ASSERT_EQ(1, src.next(run, &ev, &err));
    EXPECT_EQ(2u, ev->id);
    EXPECT_EQ(-1, src.next(run, &ev, &err));
    EXPECT_EQ("rec.jsonl:6: unknown key \"bad\" in the event", err);  // blank lines count

    std::istringstream empty("\n   \n");
    RecordingSource none(empty, "e.jsonl");
    EXPECT_FALSE(none.read_header(&h, &err));
    EXPECT_EQ("e.jsonl:3: no run header: the recording is empty", err);

    std::istringstream bad("{\"format\":\"korvel-recording\",\"version\":1}\n");
    RecordingSource b(bad, "b.jsonl");
    EXPECT_FALSE(b.read_header(&h, &err));
    EXPECT_EQ("b.jsonl:1: missing key \"channels\" in the run header", err);
}

TEST(HostRecording, SyntheticMix) {
    Mix m;
    std::string err;
    ASSERT_TRUE(parse_mix(kDefaultMix, &m, &err)) << err;
    EXPECT_EQ(1, m.markers);
    EXPECT_EQ(300, m.values);
    EXPECT_EQ(1, m.images);
    EXPECT_EQ(1024, m.width);
    EXPECT_EQ(1024, m.height);
    EXPECT_EQ(2, m.bpp);
    EXPECT_GE(m.spectra, 1);

    ASSERT_TRUE(
        parse_mix("values=2,namevalue=1x3,spectrum=1x2x4,image=1x2x2x1,eq=1,marker=1", &m, &err))
        << err;
    SyntheticSource src(2, m);
    RunHeader h;
    ASSERT_TRUE(src.read_header(&h, &err));
    ASSERT_EQ(7u, h.channels.size());
    int types[7] = {1, 2, 2, 2, 3, 4, 5};
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(types[i], h.channels[i].type) << i;
    EXPECT_EQ(7u, h.descriptions.size());
    standin::Run run(h);
    const Event *ev = nullptr;
    ASSERT_EQ(1, src.next(run, &ev, &err));
    EXPECT_EQ(1u, ev->id);
    EXPECT_EQ(7u, ev->channels.size());
    EXPECT_EQ(3u, ev->channels[3].items->size());
    EXPECT_EQ(4u, ev->channels[4].members[1].values.size());
    EXPECT_EQ(4u, ev->channels[5].image->pixels.size());
    ASSERT_EQ(1, src.next(run, &ev, &err));
    EXPECT_EQ(2u, ev->id);
    EXPECT_EQ(0, src.next(run, &ev, &err));

    // The same mix and count give the same run.
    SyntheticSource again(2, m);
    ASSERT_TRUE(again.read_header(&h, &err));
    standin::Run run2(h);
    const Event *e2 = nullptr;
    again.next(run2, &e2, &err);
    float first = e2->channels[1].value.value();
    SyntheticSource third(2, m);
    ASSERT_TRUE(third.read_header(&h, &err));
    standin::Run run3(h);
    third.next(run3, &e2, &err);
    EXPECT_EQ(first, e2->channels[1].value.value());

    const char *bad[] = {"values",
                         "values=x",
                         "colour=1",
                         "values=1,values=2",
                         "namevalue=3",
                         "image=1x2x2x9",
                         "spectrum=1x2",
                         "values=1234567890",
                         "values=-1",
                         "values=1,",
                         "image=1x65536x65536x2"};
    for (const char *b : bad)
        EXPECT_FALSE(parse_mix(b, &m, &err)) << b;
    EXPECT_TRUE(parse_mix("", &m, &err));
    EXPECT_EQ(0, m.values + m.markers + m.images + m.spectra + m.nv_channels + m.eqs);
}

namespace {

const std::string kAboveLimit =
    " is above the limit of 16777216 (16 Mi) that no real reader exceeds";

// An event line with one channel entry, `entry` being `"TEXT": {...}`.
std::string event_with(const std::string &entry) {
    return R"({"id":1,"channels":{)" + entry + "}}";
}

}  // namespace

// Each count a real reader bounds is refused one past 16 Mi (products
// computed without overflow, including those that wrap to small numbers
// in 32 bits), and accepted at the limit itself or below zero.
TEST(HostRecording, CountsAboveTheLimitAreRefused) {
    const std::string s = R"(channels["S:2"])", a = R"(channels["A"])",
                      cam = R"(channels["CAM"].image)";
    struct Case {
        std::string entry;
        std::string message;
    } cases[] = {
        {R"("S:2":{"nmemb":16777217})", s + ".nmemb: 16777217" + kAboveLimit},
        {R"("S:2":{"nmemb":2147483647})", s + ".nmemb: 2147483647" + kAboveLimit},
        {R"("A":{"count":16777217})", a + ".count: 16777217" + kAboveLimit},
        {R"("A":{"items":[],"count":2147483647})", a + ".count: 2147483647" + kAboveLimit},
        {R"("A":{"block":{"nchan":16777217}})", a + ".block.nchan: 16777217" + kAboveLimit},
        {R"("S:2":{"members":[{"ndata":16777217}]})",
         s + ".members[0].ndata: 16777217" + kAboveLimit},
        {R"("S:2":{"members":[{"ndata":2147483647,"groups":1}]})",
         s + ".members[0].ndata: 2147483647" + kAboveLimit},
        {R"("S:2":{"members":[{"ndata":4097,"groups":4096}]})",
         s + ".members[0]: ndata x groups = 4097 x 4096" + kAboveLimit},
        {R"("S:2":{"members":[{"ndata":1073741824,"groups":4}]})",
         s + ".members[0]: ndata x groups = 1073741824 x 4" + kAboveLimit},
        {R"("S:2":{"members":[{"ndata":2147483647,"groups":2147483647}]})",
         s + ".members[0]: ndata x groups = 2147483647 x 2147483647" + kAboveLimit},
        {R"("S:2":{"roi":{"ndata1":2147483647}})", s + ".roi.ndata1: 2147483647" + kAboveLimit},
        {R"("CAM":{"image":{"len":16777217}})", cam + ".len: 16777217" + kAboveLimit},
        {R"("CAM":{"image":{"size":16777217}})", cam + ".size: 16777217" + kAboveLimit},
        {R"("CAM":{"image":{"width":4097,"height":4096,"len":4}})",
         cam + ": width x height x bpp = 4097 x 4096 x 1" + kAboveLimit},
        {R"("CAM":{"image":{"width":65536,"height":65536,"bpp":2,"len":4}})",
         cam + ": width x height x bpp = 65536 x 65536 x 2" + kAboveLimit},
        {R"("CAM":{"image":{"width":-65536,"height":-65536,"len":4}})",
         cam + ": width x height x bpp = -65536 x -65536 x 1" + kAboveLimit},
        {R"("CAM":{"image":{"width":2147483647,"height":2147483647,"bpp":2147483647,"len":4}})",
         cam + ": width x height x bpp = 2147483647 x 2147483647 x 2147483647" + kAboveLimit},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.message, event_error(event_with(c.entry))) << c.entry;

    const char *accepted[] = {
        R"("S:2":{"nmemb":16777216})",
        R"("S:2":{"nmemb":-2147483648})",
        R"("A":{"count":16777216})",
        R"("A":{"count":-2147483648})",
        R"("A":{"block":{"nchan":16777216}})",
        R"("S:2":{"members":[{"ndata":16777216,"groups":0}]})",
        R"("S:2":{"members":[{"ndata":4096,"groups":4096}]})",
        R"("S:2":{"members":[{"ndata":-2147483648,"groups":2147483647}]})",
        R"("S:2":{"roi":{"ndata1":16777216}})",
        R"("CAM":{"image":{"len":16777216,"size":16777216}})",
        R"("CAM":{"image":{"width":4096,"height":4096,"len":4}})",
        R"("CAM":{"image":{"width":65536,"height":65536,"bpp":-1,"len":4}})",
    };
    for (const char *entry : accepted)
        event_of(event_with(entry));
}

// Pixel bytes are a buffer the stand-in allocates: bounded the same way.
TEST(HostRecording, PixelsAboveTheLimitAreRefused) {
    std::string hex(2 * 16777217, '0');
    EXPECT_EQ(R"(channels["CAM"].image.pixels: 16777217 bytes)" + kAboveLimit,
              event_error(event_with(R"("CAM":{"image":{"len":4,"pixels":")" + hex + "\"}}")));
}

// Names end up in table rows and event-ID lines, which tabs and line ends
// separate; other texts (a description's desc and units) may hold them.
TEST(HostRecording, ControlCharactersInNamesAreRefused) {
    struct Char {
        const char *json;
        const char *what;
    } chars[] = {{"\\t", "a tab"},
                 {"\\r", "a carriage return"},
                 {"\\n", "a line end"},
                 {"\\u0000", "a NUL character"}};
    for (const Char &c : chars) {
        SCOPED_TRACE(c.what);
        const std::string bad = std::string(c.what) + " (at byte 2) is not allowed in a name";
        EXPECT_EQ(
            "channels[1].name: " + bad,
            header_error(kHead + R"("channels":[{"name":"A"},{"name":"B)" + c.json + "C\"}]}"));
        EXPECT_EQ("descriptions[0].daq_name: " + bad,
                  header_error(kHead + R"("channels":[],"descriptions":[{"daq_name":"D)" + c.json +
                               "\"}]}"));
        EXPECT_EQ(R"(channels["A"].items[1][0]: )" + bad,
                  event_error(event_with(R"("A":{"items":[["ok",1],["x)" + std::string(c.json) +
                                         "y\",2]]}")));
        EXPECT_EQ(
            R"(channels["A"].chan.name: )" + bad,
            event_error(event_with(R"("A":{"chan":{"name":"n)" + std::string(c.json) + "\"}}")));
    }
    RunHeader h;
    std::string err;
    ASSERT_TRUE(parse_header(kHead + R"("channels":[],"descriptions":[{"daq_name":"D",)"
                                     R"("desc":"a\tb\r\n","units":"m\ts"}]})",
                             &h, &err))
        << err;
    EXPECT_EQ("a\tb\r\n", h.descriptions[0].desc);
}

// A raw NUL byte is named with its column, not taken for the line's end.
TEST(HostRecording, RawNulByteIsNamedWithItsColumn) {
    const std::string line = std::string("{\"id\":1,") + '\0' + "}";
    EXPECT_EQ("NUL byte at column 9 (a recording line is text)", event_error(line));
    EXPECT_EQ("NUL byte at column 1 (a recording line is text)",
              header_error(std::string(1, '\0') + kHeader));

    std::istringstream in(kHeader + "\n" + R"({"id":1})" + "\n" + line + "\n");
    RecordingSource src(in, "rec.jsonl");
    RunHeader h;
    std::string err;
    ASSERT_TRUE(src.read_header(&h, &err)) << err;
    standin::Run run(h);
    const Event *ev = nullptr;
    ASSERT_EQ(1, src.next(run, &ev, &err));
    EXPECT_EQ(-1, src.next(run, &ev, &err));
    EXPECT_EQ("rec.jsonl:3: NUL byte at column 9 (a recording line is text)", err);
}

TEST(HostRecording, DirectoryIsNotARecording) {
    std::string dir = make_temp_dir();
    std::string err;
    EXPECT_EQ(nullptr, RecordingSource::open(dir, &err));
    EXPECT_EQ(dir + ": is a directory, not a recording", err);
}

// Pixels shorter than the image's len are padded with zeros, with a
// warning that names the line; a full buffer or no pixels at all are no
// news.
TEST(HostRecording, ShortPixelsArePaddedWithAWarning) {
    RunHeader h;
    std::string err;
    ASSERT_TRUE(parse_header(kHeader, &h, &err)) << err;
    standin::Run run(h);
    Event ev;
    std::vector<std::string> warnings;
    const std::string shorter =
        event_with(R"("CAM":{"image":{"width":2,"height":2,"pixels":"0102"}})");
    ASSERT_TRUE(parse_event(shorter, run, &ev, &err, &warnings)) << err;
    EXPECT_EQ(std::vector<std::string>{R"(channels["CAM"].image.pixels: 2 bytes, fewer than )"
                                       "len 4; zero-padded"},
              warnings);
    EXPECT_EQ(2u, ev.channels[0].image->pixels.size());

    warnings.clear();
    for (const char *fine : {R"("CAM":{"image":{"width":2,"height":2,"pixels":"01020304"}})",
                             R"("CAM":{"image":{"width":2,"height":2}})",
                             R"("CAM":{"image":{"len":1,"pixels":"0102"}})"}) {
        ASSERT_TRUE(parse_event(event_with(fine), run, &ev, &err, &warnings)) << err;
        EXPECT_TRUE(warnings.empty()) << fine;
    }

    std::istringstream in(kHeader + "\n" + shorter + "\n" + R"({"id":2})" + "\n");
    RecordingSource src(in, "rec.jsonl");
    ASSERT_TRUE(src.read_header(&h, &err)) << err;
    standin::Run run2(h);
    const Event *e = nullptr;
    ASSERT_EQ(1, src.next(run2, &e, &err));
    EXPECT_EQ(std::vector<std::string>{R"(rec.jsonl:2: warning: channels["CAM"].image.pixels: )"
                                       "2 bytes, fewer than len 4; zero-padded"},
              src.warnings());
    ASSERT_EQ(1, src.next(run2, &e, &err));
    EXPECT_TRUE(src.warnings().empty());
}
