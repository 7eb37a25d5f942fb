// fuzz_recording.cc - arbitrary bytes as a recording: the header and event
// line parsers, the stream reader, and cursors bound to what they accept.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "standin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);

    // Line parsers: the first line as a header, the others as events.
    size_t nl = text.find('\n');
    std::string first = text.substr(0, nl);
    standin::RunHeader h;
    std::string err;
    if (standin::parse_header(first, &h, &err)) {
        standin::Run run(h);
        standin::Cursor cur;
        size_t at = nl == std::string::npos ? text.size() : nl + 1;
        while (at < text.size()) {
            size_t e = text.find('\n', at);
            if (e == std::string::npos)
                e = text.size();
            standin::Event ev;
            if (standin::parse_event(text.substr(at, e - at), run, &ev, &err)) {
                cur.bind(run, ev);
                cur.unbind();
            }
            at = e + 1;
        }
    }

    // The stream reader over the whole input.
    std::istringstream in(text);
    standin::RecordingSource src(in, "fuzz.jsonl", size);
    standin::RunHeader h2;
    if (!src.read_header(&h2, &err))
        return 0;
    standin::Run run(h2);
    standin::Cursor cur;
    const standin::Event *ev = nullptr;
    for (int n = 0; n < 1000 && src.next(run, &ev, &err) == 1; n++) {
        run.count_event();
        cur.bind(run, *ev);
        (void)run.find_channel("A");
        (void)src.progress();
    }
    return 0;
}
