// unit_hostile_answers.cc - host answers that a recording may no longer
// carry (the stand-in refuses counts above its limit and control
// characters in names, as no real reader gives them), handed to the
// plug-in directly from events built by hand: value counts whose 32-bit
// product wraps, and item names holding the tab dialect's separator. The
// plug-in must still write what its formats say. Each run is made in a
// child process, because a run leaves the plug-in's state behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"
#include "unit_child_run.h"

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
    standin::Channel c;
    c.name = "S";
    c.type = 3;
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
                  std::string::npos) << o.out;
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
    standin::Channel c;
    c.name = "B";
    c.type = 2;
    standin::Event ev;
    ev.id = 1;
    standin::Item a, b;
    a.name = "a,b";
    a.value = 1.0f;
    b.name = "c\td";
    b.value = 2.0f;
    ev.add("B").items = std::vector<standin::Item>{a, b};
    Outcome tab = run_one(c, ev, {});
    EXPECT_EQ(tab.table, "EventId\tTime\t\t\tB\n" +
                             row("\t{[a,b:1.00e+00]\t[c\td:2.00e+00]}", false));
    Outcome hdf = run_one(c, ev, {"-hdf5"});
    EXPECT_EQ(hdf.table, "EventId,Time,TimeISO,B\n" +
                             row("[[a,b:1.00e+00][c\td:2.00e+00]]", true));
}

}  // namespace
