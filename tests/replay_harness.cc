// replay_harness.cc - process handling for the scenario tests.
#include "replay_harness.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <pugixml.hpp>

extern char **environ;

std::string ReplayResult::file(const std::string &name) const {
    return read_file(dir + "/" + name);
}

bool ReplayResult::exists(const std::string &name) const {
    struct stat st;
    return stat((dir + "/" + name).c_str(), &st) == 0;
}

ReplayResult replay_args(const std::vector<std::string> &args, const std::string &dir_in,
                         const std::vector<std::string> &env) {
    ReplayResult r;
    r.dir = dir_in.empty() ? make_temp_dir() : dir_in;
    std::string outp = r.dir + ".stdout", errp = r.dir + ".stderr";

    std::vector<std::string> argv_s;
    argv_s.push_back(KORVEL_REPLAY_PATH);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    // Inherited entries give way to the plug-in path and to the run's own
    // entries of the same name (getenv takes the first match).
    auto overridden = [&env](const char *entry) {
        if (strncmp(entry, "KORVEL_PLUGIN=", 14) == 0)
            return true;
        for (auto &e : env) {
            size_t eq = e.find('=');
            if (eq != std::string::npos && strncmp(entry, e.c_str(), eq + 1) == 0)
                return true;
        }
        return false;
    };
    std::vector<std::string> env_s;
    for (char **e = environ; *e; e++)
        if (!overridden(*e))
            env_s.push_back(*e);
    env_s.push_back(std::string("KORVEL_PLUGIN=") + KORVEL_PLUGIN_PATH);
    for (auto &e : env)
        env_s.push_back(e);
    std::vector<char *> envp;
    for (auto &e : env_s)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    // The child must run inside the run's directory: spawn a shell-free
    // chdir by changing ours around the spawn (tests run one at a time).
    char oldcwd[4096];
    if (!getcwd(oldcwd, sizeof oldcwd))
        throw std::runtime_error("getcwd failed");
    if (chdir(r.dir.c_str()) != 0)
        throw std::runtime_error("chdir failed");
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    if (chdir(oldcwd) != 0)
        throw std::runtime_error("chdir back failed");
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("posix_spawn failed");
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    r.out = read_file(outp);
    r.err = read_file(errp);
    unlink(outp.c_str());
    unlink(errp.c_str());
    return r;
}

ReplayResult replay(const ReplayRun &run) {
    std::string dir = run.dir.empty() ? make_temp_dir() : run.dir;
    write_file(dir + "/run.jsonl", run.recording);
    std::vector<std::string> args{"--no-progress"};
    args.insert(args.end(), run.options.begin(), run.options.end());
    args.push_back("run.jsonl");
    if (!run.words.empty()) {
        args.push_back("--");
        args.insert(args.end(), run.words.begin(), run.words.end());
    }
    return replay_args(args, dir, run.env);
}

ReplayResult replay(const std::string &recording, const std::vector<std::string> &words) {
    ReplayRun run;
    run.recording = recording;
    run.words = words;
    return replay(run);
}

std::string recording_header(const std::string &channels, const std::string &extra) {
    std::string h = "{\"format\": \"korvel-recording\", \"version\": 1, \"channels\": " + channels;
    if (!extra.empty())
        h += ", " + extra;
    return h + "}\n";
}

std::string recording(const std::string &channels, const std::vector<std::string> &events,
                      const std::string &extra) {
    std::string r = recording_header(channels, extra);
    for (auto &e : events)
        r += e + "\n";
    return r;
}

std::string setup_listing(const std::vector<std::string> &texts) {
    std::string s = "CHANNELS: " + std::to_string(texts.size()) + "\n";
    s += "zarn_user_init()==== CHANNELS ==============\n";
    for (size_t i = 0; i < texts.size(); i++)
        s += "[" + std::to_string(i) + "] \t " + texts[i] + "\n";
    s += "zarn_user_init()===== CHANNELS END ==============\n";
    return s;
}

std::string end_statistics(int events, int empty, const std::string &efficiency, int bad) {
    std::string s = "READER FINISHED statistics: events: " + std::to_string(events) +
                    "  empty_events:" + std::to_string(empty) + "\n";
    if (!efficiency.empty())
        s += "Event efficiency: " + efficiency + " \n";
    s += "   Bad chans: " + std::to_string(bad) + "\n";
    return s;
}

DescrFile read_descr_file(const std::string &path) {
    DescrFile f;
    pugi::xml_document doc;
    pugi::xml_parse_result pr = doc.load_file(path.c_str());
    if (!pr) {
        f.error = path + ": " + pr.description();
        return f;
    }
    pugi::xml_node root = doc.document_element();
    if (std::string(root.name()) != "channels") {
        f.error = std::string("root element is <") + root.name() + ">";
        return f;
    }
    auto attributes = [](pugi::xml_node n) {
        std::map<std::string, double> a;
        for (pugi::xml_attribute at : n.attributes())
            a[at.name()] = at.as_double();
        return a;
    };
    for (pugi::xml_node n : root.children()) {
        std::string name = n.name();
        if (name == "channel") {
            f.channels.push_back({n.attribute("daq_name").value(), n.attribute("desc").value(),
                                  n.attribute("units").value()});
        } else if (name == "dimensions") {
            DescrDims d;
            d.name = n.attribute("name").value();
            d.num = n.attribute("num").as_llong();
            for (pugi::xml_node e : n.children()) {
                std::string en = e.name();
                if (en == "spectrum")
                    d.spectra.push_back(attributes(e));
                else if (en == "image")
                    d.images.push_back(attributes(e));
                else if (e.type() == pugi::node_element)
                    f.error = "unexpected <" + en + "> in <dimensions>";
            }
            f.dims.push_back(d);
        } else if (n.type() == pugi::node_element) {
            f.error = "unexpected <" + name + "> in <channels>";
        }
    }
    f.ok = f.error.empty();
    return f;
}

std::string one_cell_table(const std::string &title, const std::string &cell, bool hdf5) {
    const std::string iso = "1970-01-01T00:00:00Z";
    if (hdf5)
        return "EventId,Time,TimeISO," + title + "\n1,0:0," + iso + "," + cell + "\n";
    return "EventId\tTime\t\t\t" + title + "\n[NORMAL]1\t\t0:0\t" + iso + "\t" + cell + "\n";
}

std::string one_cell_output(const std::string &title, const std::string &messages) {
    return setup_listing({title}) + messages + end_statistics(2, 0, "inf", 0);
}

const DescrDims *find_dims(const DescrFile &f, const std::string &name) {
    for (auto &d : f.dims)
        if (d.name == name)
            return &d;
    return nullptr;
}

ReplayResult run_in(const std::string &dir, const std::string &rec,
                    const std::vector<std::string> &words) {
    ReplayRun run;
    run.recording = rec;
    run.words = words;
    run.dir = dir;
    return replay(run);
}

ReplayResult run(const std::string &rec, const std::vector<std::string> &words,
                 const std::vector<std::string> &options, const std::vector<std::string> &subdirs) {
    ReplayRun r;
    r.recording = rec;
    r.words = words;
    r.options = options;
    r.env = {"TZ=UTC"};
    r.dir = make_temp_dir();
    for (auto &s : subdirs)
        EXPECT_EQ(mkdir((r.dir + "/" + s).c_str(), 0755), 0) << s;
    return replay(r);
}

void expect_cells(const std::string &title, const std::string &rec,
                  const std::vector<std::string> &words, const std::string &tab,
                  const std::string &hdf5, const std::string &messages,
                  const std::vector<std::string> &options) {
    std::vector<std::string> hdf5_words = words;
    hdf5_words.push_back("-hdf5");
    for (bool h : {false, true}) {
        SCOPED_TRACE(h ? "HDF5 mode" : "tab mode");
        ReplayResult r = run(rec, h ? hdf5_words : words, options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.file("user_out.txt"), one_cell_table(title, h ? hdf5 : tab, h));
        EXPECT_EQ(r.out, one_cell_output(title, messages));
    }
}
