// host_fake_plugin.cc - a tiny plug-in for the stand-in host's own tests.
// It prints what the host hands it (argv, globals, channel table, event
// headers, block answers, counts) so that korvel-replay can be tested
// without the real libKorvel. Built as libkorvel-fake-plugin.so; the tests'
// build also compiles it into the test program, where it is only called
// through its entry points.
//
// Words: init=K        zarn_user_init_2010 returns K
//        loop-fail=ID  zarn_user_loop returns -1 for event ID
//        out=PATH      write "event ID" per event to PATH, "end" at the end
//        raise=ID:SIG  send itself signal SIG at the end of event ID (once
//                      per word: two such words send it twice)
//        status=E:TEXT korvel_output_failure answers E and TEXT
//
// korvel_output_failure, the optional output status, is exported unless
// KORVEL_FAKE_PLAIN is defined (the build makes both plug-ins).
#include <csignal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "event_util.h"
#include "zarn_daq_data.h"
#include "zarn_daq_reader_2010.h"

// The entry points, declared here as the host finds them (by these
// parameter types), so that this file builds with the host interface alone.
int zarn_user_init_2010(int argc, char **argv, zarn_daq_reader_2010 *reader);
int zarn_user_loop(zarn_daq_getdata *data);
int zarn_user_end_2010(zarn_daq_reader_2010 *reader);
void zarn_user_help();

namespace {

std::vector<std::string> g_texts;  // channel texts from the reader
int g_init_result = 0;
long long g_loop_fail = -1;
FILE *g_out = nullptr;
struct Raise {
    long long id;
    int sig;
};
std::vector<Raise> g_raises;  // signals to send, in word order
int g_status = 0;             // what korvel_output_failure answers
std::string g_status_text;

// "ID:SIG" and "E:TEXT": the number before the colon and what follows.
long long number_before_colon(const char *word, const char **rest) {
    const char *colon = strchr(word, ':');
    *rest = colon ? colon + 1 : "";
    return atoll(word);
}

}  // namespace

int zarn_user_init_2010(int argc, char **argv, zarn_daq_reader_2010 *reader) {
    printf("FAKE init argc=%d\n", argc);
    for (int i = 0; i < argc; i++)
        printf("argv[%d]=%s\n", i, argv[i]);
    printf("argv[argc] is %s\n", argv[argc] ? "set" : "null");
    printf("nbunch=%d outmode=%d\n", nbunch, outmode);
    g_texts.clear();
    g_init_result = 0;
    g_loop_fail = -1;
    g_raises.clear();
    g_status = 0;
    g_status_text.clear();
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "init=", 5) == 0)
            g_init_result = atoi(argv[i] + 5);
        else if (strncmp(argv[i], "loop-fail=", 10) == 0)
            g_loop_fail = atoll(argv[i] + 10);
        else if (strncmp(argv[i], "out=", 4) == 0 && !g_out)
            g_out = fopen(argv[i] + 4, "w");
        else if (strncmp(argv[i], "raise=", 6) == 0) {
            const char *sig = nullptr;
            long long id = number_before_colon(argv[i] + 6, &sig);
            g_raises.push_back({id, atoi(sig)});
        } else if (strncmp(argv[i], "status=", 7) == 0) {
            const char *text = nullptr;
            g_status = static_cast<int>(number_before_colon(argv[i] + 7, &text));
            g_status_text = text;
        }
    }
    int n = reader->get_number_of_channels();
    printf("channels=%d\n", n);
    for (int i = 0; i < n; i++) {
        int sub = -7;
        const char *name = reader->get_channel_name(i, &sub);
        if (!name) {
            printf("channel %d: no name\n", i);
            continue;
        }
        printf("channel %d: %s sub=%d\n", i, name, sub);
        g_texts.push_back(sub < 0 ? std::string(name)
                                  : std::string(name) + ":" + std::to_string(sub));
    }
    printf("descriptions=%zu\n", reader->get_descr_list().size());
    return g_init_result;
}

int zarn_user_loop(zarn_daq_getdata *data) {
    unsigned evid = 0, len = 0, tup = 0, tlow = 0;
    int evtype = 0, status = 0, nsrvb = 0;
    if (data->GetEventInfo(&evid, &evtype, &len, &tup, &tlow, &status, &nsrvb)) {
        printf("FAKE loop: no event info\n");
        return -1;
    }
    printf("FAKE loop id=%u type=%s time=%u.%06u status=%d\n", evid, event_name_itoa(evtype), tup,
           tlow, status);
    for (const std::string &t : g_texts) {
        int type = data->SetProp(t.c_str());
        int mpulse = 0, bstatus = 0, nchan = 0;
        unsigned btup = 0, btlow = 0;
        int rc = data->GetServBlockInfo(&btup, &btlow, nullptr, &mpulse, nullptr, &bstatus, &nchan);
        printf("  %s type=%d block=%d mpulse=%d nchan=%d\n", t.c_str(), type, rc, mpulse, nchan);
    }
    if (g_out)
        fprintf(g_out, "event %u\n", evid);
    for (const Raise &r : g_raises)
        if (r.id == static_cast<long long>(evid))
            raise(r.sig);
    return static_cast<long long>(evid) == g_loop_fail ? -1 : 0;
}

int zarn_user_end_2010(zarn_daq_reader_2010 *reader) {
    printf("FAKE end events=%d empty=%d\n", reader->get_number_of_events(),
           reader->get_number_of_empty_events());
    if (g_out) {
        fputs("end\n", g_out);
        fclose(g_out);
        g_out = nullptr;
    }
    return 0;
}

void zarn_user_help() {
    puts("FAKE usage: init=K loop-fail=ID out=PATH");
}

#ifndef KORVEL_FAKE_PLAIN
// The output status as libKorvel exports it: 0, or an errno and a text of
// at most `size` bytes with its NUL.
extern "C" __attribute__((visibility("default"))) int korvel_output_failure(char *what,
                                                                            size_t size) {
    if (g_status != 0 && what && size > 0) {
        size_t n = std::min(g_status_text.size(), size - 1);
        memcpy(what, g_status_text.data(), n);
        what[n] = '\0';
    }
    return g_status;
}
#endif
