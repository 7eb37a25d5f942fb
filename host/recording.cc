// recording.cc - the recording reader: JSON Lines parsed with nlohmann-json
// into the run header and event model of standin.h, strictly (every key,
// type and range checked; unknown and repeated keys refused), and the
// RecordingSource that streams a file one event at a time and reports
// errors as FILE:LINE: message.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "host_internal.h"

namespace standin {
namespace {

// ordered_json keeps the keys in file order, so the channel entries of an
// event stay in the order the recording gives them.
using json = nlohmann::ordered_json;

// Every check throws this; parse_header / parse_event turn it into their
// false result, so a half-parsed line never reaches the caller.
struct RecordingError {
    std::string message;
};

[[noreturn]] void fail(std::string message) {
    throw RecordingError{std::move(message)};
}

// What is odd but usable in a line; kept only when the whole line parses.
using Warnings = std::vector<std::string>;

// A text as a JSON string, for messages ("CAM/A" with its quotes).
std::string quote(const std::string &s) {
    return json(s).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string member(const std::string &path, const char *key) {
    return path.empty() ? std::string(key) : path + "." + key;
}

std::string element(const std::string &path, size_t i) {
    return path + "[" + std::to_string(i) + "]";
}

// "got number 1.5", "got string", ... for type errors.
std::string got(const json &v) {
    if (v.is_number())
        return std::string("got number ") + v.dump();
    return std::string("got ") + v.type_name();
}

// The object at `path` (`what` names it in messages) may only hold the
// given keys.
void check_keys(const json &v, const std::string &path, const char *what,
                std::initializer_list<const char *> keys) {
    if (!v.is_object())
        fail((path.empty() ? std::string(what) : path) +
             ": expected an object, " + got(v));
    for (auto it = v.begin(); it != v.end(); ++it) {
        bool known = false;
        for (const char *k : keys)
            if (it.key() == k)
                known = true;
        if (!known)
            fail("unknown key " + quote(it.key()) + " in " +
                 (path.empty() ? std::string(what) : path));
    }
}

const json *find(const json &obj, const char *key) {
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

const json &require(const json &obj, const std::string &path, const char *what,
                    const char *key) {
    const json *v = find(obj, key);
    if (!v)
        fail("missing key " + quote(key) + " in " +
             (path.empty() ? std::string(what) : path));
    return *v;
}

long long get_int(const json &v, const std::string &path, long long lo,
                  long long hi) {
    if (!v.is_number_integer())
        fail(path + ": expected an integer, " + got(v));
    if (v.is_number_unsigned()) {
        uint64_t u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(hi))
            fail(path + ": " + v.dump() + " is out of range (" +
                 std::to_string(lo) + " to " + std::to_string(hi) + ")");
        return static_cast<long long>(u);
    }
    long long x = v.get<int64_t>();
    if (x < lo || x > hi)
        fail(path + ": " + v.dump() + " is out of range (" + std::to_string(lo) +
             " to " + std::to_string(hi) + ")");
    return x;
}

int32_t get_i32(const json &v, const std::string &path) {
    return static_cast<int32_t>(get_int(v, path, INT32_MIN, INT32_MAX));
}

std::string above_limit() {
    return " is above the limit of " + std::to_string(kMaxRecordedCount) +
           " (16 Mi) that no real reader exceeds";
}

// A count: any int32 up to kMaxRecordedCount. Negative counts stay
// allowed, since the plug-in must cope with them.
int32_t get_count(const json &v, const std::string &path) {
    int32_t n = get_i32(v, path);
    if (n > kMaxRecordedCount)
        fail(path + ": " + std::to_string(n) + above_limit());
    return n;
}

// The product of int32 factors with its magnitude held just above
// kMaxRecordedCount: no step can overflow (2^25 x 2^31 < 2^63), and any
// product beyond the limit stays beyond it with its sign.
long long capped_product(std::initializer_list<long long> factors) {
    long long magnitude = 1;
    bool negative = false;
    for (long long f : factors) {
        if (f == 0)
            return 0;
        negative = negative != (f < 0);
        magnitude = std::min(magnitude * (f < 0 ? -f : f), kMaxRecordedCount + 1);
    }
    return negative ? -magnitude : magnitude;
}

uint32_t get_u32(const json &v, const std::string &path) {
    return static_cast<uint32_t>(get_int(v, path, 0, UINT32_MAX));
}

bool get_bool(const json &v, const std::string &path) {
    if (!v.is_boolean())
        fail(path + ": expected true or false, " + got(v));
    return v.get<bool>();
}

// Strings become C texts for the plug-in, so an embedded NUL would cut
// them silently: refused.
std::string get_string(const json &v, const std::string &path) {
    if (!v.is_string())
        fail(path + ": expected a string, " + got(v));
    const std::string &s = v.get_ref<const std::string &>();
    if (s.find('\0') != std::string::npos)
        fail(path + ": a NUL character is not allowed in a text");
    return s;
}

// Names become fields of the event table and lines of the event-ID file,
// which tabs and line ends separate: a name holding one would split a row.
// No real reader gives such names, so they are refused.
std::string get_name(const json &v, const std::string &path) {
    if (!v.is_string())
        fail(path + ": expected a string, " + got(v));
    const std::string &s = v.get_ref<const std::string &>();
    size_t at = s.find_first_of(std::string("\t\r\n\0", 4));
    if (at != std::string::npos) {
        const char *what = s[at] == '\t'   ? "a tab"
                           : s[at] == '\r' ? "a carriage return"
                           : s[at] == '\n' ? "a line end"
                                           : "a NUL character";
        fail(path + ": " + what + " (at byte " + std::to_string(at + 1) +
             ") is not allowed in a name");
    }
    return s;
}

std::optional<std::string> get_name_or_null(const json &v, const std::string &path) {
    if (v.is_null())
        return std::nullopt;
    if (!v.is_string())
        fail(path + ": expected a string or null, " + got(v));
    return get_name(v, path);
}

const json &get_array(const json &v, const std::string &path) {
    if (!v.is_array())
        fail(path + ": expected an array, " + got(v));
    return v;
}

float bits_float(uint32_t bits) {
    float f;
    memcpy(&f, &bits, 4);
    return f;
}

// The special values a recording may spell as strings.
bool special_value(const std::string &s, double *out) {
    if (s == "inf")
        *out = std::numeric_limits<double>::infinity();
    else if (s == "-inf")
        *out = -std::numeric_limits<double>::infinity();
    else if (s == "nan")
        *out = std::numeric_limits<double>::quiet_NaN();
    else if (s == "-nan")
        *out = -std::numeric_limits<double>::quiet_NaN();
    else if (s == "-0")
        *out = -0.0;
    else
        return false;
    return true;
}

const char *const kValueForms =
    "a number, \"inf\", \"-inf\", \"nan\", \"-nan\", \"-0\" or {\"bits\": N}";

// A value: a JSON number rounded once to single precision (integers go
// straight to float, others through their exact double), a special string,
// or {"bits": N}, the float whose 32-bit pattern is the signed int N.
float get_value(const json &v, const std::string &path) {
    if (v.is_number_unsigned())
        return static_cast<float>(v.get<uint64_t>());
    if (v.is_number_integer())
        return static_cast<float>(v.get<int64_t>());
    if (v.is_number_float())
        return round_to_float(v.get<double>());
    if (v.is_string()) {
        double d;
        if (!special_value(v.get_ref<const std::string &>(), &d))
            fail(path + ": unknown value " + v.dump() + " (expected " +
                 kValueForms + ")");
        if (std::isnan(d))  // keep the sign of "-nan" exactly
            return bits_float(std::signbit(d) ? 0xffc00000u : 0x7fc00000u);
        return static_cast<float>(d);
    }
    if (v.is_object()) {
        check_keys(v, path, "", {"bits"});
        int32_t n = get_i32(require(v, path, "", "bits"), member(path, "bits"));
        uint32_t u;
        memcpy(&u, &n, 4);
        return bits_float(u);
    }
    fail(path + ": expected a value (" + kValueForms + "), " + got(v));
}

std::vector<float> get_values(const json &v, const std::string &path) {
    const json &a = get_array(v, path);
    std::vector<float> out;
    out.reserve(a.size());
    for (size_t i = 0; i < a.size(); i++)
        out.push_back(get_value(a[i], element(path, i)));
    return out;
}

// EqData values are doubles: JSON numbers as they are, or special strings.
double get_double(const json &v, const std::string &path) {
    if (v.is_number_unsigned())
        return static_cast<double>(v.get<uint64_t>());
    if (v.is_number_integer())
        return static_cast<double>(v.get<int64_t>());
    if (v.is_number_float())
        return v.get<double>();
    if (v.is_string()) {
        double d;
        if (special_value(v.get_ref<const std::string &>(), &d))
            return d;
        fail(path + ": unknown value " + v.dump() +
             " (expected a number, \"inf\", \"-inf\", \"nan\", \"-nan\" or \"-0\")");
    }
    fail(path + ": expected a number, " + got(v));
}

TimePair get_time(const json &v, const std::string &path) {
    if (!v.is_array() || v.size() != 2)
        fail(path + ": expected [seconds, microseconds], " +
             (v.is_array() ? "got an array of " + std::to_string(v.size())
                           : got(v)));
    TimePair t;
    t.sec = get_u32(v[0], element(path, 0));
    t.usec = get_u32(v[1], element(path, 1));
    return t;
}

// ---- Parsing a line ----

// Parse one line. nlohmann keeps the last of repeated keys silently, so
// the callback watches the keys of every open object; it also bounds the
// nesting.
json parse_json(const std::string &line) {
    // The JSON parser would take a raw NUL for the end of the input and
    // blame the line's end; name the byte instead.
    size_t nul = line.find('\0');
    if (nul != std::string::npos)
        fail("NUL byte at column " + std::to_string(nul + 1) +
             " (a recording line is text)");
    std::vector<std::unordered_set<std::string>> open;
    std::string repeated;
    auto watch = [&](int, json::parse_event_t ev, json &parsed) {
        switch (ev) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start:
            if (open.size() >= static_cast<size_t>(kMaxJsonDepth))
                fail("nested deeper than " + std::to_string(kMaxJsonDepth) +
                     " levels");
            open.emplace_back();
            break;
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            if (!open.empty())
                open.pop_back();
            break;
        case json::parse_event_t::key:
            if (!open.empty() && !open.back().insert(parsed.get<std::string>()).second &&
                repeated.empty())
                repeated = parsed.get<std::string>();
            break;
        default:
            break;
        }
        return true;
    };
    json j;
    try {
        j = json::parse(line, watch, true, false);
    } catch (const json::exception &e) {
        // "[json.exception.parse_error.101] parse error at line 1, column 7:
        // syntax error ..." -> "column 7: syntax error ..."
        std::string what = e.what();
        size_t col = what.find("column ");
        if (col == std::string::npos) {
            size_t close = what.find("] ");
            col = close == std::string::npos ? 0 : close + 2;
        }
        fail("not valid JSON (" + what.substr(col) + ")");
    }
    if (!repeated.empty())
        fail("key " + quote(repeated) + " appears twice in one object");
    if (!j.is_object())
        fail(std::string("a recording line must be a JSON object, got ") +
             j.type_name());
    return j;
}

// ---- Run header ----

Channel parse_channel(const json &v, const std::string &path) {
    check_keys(v, path, "", {"name", "sub", "type"});
    Channel c;
    c.name = get_name_or_null(require(v, path, "", "name"), member(path, "name"));
    if (const json *s = find(v, "sub"))
        c.sub = get_i32(*s, member(path, "sub"));
    if (const json *t = find(v, "type"))
        c.type = get_i32(*t, member(path, "type"));
    return c;
}

Description parse_description(const json &v, const std::string &path) {
    check_keys(v, path, "", {"daq_name", "desc", "units"});
    Description d;
    std::string p = member(path, "daq_name");
    d.daq_name = get_name(require(v, path, "", "daq_name"), p);
    if (d.daq_name.size() > 255)
        fail(p + ": " + std::to_string(d.daq_name.size()) +
             " bytes long; the reader holds at most 255");
    if (const json *s = find(v, "desc"))
        d.desc = get_string(*s, member(path, "desc"));
    if (const json *s = find(v, "units"))
        d.units = get_string(*s, member(path, "units"));
    return d;
}

void parse_header_json(const json &j, RunHeader *h) {
    const char *what = "the run header";
    check_keys(j, "", what,
               {"format", "version", "channels", "descriptions", "events",
                "empty_events", "nbunch", "outmode", "dump_error"});
    std::string format = get_string(require(j, "", what, "format"), "format");
    if (format != "korvel-recording")
        fail("format must be \"korvel-recording\", not " + quote(format));
    const json &version = require(j, "", what, "version");
    if (!version.is_number_integer())
        fail("version: expected an integer, " + got(version));
    if (!(version.is_number_unsigned() && version.get<uint64_t>() == 1))
        fail("version " + version.dump() + " is not supported (only 1 is)");
    const json &chans = get_array(require(j, "", what, "channels"), "channels");
    for (size_t i = 0; i < chans.size(); i++)
        h->channels.push_back(parse_channel(chans[i], element("channels", i)));
    if (const json *d = find(j, "descriptions")) {
        const json &a = get_array(*d, "descriptions");
        for (size_t i = 0; i < a.size(); i++)
            h->descriptions.push_back(
                parse_description(a[i], element("descriptions", i)));
    }
    if (const json *v = find(j, "events"))
        h->events = get_i32(*v, "events");
    if (const json *v = find(j, "empty_events"))
        h->empty_events = get_i32(*v, "empty_events");
    if (const json *v = find(j, "nbunch"))
        h->nbunch = get_i32(*v, "nbunch");
    if (const json *v = find(j, "outmode"))
        h->outmode = get_i32(*v, "outmode");
    if (const json *v = find(j, "dump_error"))
        h->dump_error = get_i32(*v, "dump_error");
}

// ---- Event lines ----

SideBlock parse_side_block(const json &v, const std::string &path) {
    check_keys(v, path, "", {"time", "status", "mpulse"});
    SideBlock b;
    if (const json *t = find(v, "time"))
        b.time = get_time(*t, member(path, "time"));
    if (const json *s = find(v, "status"))
        b.status = get_i32(*s, member(path, "status"));
    if (const json *m = find(v, "mpulse"))
        b.mpulse = get_i32(*m, member(path, "mpulse"));
    return b;
}

void parse_block(const json &v, const std::string &path, ServBlock *b) {
    check_keys(v, path, "", {"time", "mpulse", "status", "nchan", "fail"});
    if (const json *t = find(v, "time"))
        b->time = get_time(*t, member(path, "time"));
    if (const json *m = find(v, "mpulse"))
        b->mpulse = get_i32(*m, member(path, "mpulse"));
    if (const json *s = find(v, "status"))
        b->status = get_i32(*s, member(path, "status"));
    if (const json *n = find(v, "nchan"))
        b->nchan = get_count(*n, member(path, "nchan"));
    if (const json *f = find(v, "fail"))
        b->fail = get_bool(*f, member(path, "fail"));
}

void parse_chan(const json &v, const std::string &path, ChanQuery *c) {
    check_keys(v, path, "", {"name", "status", "fail"});
    if (const json *n = find(v, "name")) {
        c->name = get_name_or_null(*n, member(path, "name"));
        c->null_name = !c->name;
    }
    if (const json *s = find(v, "status"))
        c->status = get_i32(*s, member(path, "status"));
    if (const json *f = find(v, "fail"))
        c->fail = get_bool(*f, member(path, "fail"));
}

std::vector<Item> parse_items(const json &v, const std::string &path) {
    const json &a = get_array(v, path);
    std::vector<Item> items;
    items.reserve(a.size());
    for (size_t i = 0; i < a.size(); i++) {
        std::string p = element(path, i);
        if (!a[i].is_array() || a[i].size() != 2)
            fail(p + ": expected [name or null, value], " +
                 (a[i].is_array() ? "got an array of " + std::to_string(a[i].size())
                                  : got(a[i])));
        Item it;
        it.name = get_name_or_null(a[i][0], element(p, 0));
        it.value = get_value(a[i][1], element(p, 1));
        items.push_back(std::move(it));
    }
    return items;
}

zarn_spect_statistics_2010 parse_stat(const json &v, const std::string &path) {
    check_keys(v, path, "", {"mask", "val"});
    zarn_spect_statistics_2010 st{};
    if (const json *m = find(v, "mask"))
        st.mask = get_u32(*m, member(path, "mask"));
    if (const json *val = find(v, "val")) {
        std::string p = member(path, "val");
        if (!val->is_object())
            fail(p + ": expected an object, " + got(*val));
        for (auto it = val->begin(); it != val->end(); ++it) {
            // Keys are the indices "0" to "31", written plainly.
            const std::string &k = it.key();
            int j = -1;
            if (!k.empty() && k.size() <= 2 && isdigit(static_cast<unsigned char>(k[0])) &&
                (k.size() == 1 || (k[0] != '0' && isdigit(static_cast<unsigned char>(k[1])))))
                j = std::stoi(k);
            if (j < 0 || j > 31)
                fail(p + ": key " + quote(k) + " is not an index from 0 to 31");
            st.val[j] = get_value(*it, p + "[" + quote(k) + "]");
        }
    }
    return st;
}

// The plug-in reads ndata values, or ndata x groups when there are two
// groups or more.
void check_member_length(const SpectMember &m, const std::string &path) {
    int ndata = m.resolved_ndata();
    if (m.groups < 2) {
        if (ndata > kMaxRecordedCount)
            fail(member(path, "ndata") + ": " + std::to_string(ndata) + above_limit());
        return;
    }
    if (capped_product({ndata, m.groups}) > kMaxRecordedCount)
        fail(path + ": ndata x groups = " + std::to_string(ndata) + " x " +
             std::to_string(m.groups) + above_limit());
}

SpectMember parse_member(const json &v, const std::string &path) {
    check_keys(v, path, "",
               {"fail", "start", "inc", "ndata", "groups", "groups_inc", "values",
                "stat"});
    SpectMember m;
    if (const json *f = find(v, "fail"))
        m.fail = get_bool(*f, member(path, "fail"));
    if (const json *x = find(v, "start"))
        m.start = get_value(*x, member(path, "start"));
    if (const json *x = find(v, "inc"))
        m.inc = get_value(*x, member(path, "inc"));
    if (const json *x = find(v, "groups_inc"))
        m.groups_inc = get_value(*x, member(path, "groups_inc"));
    if (const json *x = find(v, "groups"))
        m.groups = get_i32(*x, member(path, "groups"));
    if (const json *x = find(v, "ndata"))
        m.ndata = get_i32(*x, member(path, "ndata"));
    if (const json *x = find(v, "values"))
        m.values = get_values(*x, member(path, "values"));
    if (const json *x = find(v, "stat"))
        m.stat = parse_stat(*x, member(path, "stat"));
    check_member_length(m, path);
    return m;
}

Roi parse_roi(const json &v, const std::string &path) {
    check_keys(v, path, "",
               {"w", "h", "mean", "max", "sig", "cofm", "start1", "inc1", "ndata1",
                "data"});
    Roi r;
    if (const json *x = find(v, "w"))
        r.w = get_i32(*x, member(path, "w"));
    if (const json *x = find(v, "h"))
        r.h = get_i32(*x, member(path, "h"));
    if (const json *x = find(v, "mean"))
        r.mean = get_value(*x, member(path, "mean"));
    if (const json *x = find(v, "max"))
        r.max = get_value(*x, member(path, "max"));
    if (const json *x = find(v, "sig"))
        r.sig = get_value(*x, member(path, "sig"));
    if (const json *x = find(v, "cofm"))
        r.cofm = get_value(*x, member(path, "cofm"));
    if (const json *x = find(v, "start1"))
        r.start1 = get_value(*x, member(path, "start1"));
    if (const json *x = find(v, "inc1"))
        r.inc1 = get_value(*x, member(path, "inc1"));
    if (const json *x = find(v, "ndata1"))
        r.ndata1 = get_count(*x, member(path, "ndata1"));
    if (const json *x = find(v, "data"))
        r.data = get_values(*x, member(path, "data"));
    return r;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void parse_header_fields(const json &v, const std::string &path, Image *img) {
    if (!v.is_object())
        fail(path + ": expected an object, " + got(v));
    for (auto it = v.begin(); it != v.end(); ++it) {
        int i = frame_field_index(it.key());
        if (i < 0)
            fail("unknown key " + quote(it.key()) + " in " + path +
                 " (the fields of zarn_image_ext_frame_head)");
        const FrameField &f = kFrameFieldTable[i];
        std::string p = member(path, f.name);
        unsigned char *dst = reinterpret_cast<unsigned char *>(&img->header) + f.offset;
        if (f.kind == FIELD_INT) {
            int32_t x = get_i32(*it, p);
            memcpy(dst, &x, 4);
        } else if (f.kind == FIELD_UNSIGNED) {
            uint32_t x = get_u32(*it, p);
            memcpy(dst, &x, 4);
        } else {
            float x = get_value(*it, p);
            memcpy(dst, &x, 4);
        }
        img->header_set |= 1u << i;
    }
}

// Pixel bytes from a hex string.
std::vector<uint8_t> parse_pixels(const json &v, const std::string &path) {
    std::string hex = get_string(v, path);
    if (hex.size() % 2)
        fail(path + ": a hex string needs an even number of digits");
    if (static_cast<long long>(hex.size() / 2) > kMaxRecordedCount)
        fail(path + ": " + std::to_string(hex.size() / 2) + " bytes" + above_limit());
    std::vector<uint8_t> bytes(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); i++) {
        int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            fail(path + ": not a hex digit at offset " +
                 std::to_string(hi < 0 ? 2 * i : 2 * i + 1));
        bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return bytes;
}

// The geometry's byte count is bounded whether or not `len` is given (the
// plug-in may trust either); without `len` it must also be an int, since it
// becomes the length.
void check_image_geometry(const Image &img, const std::string &path) {
    std::string dims = std::to_string(img.width) + " x " + std::to_string(img.height) +
                       " x " + std::to_string(img.bpp);
    if (capped_product({img.width, img.height, img.bpp}) > kMaxRecordedCount)
        fail(path + ": width x height x bpp = " + dims + above_limit());
    long long n = 0;
    bool overflow = __builtin_mul_overflow(static_cast<long long>(img.width) * img.height,
                                           static_cast<long long>(img.bpp), &n);
    if (!img.len && (overflow || n < INT32_MIN))
        fail(member(path, "len") + ": width x height x bpp = " + dims +
             " is below the smallest int; give len");
}

Image parse_image(const json &v, const std::string &path, Warnings *warnings) {
    check_keys(v, path, "",
               {"bpp", "width", "height", "len", "size", "pixels", "nframe", "compr",
                "header", "fail"});
    Image img;
    if (const json *x = find(v, "bpp"))
        img.bpp = get_i32(*x, member(path, "bpp"));
    if (const json *x = find(v, "width"))
        img.width = get_i32(*x, member(path, "width"));
    if (const json *x = find(v, "height"))
        img.height = get_i32(*x, member(path, "height"));
    if (const json *x = find(v, "len"))
        img.len = get_count(*x, member(path, "len"));
    check_image_geometry(img, path);
    if (const json *x = find(v, "size"))
        img.size = get_count(*x, member(path, "size"));
    if (const json *x = find(v, "pixels")) {
        img.pixels = parse_pixels(*x, member(path, "pixels"));
        long long len = img.resolved_len();
        if (warnings && static_cast<long long>(img.pixels.size()) < len)
            warnings->push_back(member(path, "pixels") + ": " +
                                std::to_string(img.pixels.size()) +
                                " bytes, fewer than len " + std::to_string(len) +
                                "; zero-padded");
    }
    if (const json *x = find(v, "nframe"))
        img.nframe = get_i32(*x, member(path, "nframe"));
    if (const json *x = find(v, "compr"))
        img.compr = get_i32(*x, member(path, "compr"));
    if (const json *x = find(v, "header"))
        parse_header_fields(*x, member(path, "header"), &img);
    if (const json *x = find(v, "fail"))
        img.fail = get_bool(*x, member(path, "fail"));
    return img;
}

Eq parse_eq(const json &v, const std::string &path) {
    check_keys(v, path, "", {"type", "values", "fail"});
    Eq eq;
    if (const json *x = find(v, "type"))
        eq.type = get_i32(*x, member(path, "type"));
    if (const json *x = find(v, "values")) {
        std::string p = member(path, "values");
        const json &a = get_array(*x, p);
        for (size_t i = 0; i < a.size(); i++)
            eq.values.push_back(get_double(a[i], element(p, i)));
    }
    if (const json *x = find(v, "fail"))
        eq.fail = get_bool(*x, member(path, "fail"));
    return eq;
}

void parse_entry(const json &v, const std::string &path, ChannelData *c,
                 Warnings *warnings) {
    check_keys(v, path, "",
               {"type", "block", "chan", "value", "items", "count", "members", "nmemb",
                "roi", "image", "eq"});
    if (const json *x = find(v, "type"))
        c->type = get_i32(*x, member(path, "type"));
    if (const json *x = find(v, "block"))
        parse_block(*x, member(path, "block"), &c->block);
    if (const json *x = find(v, "chan"))
        parse_chan(*x, member(path, "chan"), &c->chan);
    const json *value = find(v, "value");
    const json *items = find(v, "items");
    const json *count = find(v, "count");
    // A channel is either one value or a name-value block; `count` belongs
    // to the block.
    if (value && items)
        fail(path + ": \"value\" and \"items\" exclude each other");
    if (value && count)
        fail(path + ": \"count\" belongs to \"items\", not to \"value\"");
    if (value)
        c->value = get_value(*value, member(path, "value"));
    if (items)
        c->items = parse_items(*items, member(path, "items"));
    if (count) {
        c->count = get_count(*count, member(path, "count"));
        if (!c->items)
            c->items.emplace();
    }
    if (const json *x = find(v, "members")) {
        std::string p = member(path, "members");
        const json &a = get_array(*x, p);
        c->members.reserve(a.size());
        for (size_t i = 0; i < a.size(); i++)
            c->members.push_back(parse_member(a[i], element(p, i)));
    }
    if (const json *x = find(v, "nmemb"))
        c->nmemb = get_count(*x, member(path, "nmemb"));
    if (const json *x = find(v, "roi"))
        c->roi = parse_roi(*x, member(path, "roi"));
    if (const json *x = find(v, "image"))
        c->image = parse_image(*x, member(path, "image"), warnings);
    if (const json *x = find(v, "eq"))
        c->eq = parse_eq(*x, member(path, "eq"));
}

void parse_event_json(const json &j, const Run &run, Event *ev, Warnings *warnings) {
    const char *what = "the event";
    check_keys(j, "", what,
               {"id", "type", "time", "status", "mpulse", "fail", "image_block",
                "fast_block", "channels"});
    ev->id = get_u32(require(j, "", what, "id"), "id");
    if (const json *x = find(j, "type"))
        ev->type = get_i32(*x, "type");
    if (const json *x = find(j, "time"))
        ev->time = get_time(*x, "time");
    if (const json *x = find(j, "status"))
        ev->status = get_i32(*x, "status");
    if (const json *x = find(j, "mpulse"))
        ev->mpulse = get_i32(*x, "mpulse");
    if (const json *x = find(j, "fail"))
        ev->fail = get_bool(*x, "fail");
    if (const json *x = find(j, "image_block"))
        ev->image_block = parse_side_block(*x, "image_block");
    if (const json *x = find(j, "fast_block"))
        ev->fast_block = parse_side_block(*x, "fast_block");
    if (const json *x = find(j, "channels")) {
        if (!x->is_object())
            fail("channels: expected an object, " + got(*x));
        ev->channels.reserve(x->size());
        for (auto it = x->begin(); it != x->end(); ++it) {
            // A key that names no channel of the run would never be asked
            // for: most likely a typing error, so it is refused.
            if (run.find_channel(it.key()) < 0)
                fail("channels: " + quote(it.key()) +
                     " is not the channel text of a channel of the run");
            ChannelData &c = ev->add(it.key());
            parse_entry(*it, "channels[" + quote(it.key()) + "]", &c, warnings);
        }
    }
}

}  // namespace

bool parse_header(const std::string &line, RunHeader *out, std::string *error) {
    try {
        RunHeader h;
        parse_header_json(parse_json(line), &h);
        *out = std::move(h);
        return true;
    } catch (const RecordingError &e) {
        if (error)
            *error = e.message;
        return false;
    }
}

bool parse_event(const std::string &line, const Run &run, Event *out,
                 std::string *error, std::vector<std::string> *warnings) {
    try {
        *out = Event();
        Warnings found;
        parse_event_json(parse_json(line), run, out, &found);
        if (warnings)
            warnings->insert(warnings->end(), found.begin(), found.end());
        return true;
    } catch (const RecordingError &e) {
        if (error)
            *error = e.message;
        *out = Event();
        return false;
    }
}

// ---- RecordingSource ----

RecordingSource::RecordingSource(std::istream &in, std::string name, uint64_t size)
    : in_(in), name_(std::move(name)), size_(size) {}

RecordingSource::~RecordingSource() = default;

std::unique_ptr<RecordingSource> RecordingSource::open(const std::string &path,
                                                       std::string *error) {
    // A directory opens as a stream on Linux and fails only at the first
    // read, which could not say why.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (error)
            *error = path + ": is a directory, not a recording";
        return nullptr;
    }
    auto f = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!f->is_open()) {
        if (error)
            *error = path + ": cannot open: " + strerror(errno);
        return nullptr;
    }
    f->seekg(0, std::ios::end);
    std::streamoff size = f->tellg();
    f->seekg(0, std::ios::beg);
    if (size < 0 || !*f) {  // not seekable (a pipe): progress unknown
        f->clear();
        size = 0;
    }
    std::istream &ref = *f;
    auto src = std::make_unique<RecordingSource>(ref, path, static_cast<uint64_t>(size));
    src->owned_ = std::move(f);
    return src;
}

bool RecordingSource::next_line(std::string *line) {
    while (std::getline(in_, *line)) {
        line_no_++;
        consumed_ += line->size() + 1;
        if (line->find_first_not_of(" \t\r") != std::string::npos)
            return true;
    }
    return false;
}

bool RecordingSource::read_header(RunHeader *out, std::string *error) {
    if (!next_line(&line_)) {
        *error = name_ + ":" + std::to_string(line_no_ + 1) +
                 (in_.bad() ? ": read error" : ": no run header: the recording is empty");
        return false;
    }
    std::string why;
    if (!parse_header(line_, out, &why)) {
        *error = name_ + ":" + std::to_string(line_no_) + ": " + why;
        return false;
    }
    return true;
}

int RecordingSource::next(const Run &run, const Event **event, std::string *error) {
    warnings_.clear();
    if (!next_line(&line_)) {
        if (in_.bad()) {
            *error = name_ + ":" + std::to_string(line_no_ + 1) + ": read error";
            return -1;
        }
        return 0;
    }
    std::string why;
    if (!parse_event(line_, run, &event_, &why, &warnings_)) {
        *error = name_ + ":" + std::to_string(line_no_) + ": " + why;
        return -1;
    }
    for (std::string &w : warnings_)
        w = name_ + ":" + std::to_string(line_no_) + ": warning: " + w;
    *event = &event_;
    return 1;
}

const std::vector<std::string> &RecordingSource::warnings() const { return warnings_; }

bool RecordingSource::failed() const { return in_.bad(); }

double RecordingSource::progress() const {
    if (size_ == 0)
        return -1;
    double p = static_cast<double>(consumed_) / static_cast<double>(size_);
    return p > 1 ? 1 : p;
}

}  // namespace standin
