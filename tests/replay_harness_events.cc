// replay_harness_events.cc - the host tests' one-line event parse: a run
// made from a header line, then one event line read in it.
#include <string>

#include <gtest/gtest.h>

#include "replay_harness.h"
#include "standin.h"

using namespace standin;

Event parse_event_line(const std::string &header, const std::string &line, bool parses,
                       std::string *error) {
    RunHeader h;
    EXPECT_TRUE(parse_header(header, &h, error)) << *error;
    standin::Run run(h);
    Event ev;
    EXPECT_EQ(parses, parse_event(line, run, &ev, error)) << line << "\n" << *error;
    return ev;
}
