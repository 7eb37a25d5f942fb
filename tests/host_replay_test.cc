// host_replay_test.cc - korvel-replay as a program: its command line, exit
// statuses, FILE:LINE messages, the end of a run after a bad event line,
// what reaches the plug-in (argv, globals, counts) and the synthetic run.
// Most cases use the host's own fake plug-in; a few use the real one.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replay_harness.h"

namespace {

std::string fake_plugin() {
#ifdef KORVEL_FAKE_PLUGIN_PATH
    return KORVEL_FAKE_PLUGIN_PATH;
#else
    // Built beside korvel-replay.
    std::string replay = KORVEL_REPLAY_PATH;
    return replay.substr(0, replay.rfind('/')) + "/libkorvel-fake-plugin.so";
#endif
}

const std::string kHeader =
    R"({"format":"korvel-recording","version":1,"channels":[{"name":"A"},{"name":"S","sub":2,"type":3}]})";

ReplayResult run_fake(const std::string &recording, const std::vector<std::string> &words = {},
                      const std::vector<std::string> &options = {}) {
    ReplayRun run;
    run.recording = recording;
    run.words = words;
    run.options = {"--plugin", fake_plugin()};
    run.options.insert(run.options.end(), options.begin(), options.end());
    return replay(run);
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(HostReplay, CompleteRunCallsEveryEntryPoint) {
    ReplayResult r = run_fake(kHeader + "\n" + R"({"id":1,"time":[5,6],"channels":{"A":{}}})" +
                                  "\n\n" + R"({"id":2,"type":7,"fail":true})" + "\n",
                              {"-x", "two words", "out=o.txt"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("FAKE init argc=4\n"
              "argv[0]=korvel-replay\n"
              "argv[1]=-x\n"
              "argv[2]=two words\n"
              "argv[3]=out=o.txt\n"
              "argv[argc] is null\n"
              "nbunch=0 outmode=0\n"
              "channels=2\n"
              "channel 0: A sub=-1\n"
              "channel 1: S sub=2\n"
              "descriptions=0\n"
              "FAKE loop id=1 type=NORMAL time=5.000006 status=0\n"
              "  A type=2 block=0 mpulse=1 nchan=1\n"
              "  S:2 type=0 block=0 mpulse=1 nchan=0\n"
              "FAKE loop: no event info\n"
              "FAKE end events=2 empty=0\n",  // failing events are delivered too
              r.out);
    EXPECT_EQ("event 1\nend\n", r.file("o.txt"));
    // The failing event's -1 is counted.
    EXPECT_EQ("korvel-replay: 2 events replayed; the plug-in could not write 1 of them "
              "(zarn_user_loop returned non-zero)\n",
              r.err);
}

TEST(HostReplay, HeaderCountsAndGlobals) {
    std::string rec = R"({"format":"korvel-recording","version":1,"channels":[{"name":"A"},)"
                      R"({"name":null}],"events":40,"empty_events":3,"nbunch":12,"outmode":1,)"
                      R"("descriptions":[{"daq_name":"A"}]})"
                      "\n"
                      R"({"id":1})"
                      "\n";
    ReplayResult r = run_fake(rec);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "nbunch=12 outmode=1\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "channel 1: no name\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "descriptions=1\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "FAKE end events=40 empty=3\n")) << r.out;

    // The command line wins over the header, negative values included.
    r = run_fake(rec, {}, {"--nbunch", "-3", "--outmode=-2147483648"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "nbunch=-3 outmode=-2147483648\n")) << r.out;
}

TEST(HostReplay, BadEventLineStillEndsTheRun) {
    std::string rec = kHeader + "\n" + R"({"id":1})" + "\n" + R"({"id":2})" + "\n" +
                      R"({"id":3,"channels":{"A":{"value":"x"}}})" + "\n" + R"({"id":4})" + "\n";
    ReplayResult r = run_fake(rec, {"out=o.txt"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("run.jsonl:4: channels[\"A\"].value: unknown value \"x\"")) << r.err;
    EXPECT_TRUE(contains(r.err, "run ended after 2 events")) << r.err;
    EXPECT_TRUE(contains(r.out, "FAKE loop id=2")) << r.out;
    EXPECT_FALSE(contains(r.out, "FAKE loop id=4")) << r.out;
    EXPECT_TRUE(contains(r.out, "FAKE end events=2 empty=0\n")) << r.out;
    EXPECT_EQ("event 1\nevent 2\nend\n", r.file("o.txt"));

    // The real plug-in's end of run: its statistics appear, its table is
    // closed with both rows.
    ReplayResult real = replay(rec);
    EXPECT_EQ(2, real.status) << real.err;
    EXPECT_TRUE(contains(real.out, "READER FINISHED statistics:")) << real.out;
    // Rows begin "[NORMAL]" and the event number, then two tabs.
    EXPECT_TRUE(contains(real.file("user_out.txt"), "\n[NORMAL]2\t\t"))
        << real.file("user_out.txt");
}

TEST(HostReplay, RecordingErrorsGiveFileLineAndStatus2) {
    struct Case {
        std::string recording;
        std::string err_start;
        bool header;  // a header error stops before set-up
    } cases[] = {
        {kHeader + "\n" + R"({"id":1,"colour":3})" + "\n",
         "run.jsonl:2: unknown key \"colour\" in the event\n", false},
        {kHeader + "\n" + R"({"id":"1"})" + "\n",
         "run.jsonl:2: id: expected an integer, got string\n", false},
        {kHeader + "\n\n" + R"({"type":1})" + "\n",
         "run.jsonl:3: missing key \"id\" in the event\n", false},
        {kHeader + "\n" + R"({"id":1)" + "\n", "run.jsonl:2: not valid JSON (column ", false},
        {R"({"format":"korvel","version":1,"channels":[]})"
         "\n",
         "run.jsonl:1: format must be \"korvel-recording\", not \"korvel\"\n", true},
        {"\n"
         R"({"format":"korvel-recording","version":3,"channels":[]})"
         "\n",
         "run.jsonl:2: version 3 is not supported (only 1 is)\n", true},
        {R"({"format":"korvel-recording","version":1,"channels":[],"descriptions":[{"daq_name":")" +
             std::string(256, 'n') + "\"}]}\n",
         "run.jsonl:1: descriptions[0].daq_name: 256 bytes long; the reader holds at most 255\n",
         true},
        {"", "run.jsonl:1: no run header: the recording is empty\n", true},
        {"[]\n", "run.jsonl:1: a recording line must be a JSON object, got array\n", true},
    };
    for (const Case &c : cases) {
        ReplayResult r = run_fake(c.recording);
        EXPECT_EQ(2, r.status) << c.recording;
        EXPECT_EQ(0u, r.err.find(c.err_start)) << r.err;
        if (c.header)
            EXPECT_EQ("", r.out) << c.recording;
        else
            EXPECT_TRUE(contains(r.out, "FAKE end events=0")) << r.out;
    }
}

TEST(HostReplay, InitFailureGivesStatus3) {
    ReplayResult r = run_fake(kHeader + "\n" + R"({"id":1})" + "\n", {"init=-4"});
    EXPECT_EQ(3, r.status);
    EXPECT_TRUE(contains(r.err, "zarn_user_init_2010 returned -4")) << r.err;
    EXPECT_FALSE(contains(r.out, "FAKE loop")) << r.out;
    EXPECT_FALSE(contains(r.out, "FAKE end")) << r.out;

    // The real plug-in refuses a run without channels.
    ReplayResult real = replay(R"({"format":"korvel-recording","version":1,"channels":[]})"
                               "\n");
    EXPECT_EQ(3, real.status) << real.err;
    EXPECT_FALSE(contains(real.out, "READER FINISHED")) << real.out;
}

TEST(HostReplay, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--colour"},
        {"a.jsonl", "b.jsonl"},
        {"--synthetic", "3", "a.jsonl"},
        {"--mix", "values=1", "a.jsonl"},
        {"--synthetic", "-1"},
        {"--synthetic", "3", "--mix", "values=x"},
        {"--nbunch", "1.5", "a.jsonl"},
        {"--nbunch", "2147483648", "a.jsonl"},
        {"--outmode"},
        {"--progress=1", "a.jsonl"},
    };
    for (const auto &args : bad) {
        std::vector<std::string> a = {"--plugin", fake_plugin()};
        a.insert(a.end(), args.begin(), args.end());
        ReplayResult r = replay_args(a);
        EXPECT_EQ(2, r.status) << (args.empty() ? "" : args[0]);
        EXPECT_TRUE(contains(r.err, "Try 'korvel-replay --help'.")) << r.err;
        EXPECT_EQ("", r.out);
    }
    ReplayResult r = replay_args({"--plugin", "/no/such/libKorvel.so", "--synthetic", "1"});
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(contains(r.err, "cannot load the plug-in /no/such/libKorvel.so")) << r.err;
    r = replay_args({"--plugin", fake_plugin(), "missing.jsonl"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("missing.jsonl: cannot open: ")) << r.err;
}

TEST(HostReplay, HelpPrintsUsageThenThePluginsHelp) {
    ReplayResult r = replay_args({"--plugin", fake_plugin(), "--help"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("Usage: korvel-replay ")) << r.out;
    EXPECT_TRUE(contains(r.out, "image=NxWxHxB")) << r.out;
    EXPECT_TRUE(contains(r.out, "--synthetic EVENTS")) << r.out;
    const std::string tail = "FAKE usage: init=K loop-fail=ID out=PATH\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(tail, r.out.substr(r.out.size() - tail.size()));
}

TEST(HostReplay, SyntheticRun) {
    ReplayResult r = replay_args({"--no-progress", "--plugin", fake_plugin(), "--synthetic", "2",
                                  "--mix", "marker=1,values=2,image=1x4x4x2"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "channels=4\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "  SYN/CAM.000 type=4 block=0 mpulse=2 nchan=1\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "FAKE end events=2 empty=0\n")) << r.out;

    // The default mix: 1 marker, 300 values, 4 name-value blocks, 3 spectra,
    // 1 camera, 2 EqData channels.
    r = replay_args({"--no-progress", "--plugin", fake_plugin(), "--synthetic", "0"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "channels=311\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "FAKE end events=0")) << r.out;

    // The same run twice gives the same table with the real plug-in.
    std::vector<std::string> args = {"--synthetic", "3", "--mix",
                                     "values=3,namevalue=1x2,spectrum=1x2x5,image=1x3x2x1,eq=1"};
    ReplayResult a = replay_args(args), b = replay_args(args);
    EXPECT_EQ(0, a.status) << a.err;
    EXPECT_FALSE(a.file("user_out.txt").empty());
    EXPECT_EQ(a.file("user_out.txt"), b.file("user_out.txt"));
    EXPECT_EQ(a.out, b.out);
}

TEST(HostReplay, ProgressBarOnlyWhenAsked) {
    std::string dir = make_temp_dir();
    write_file(dir + "/run.jsonl", kHeader + "\n" + R"({"id":1})" + "\n");
    // Standard error is a file here: no bar unless --progress.
    ReplayResult quiet = replay_args({"--plugin", fake_plugin(), "run.jsonl"}, dir);
    EXPECT_EQ(0, quiet.status);
    EXPECT_FALSE(contains(quiet.err, "\r")) << quiet.err;
    ReplayResult bar = replay_args({"--plugin", fake_plugin(), "--progress", "run.jsonl"}, dir);
    EXPECT_EQ(0, bar.status);
    EXPECT_TRUE(contains(bar.err, "\r[")) << bar.err;
    EXPECT_TRUE(contains(bar.err, "100%")) << bar.err;
    EXPECT_EQ(quiet.out, bar.out);  // standard output is the plug-in's alone
    ReplayResult off =
        replay_args({"--plugin", fake_plugin(), "--progress", "--no-progress", "run.jsonl"}, dir);
    EXPECT_FALSE(contains(off.err, "\r")) << off.err;
}
