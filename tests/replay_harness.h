// replay_harness.h - runs korvel-replay in a fresh temporary directory and
// collects what it printed and wrote, for the scenario tests.
#ifndef KORVEL_REPLAY_HARNESS_H
#define KORVEL_REPLAY_HARNESS_H

#include <map>
#include <string>
#include <vector>

#include "test_files.h"

namespace standin {
struct Event;
}

struct ReplayResult {
    std::string out;  // standard output
    std::string err;  // standard error
    int status = -1;  // exit status, or 128 + signal number
    std::string dir;  // the working directory of the run
    // Contents of a file of the run's directory (path relative to it).
    std::string file(const std::string &name) const;
    bool exists(const std::string &name) const;
};

struct ReplayRun {
    std::string recording;             // JSON Lines text of the recording
    std::vector<std::string> words;    // plug-in words after "--"
    std::vector<std::string> options;  // korvel-replay options before the file
    std::vector<std::string> env;      // NAME=VALUE entries, replacing inherited ones
    // Runs inside this directory when set (it must exist); else a new one.
    std::string dir;
};

// Write the recording as "run.jsonl" into a new temporary directory, run
// korvel-replay there with `--no-progress` and the given options and words,
// and collect the results. The directory stays until the process ends.
ReplayResult replay(const ReplayRun &run);
// The same with a recording and words only.
ReplayResult replay(const std::string &recording, const std::vector<std::string> &words = {});
// replay() of a recording and words inside the existing directory `dir`.
ReplayResult run_in(const std::string &dir, const std::string &rec,
                    const std::vector<std::string> &words);
// A run of the recording `rec` with the plug-in words `words` and the
// korvel-replay options `options`, in UTC, in a fresh directory that holds
// the empty subdirectories `subdirs`.
ReplayResult run(const std::string &rec, const std::vector<std::string> &words,
                 const std::vector<std::string> &options = {},
                 const std::vector<std::string> &subdirs = {});
// Run `rec`, a recording of the one channel `title` and one event, with
// `words` (and `options`), in tab mode and then with -hdf5 added: each run
// must succeed, write the table of one_cell_table with the cell `tab` or
// `hdf5`, and print one_cell_output with `messages`.
void expect_cells(const std::string &title, const std::string &rec,
                  const std::vector<std::string> &words, const std::string &tab,
                  const std::string &hdf5, const std::string &messages = "",
                  const std::vector<std::string> &options = {});
// Run korvel-replay with exactly these arguments in `dir` (new one if empty).
ReplayResult replay_args(const std::vector<std::string> &args, const std::string &dir = "",
                         const std::vector<std::string> &env = {});

// The stand-in's event parser without a process (host tests only: defined
// in replay_harness_events.cc, which links the stand-in's library).
// Parses the event line `line` in a run whose header line is `header` (the
// test fails if the header does not parse); `parses` says whether the line
// must be accepted, and the test fails when it is not. Returns the event
// read (a default one when refused) and leaves the message in *error.
standin::Event parse_event_line(const std::string &header, const std::string &line, bool parses,
                                std::string *error);

// Building recordings and expected output for the scenario tests.

// The run header line (with its line end) of a recording whose channel
// table is the JSON array `channels`; `extra` adds header members, given as
// `"key": value` pairs separated by commas (empty: none).
std::string recording_header(const std::string &channels, const std::string &extra = "");
// A recording: the header line and the event lines, each ended by "\n".
std::string recording(const std::string &channels, const std::vector<std::string> &events,
                      const std::string &extra = "");
// What a successful set-up prints: the channel count and the channel list
// for channels with these texts ("name" or "name:sub").
std::string setup_listing(const std::vector<std::string> &texts);
// The table of a run with one channel `title` and one event (number 1,
// type NORMAL, time 0:0) whose cell is `cell`, in tab or HDF5 mode.
std::string one_cell_table(const std::string &title, const std::string &cell, bool hdf5);
// Standard output of such a run declaring two events: the listing, the
// event's messages and the statistics (efficiency 1 / 0).
std::string one_cell_output(const std::string &title, const std::string &messages);
// What the end of a run prints: the statistics line, the efficiency line
// (left out when `efficiency` is empty) and the bad-channel line.
std::string end_statistics(int events, int empty, const std::string &efficiency, int bad);

// The XML description file as the stand-in's dump_chan_desr writes it,
// read back: the <channel> elements and the <dimensions> records with the
// attributes of their <spectrum> and <image> elements, in file order.
// Numbers are compared as numbers, whatever form the XML library gave them.
struct DescrChannel {
    std::string daq_name, desc, units;
};
struct DescrDims {
    std::string name;
    long long num = 0;
    std::vector<std::map<std::string, double>> spectra;
    std::vector<std::map<std::string, double>> images;
};
struct DescrFile {
    bool ok = false;    // the file exists and is a <channels> document
    std::string error;  // what is wrong when !ok
    std::vector<DescrChannel> channels;
    std::vector<DescrDims> dims;
};
DescrFile read_descr_file(const std::string &path);
// The record of the channel `name` in a description file, or null.
const DescrDims *find_dims(const DescrFile &f, const std::string &name);

#endif
