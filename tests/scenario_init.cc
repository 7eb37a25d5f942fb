// scenario_init.cc - run set-up through korvel-replay: the result of every
// failing set-up with its messages and what it leaves behind, the channel
// list, the integer-form channel flags and -nodump; and the symbols the
// plug-in exports.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "replay_harness.h"

namespace {

const std::string kIso0 = "1970-01-01T00:00:00Z";

// korvel-replay's exit status when the set-up returned non-zero.
const int kSetupFailed = 3;

// A run directory that already holds a table file with old content.
std::string dir_with_old_table(const std::string &content) {
    std::string dir = make_temp_dir();
    write_file(dir + "/user_out.txt", content);
    return dir;
}

}  // namespace

// -2: the count line is printed before it is tested; no table file is
// created or touched, and neither loop nor end runs (no statistics, no
// event-ID file, no XML file).
TEST(SetUp, NoChannelsFailsWithMinusTwoAndLeavesFilesAlone) {
    std::string rec = recording("[]", {R"({"id": 1})"});
    const std::string expected = "CHANNELS: 0\nzarn_user_init(): no channels in the reader !!!\n";

    ReplayResult r = replay(rec, {"-evstat", "-xdump"});
    EXPECT_EQ(r.status, kSetupFailed);
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(r.exists("user_out.txt"));
    EXPECT_FALSE(r.exists("user_evids.txt"));
    EXPECT_FALSE(r.exists("user_descr.xml"));

    r = run_in(dir_with_old_table("old rows\n"), rec, {});
    EXPECT_EQ(r.status, kSetupFailed);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.file("user_out.txt"), "old rows\n");
}

// -4: the message names the index of the channel without a name; the
// table file is not created or touched.
TEST(SetUp, MissingChannelNameFailsWithMinusFourAndItsIndex) {
    std::string rec =
        recording(R"([{"name": "A"}, {"name": "B", "sub": 1}, {"name": null}, {"name": "D"}])",
                  {R"({"id": 1})"});
    ReplayResult r = run_in(dir_with_old_table("old rows\n"), rec, {"-evstat"});
    EXPECT_EQ(r.status, kSetupFailed);
    EXPECT_EQ(r.out, "CHANNELS: 4\nzarn_user_init(): failed to get channel 2 !!!\n");
    EXPECT_EQ(r.file("user_out.txt"), "old rows\n");
    EXPECT_FALSE(r.exists("user_evids.txt"));

    r = replay(recording(R"([{"name": null}])", {}), {});
    EXPECT_EQ(r.status, kSetupFailed);
    EXPECT_EQ(r.out, "CHANNELS: 1\nzarn_user_init(): failed to get channel 0 !!!\n");
    EXPECT_FALSE(r.exists("user_out.txt"));
}

// -5: after the count line, before the channel list; the system's error
// text goes to standard error behind "fopen: ".
TEST(SetUp, UnopenableTableFailsWithMinusFiveBeforeTheListing) {
    std::string rec = recording(R"([{"name": "A"}, {"name": "B"}])", {R"({"id": 1})"});
    const std::string expected = "CHANNELS: 2\nzarn_user_init(): failed to open file for writing\n";

    ReplayResult r = replay(rec, {"-out", "nodir/t.txt", "-evstat"});
    EXPECT_EQ(r.status, kSetupFailed);
    EXPECT_EQ(r.out, expected);
    EXPECT_NE(r.err.find("fopen: No such file or directory\n"), std::string::npos) << r.err;
    EXPECT_FALSE(r.exists("nodir"));
    EXPECT_FALSE(r.exists("user_evids.txt"));

    // A directory in the place of the table file.
    std::string dir = make_temp_dir();
    ASSERT_EQ(mkdir((dir + "/user_out.txt").c_str(), 0755), 0);
    r = run_in(dir, rec, {});
    EXPECT_EQ(r.status, kSetupFailed);
    EXPECT_EQ(r.out, expected);
    EXPECT_NE(r.err.find("fopen: Is a directory\n"), std::string::npos) << r.err;
}

// 0: the listing shows the sub-channel suffix for every number from 0 up,
// none for negative ones; the header row carries the same texts.
TEST(SetUp, SuccessListsEveryChannelAndWritesTheHeader) {
    std::string rec = recording(
        R"([{"name": "A"}, {"name": "B", "sub": 0}, {"name": "C", "sub": 3}, {"name": "D", "sub": -5}])",
        {});
    ReplayResult r = replay(rec, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, setup_listing({"A", "B:0", "C:3", "D"}) + end_statistics(0, 0, "", 0));
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tA\tB:0\tC:3\tD\n");
}

TEST(SetUp, ExistingTableFileIsEmptiedFirst) {
    std::string rec =
        recording(R"([{"name": "A", "type": 1}])", {R"({"id": 5, "channels": {"A": {}}})"});
    ReplayResult r = run_in(dir_with_old_table(std::string(5000, 'x') + "\n"), rec, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tA\n[NORMAL]5\t\t0:0\t" + kIso0 + "\t1\t\n");
}

// -nodump: no table file is created or truncated, under any name, and the
// channel list is printed all the same.
TEST(SetUp, NodumpOpensNoTableButStillListsTheChannels) {
    std::string rec = recording(R"([{"name": "A", "type": 1}, {"name": "B", "sub": 2}])",
                                {R"({"id": 1, "channels": {"A": {}, "B:2": {"value": 1}}})",
                                 R"({"id": 2, "channels": {"A": {}, "B:2": {"value": 1}}})"});
    const std::string expected =
        setup_listing({"A", "B:2"}) + end_statistics(2, 0, "100.000000", 0);

    ReplayResult r = run_in(dir_with_old_table("old rows\n"), rec, {"-nodump"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.file("user_out.txt"), "old rows\n");

    r = replay(rec, {"-out", "t.txt", "-nodump"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(r.exists("t.txt"));
    EXPECT_FALSE(r.exists("user_out.txt"));
}

// -fti: a channel is flagged when its bare name occurs anywhere in the list
// word, whatever the separators and sub-channel numbers. Flagged channels
// write the bits of 1.0 as an int, the others 1.000000.
TEST(SetUp, FtiFlagsEveryChannelWhoseNameOccursInTheList) {
    std::string rec = recording(
        R"([{"name": "AB"}, {"name": "CD", "sub": 1}, {"name": "CD", "sub": 2}, {"name": "A"},)"
        R"( {"name": "B;C"}, {"name": "X"}, {"name": "ABC"}, {"name": "DA"}])",
        {R"({"id": 1, "channels": {"AB": {"value": 1}, "CD:1": {"value": 1}, "CD:2": {"value": 1},)"
         R"( "A": {"value": 1}, "B;C": {"value": 1}, "X": {"value": 1}, "ABC": {"value": 1},)"
         R"( "DA": {"value": 1}}})"});
    const std::string i = "1065353216\t\t", f = "1.000000\t\t";
    const std::string header = "EventId\tTime\t\t\tAB\tCD:1\tCD:2\tA\tB;C\tX\tABC\tDA\n";
    const std::string lead = "[NORMAL]1\t\t0:0\t" + kIso0 + "\t";

    ReplayResult r = replay(rec, {"-fti", "AB;CD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"), header + lead + i + i + i + i + i + f + f + "1.000000\t\n");

    // No separator at all: the same substring test.
    r = replay(rec, {"-fti", "ABCD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"), header + lead + i + i + i + i + f + f + i + "1.000000\t\n");
}

// Channel texts longer than the header's 80-byte and the loop's 256-byte
// scratch are used whole: the title is not cut, and the channel is still
// found in the event under its full text.
TEST(SetUp, LongChannelTextsAreUsedWhole) {
    const std::string l(100, 'L'), m(300, 'M');
    std::string rec = recording(
        "[{\"name\": \"" + l + "\", \"sub\": 7, \"type\": 1}, {\"name\": \"" + m +
            "\", \"sub\": 12, \"type\": 2}]",
        {"{\"id\": 1, \"channels\": {\"" + l + ":7\": {}, \"" + m + ":12\": {\"value\": 0.5}}}"},
        "\"events\": 2");
    ReplayResult r = replay(rec, {"-evstat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, setup_listing({l + ":7", m + ":12"}) + end_statistics(2, 0, "inf", 0));
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\t" + l + ":7\t" + m + ":12\n" +
                                          "[NORMAL]1\t\t0:0\t" + kIso0 + "\t1\t\t0.500000\t\n");
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:" + l + "\t1\nChan:" + m + "\t1\n");
}

// ---- What the plug-in exports ----

namespace {

// The names of the symbols that libKorvel.so defines and exports: the
// defined global and weak entries of its dynamic symbol table (ELF64).
std::vector<std::string> exported_symbols(const std::string &path) {
    std::string elf = read_file(path);
    std::vector<std::string> names;
    if (elf.size() < sizeof(Elf64_Ehdr) || elf.compare(0, 4, ELFMAG) != 0 ||
        elf[EI_CLASS] != ELFCLASS64)
        return names;
    Elf64_Ehdr eh;
    memcpy(&eh, elf.data(), sizeof eh);
    auto section = [&](size_t k) {
        Elf64_Shdr sh;
        memcpy(&sh, elf.data() + eh.e_shoff + k * eh.e_shentsize, sizeof sh);
        return sh;
    };
    for (size_t k = 0; k < eh.e_shnum; k++) {
        Elf64_Shdr sh = section(k);
        if (sh.sh_type != SHT_DYNSYM)
            continue;
        Elf64_Shdr strtab = section(sh.sh_link);
        for (size_t off = sh.sh_entsize; off + sizeof(Elf64_Sym) <= sh.sh_size;
             off += sh.sh_entsize) {
            Elf64_Sym sym;
            memcpy(&sym, elf.data() + sh.sh_offset + off, sizeof sym);
            int bind = ELF64_ST_BIND(sym.st_info);
            if (sym.st_shndx != SHN_UNDEF && (bind == STB_GLOBAL || bind == STB_WEAK))
                names.push_back(elf.c_str() + strtab.sh_offset + sym.st_name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// The reader finds the four entry points by their C++ names; a host that
// wants to know whether every output was written may ask the output
// status by its C name. Nothing else leaves the plug-in.
TEST(Contract, TheFourEntryPointsAndTheOutputStatusAndNothingElse) {
    EXPECT_EQ(exported_symbols(KORVEL_PLUGIN_PATH),
              (std::vector<std::string>{
                  "_Z14zarn_user_helpv", "_Z14zarn_user_loopP16zarn_daq_getdata",
                  "_Z18zarn_user_end_2010P20zarn_daq_reader_2010",
                  "_Z19zarn_user_init_2010iPPcP20zarn_daq_reader_2010", "korvel_output_failure"}));
}
