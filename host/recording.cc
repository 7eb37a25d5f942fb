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

// The keys of one JSON object, each handed out once: take() gives a key's
// value (null when the object has none) and marks the key as taken;
// finish() refuses the first key that nobody took. Every key of an object
// is thus named in one place, where it is read, and the check of unknown
// keys cannot drift from what is read. `path` names the object in
// messages ("channels[\"A\"].block"); `what` stands in for an empty path
// ("the run header").
class Fields {
  public:
    Fields(const json &obj, std::string path, const char *what = "")
        : obj_(obj), path_(std::move(path)), what_(what) {
        if (!obj.is_object())
            fail(name() + ": expected an object, " + got(obj));
        taken_.assign(obj.size(), false);
    }

    const json *take(const char *key) {
        size_t i = 0;
        for (auto it = obj_.begin(); it != obj_.end(); ++it, ++i)
            if (it.key() == key) {
                taken_[i] = true;
                return &*it;
            }
        return nullptr;
    }

    const json &need(const char *key) {
        const json *v = take(key);
        if (!v)
            fail("missing key " + quote(key) + " in " + name());
        return *v;
    }

    // The path of a member, for messages: "path.key".
    std::string at(const char *key) const {
        return member(path_, key);
    }

    // Read `key` with `get(value, path)` into *out when the object has it.
    template <class T, class Get>
    void read(const char *key, T *out, Get get) {
        if (const json *v = take(key))
            *out = get(*v, at(key));
    }

    void finish() const {
        size_t i = 0;
        for (auto it = obj_.begin(); it != obj_.end(); ++it, ++i)
            if (!taken_[i])
                fail("unknown key " + quote(it.key()) + " in " + name());
    }

  private:
    std::string name() const {
        return path_.empty() ? std::string(what_) : path_;
    }

    const json &obj_;
    std::string path_;
    const char *what_;
    std::vector<bool> taken_;
};

long long get_int(const json &v, const std::string &path, long long lo, long long hi) {
    if (!v.is_number_integer())
        fail(path + ": expected an integer, " + got(v));
    if (v.is_number_unsigned()) {
        uint64_t u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(hi))
            fail(path + ": " + v.dump() + " is out of range (" + std::to_string(lo) + " to " +
                 std::to_string(hi) + ")");
        return static_cast<long long>(u);
    }
    long long x = v.get<int64_t>();
    if (x < lo || x > hi)
        fail(path + ": " + v.dump() + " is out of range (" + std::to_string(lo) + " to " +
             std::to_string(hi) + ")");
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
            fail(path + ": unknown value " + v.dump() + " (expected " + kValueForms + ")");
        if (std::isnan(d))  // keep the sign of "-nan" exactly
            return bits_float(std::signbit(d) ? 0xffc00000u : 0x7fc00000u);
        return static_cast<float>(d);
    }
    if (v.is_object()) {
        Fields f(v, path);
        int32_t n = get_i32(f.need("bits"), f.at("bits"));
        f.finish();
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
    // A plain number needs no path for a message: building one per value
    // took most of the time of a long spectrum.
    for (size_t i = 0; i < a.size(); i++)
        out.push_back(a[i].is_number() ? get_value(a[i], path) : get_value(a[i], element(path, i)));
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
             (v.is_array() ? "got an array of " + std::to_string(v.size()) : got(v)));
    TimePair t;
    t.sec = get_u32(v[0], element(path, 0));
    t.usec = get_u32(v[1], element(path, 1));
    return t;
}

// ---- Parsing a line ----

// The parse stopped because the stop flag was raised (a signal asked the
// run to end); not a fault of the line.
struct ParseStopped {};

// Builds the DOM of one line from nlohmann's SAX events. nlohmann's own
// DOM parser inserts every key of an ordered_json object by looking it up
// in the object's list first, so an object of n keys (an event of n
// channels) cost n² string comparisons; here an object is handed over in
// one piece when it closes, and repeated keys are found with a hash set
// instead (nlohmann would keep the last silently). It also bounds the
// nesting and, every few thousand values, looks at the stop flag.
class LineBuilder {
  public:
    explicit LineBuilder(const volatile std::sig_atomic_t *stop) : stop_(stop) {}

    bool null() {
        return add(json(nullptr));
    }
    bool boolean(bool v) {
        return add(json(v));
    }
    bool number_integer(json::number_integer_t v) {
        return add(json(v));
    }
    bool number_unsigned(json::number_unsigned_t v) {
        return add(json(v));
    }
    bool number_float(json::number_float_t v, const std::string &) {
        return add(json(v));
    }
    bool string(std::string &s) {
        return add(json(std::move(s)));
    }
    bool binary(json::binary_t &) {
        return add(json());
    }  // text never holds one
    bool start_object(std::size_t) {
        return open(true);
    }
    bool start_array(std::size_t) {
        return open(false);
    }
    bool end_object() {
        return close();
    }
    bool end_array() {
        return close();
    }

    bool key(std::string &k) {
        Frame &f = open_.back();
        if (!f.keys.insert(k).second && repeated_.empty())
            repeated_ = k;
        f.key = std::move(k);
        return true;
    }

    bool parse_error(std::size_t position, const std::string &,
                     const nlohmann::detail::exception &e) {
        error_ = describe_error(position, e);
        return false;
    }

    json &result() {
        return root_;
    }
    const std::string &error() const {
        return error_;
    }
    const std::string &repeated() const {
        return repeated_;
    }

  private:
    struct Frame {
        bool object = false;
        std::string key;                                    // of the next member
        std::vector<std::pair<std::string, json>> members;  // object
        std::vector<json> items;                            // array
        std::unordered_set<std::string> keys;
    };

    // "[json.exception.parse_error.101] parse error at line 1, column 7:
    // syntax error ..." -> "column 7: syntax error ...". A number beyond
    // the range of a double is refused by the JSON parser itself.
    static std::string describe_error(std::size_t, const nlohmann::detail::exception &e) {
        std::string what = e.what();
        if (e.id == 406) {  // "... number overflow parsing '1e400'"
            size_t q = what.find('\'');
            size_t r = what.rfind('\'');
            std::string number = q < r ? what.substr(q + 1, r - q - 1) : std::string("a number");
            return "the number " + number +
                   " is beyond the range of a double; write \"inf\" or \"-inf\"";
        }
        size_t col = what.find("column ");
        if (col == std::string::npos) {
            size_t close = what.find("] ");
            col = close == std::string::npos ? 0 : close + 2;
        }
        return what.substr(col);
    }

    void check_stop() {
        if (stop_ && ++values_ % 4096 == 0 && *stop_ != 0)
            throw ParseStopped{};
    }

    bool add(json v) {
        check_stop();
        if (open_.empty()) {
            root_ = std::move(v);
            return true;
        }
        Frame &f = open_.back();
        if (f.object)
            f.members.emplace_back(std::move(f.key), std::move(v));
        else
            f.items.push_back(std::move(v));
        return true;
    }

    bool open(bool object) {
        if (open_.size() >= static_cast<size_t>(kMaxJsonDepth))
            fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
        open_.emplace_back();
        open_.back().object = object;
        return true;
    }

    bool close() {
        Frame f = std::move(open_.back());
        open_.pop_back();
        json v;
        if (f.object) {
            v = json::object();
            json::object_t &o = v.get_ref<json::object_t &>();
            o.reserve(f.members.size());
            for (auto &m : f.members)
                o.emplace_back(std::move(m.first), std::move(m.second));
        } else {
            v = json::array();
            v.get_ref<json::array_t &>() = std::move(f.items);
        }
        return add(std::move(v));
    }

    const volatile std::sig_atomic_t *stop_;
    unsigned long values_ = 0;
    std::vector<Frame> open_;
    json root_;
    std::string error_;
    std::string repeated_;
};

// Parse one line into a JSON object; throws ParseStopped when `stop` is
// raised meanwhile.
json parse_json(const std::string &line, const volatile std::sig_atomic_t *stop = nullptr) {
    // The JSON parser would take a raw NUL for the end of the input and
    // blame the line's end; name the byte instead.
    size_t nul = line.find('\0');
    if (nul != std::string::npos)
        fail("NUL byte at column " + std::to_string(nul + 1) + " (a recording line is text)");
    LineBuilder builder(stop);
    if (!json::sax_parse(line, &builder, json::input_format_t::json, true, false))
        fail("not valid JSON (" + builder.error() + ")");
    if (!builder.repeated().empty())
        fail("key " + quote(builder.repeated()) + " appears twice in one object");
    json &j = builder.result();
    if (!j.is_object())
        fail(std::string("a recording line must be a JSON object, got ") + j.type_name());
    return std::move(j);
}

// ---- Run header ----

Channel parse_channel(const json &v, const std::string &path) {
    Fields f(v, path);
    Channel c;
    c.name = get_name_or_null(f.need("name"), f.at("name"));
    f.read("sub", &c.sub, get_i32);
    f.read("type", &c.type, get_i32);
    f.finish();
    return c;
}

Description parse_description(const json &v, const std::string &path) {
    Fields f(v, path);
    Description d;
    d.daq_name = get_name(f.need("daq_name"), f.at("daq_name"));
    if (d.daq_name.size() > 255)
        fail(f.at("daq_name") + ": " + std::to_string(d.daq_name.size()) +
             " bytes long; the reader holds at most 255");
    f.read("desc", &d.desc, get_string);
    f.read("units", &d.units, get_string);
    f.finish();
    return d;
}

// A list of records, each read by `parse(element, its path)`.
template <class T, class Parse>
std::vector<T> get_list(const json &v, const std::string &path, Parse parse) {
    const json &a = get_array(v, path);
    std::vector<T> out;
    out.reserve(a.size());
    for (size_t i = 0; i < a.size(); i++)
        out.push_back(parse(a[i], element(path, i)));
    return out;
}

void check_format(Fields &f) {
    std::string format = get_string(f.need("format"), "format");
    if (format != "korvel-recording")
        fail("format must be \"korvel-recording\", not " + quote(format));
    const json &version = f.need("version");
    if (!version.is_number_integer())
        fail("version: expected an integer, " + got(version));
    if (!(version.is_number_unsigned() && version.get<uint64_t>() == 1))
        fail("version " + version.dump() + " is not supported (only 1 is)");
}

void parse_header_json(const json &j, RunHeader *h) {
    Fields f(j, "", "the run header");
    check_format(f);
    h->channels = get_list<Channel>(f.need("channels"), "channels", parse_channel);
    f.read("descriptions", &h->descriptions, [](const json &v, const std::string &p) {
        return get_list<Description>(v, p, parse_description);
    });
    f.read("events", &h->events, get_i32);
    f.read("empty_events", &h->empty_events, get_i32);
    f.read("nbunch", &h->nbunch, get_i32);
    f.read("outmode", &h->outmode, get_i32);
    f.read("dump_error", &h->dump_error, get_i32);
    f.finish();
}

// ---- Event lines ----

// What every server block has: its time, macro-pulse number and status.
template <class Block>
void read_block_head(Fields &f, Block *b) {
    f.read("time", &b->time, get_time);
    f.read("mpulse", &b->mpulse, get_i32);
    f.read("status", &b->status, get_i32);
}

SideBlock parse_side_block(const json &v, const std::string &path) {
    Fields f(v, path);
    SideBlock b;
    read_block_head(f, &b);
    f.finish();
    return b;
}

ServBlock parse_block(const json &v, const std::string &path) {
    Fields f(v, path);
    ServBlock b;
    read_block_head(f, &b);
    f.read("nchan", &b.nchan, get_count);
    f.read("fail", &b.fail, get_bool);
    f.finish();
    return b;
}

ChanQuery parse_chan(const json &v, const std::string &path) {
    Fields f(v, path);
    ChanQuery c;
    if (const json *n = f.take("name")) {
        c.name = get_name_or_null(*n, f.at("name"));
        c.null_name = !c.name;
    }
    f.read("status", &c.status, get_i32);
    f.read("fail", &c.fail, get_bool);
    f.finish();
    return c;
}

std::vector<Item> parse_items(const json &v, const std::string &path) {
    const json &a = get_array(v, path);
    std::vector<Item> items;
    items.reserve(a.size());
    for (size_t i = 0; i < a.size(); i++) {
        std::string p = element(path, i);
        if (!a[i].is_array() || a[i].size() != 2)
            fail(p + ": expected [name or null, value], " +
                 (a[i].is_array() ? "got an array of " + std::to_string(a[i].size()) : got(a[i])));
        Item it;
        it.name = get_name_or_null(a[i][0], element(p, 0));
        it.value = get_value(a[i][1], element(p, 1));
        items.push_back(std::move(it));
    }
    return items;
}

// The statistics values: keys are the indices "0" to "31", written plainly.
void parse_stat_values(const json &val, const std::string &p, zarn_spect_statistics_2010 *st) {
    if (!val.is_object())
        fail(p + ": expected an object, " + got(val));
    for (auto it = val.begin(); it != val.end(); ++it) {
        const std::string &k = it.key();
        int j = -1;
        if (!k.empty() && k.size() <= 2 && isdigit(static_cast<unsigned char>(k[0])) &&
            (k.size() == 1 || (k[0] != '0' && isdigit(static_cast<unsigned char>(k[1])))))
            j = std::stoi(k);
        if (j < 0 || j > 31)
            fail(p + ": key " + quote(k) + " is not an index from 0 to 31");
        st->val[j] = get_value(*it, p + "[" + quote(k) + "]");
    }
}

zarn_spect_statistics_2010 parse_stat(const json &v, const std::string &path) {
    Fields f(v, path);
    zarn_spect_statistics_2010 st{};
    f.read("mask", &st.mask, get_u32);
    if (const json *val = f.take("val"))
        parse_stat_values(*val, f.at("val"), &st);
    f.finish();
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
    Fields f(v, path);
    SpectMember m;
    f.read("fail", &m.fail, get_bool);
    f.read("start", &m.start, get_value);
    f.read("inc", &m.inc, get_value);
    f.read("groups_inc", &m.groups_inc, get_value);
    f.read("groups", &m.groups, get_i32);
    f.read("ndata", &m.ndata, get_i32);
    f.read("values", &m.values, get_values);
    f.read("stat", &m.stat, parse_stat);
    f.finish();
    check_member_length(m, path);
    return m;
}

Roi parse_roi(const json &v, const std::string &path) {
    Fields f(v, path);
    Roi r;
    f.read("w", &r.w, get_i32);
    f.read("h", &r.h, get_i32);
    f.read("mean", &r.mean, get_value);
    f.read("max", &r.max, get_value);
    f.read("sig", &r.sig, get_value);
    f.read("cofm", &r.cofm, get_value);
    f.read("start1", &r.start1, get_value);
    f.read("inc1", &r.inc1, get_value);
    f.read("ndata1", &r.ndata1, get_count);
    f.read("data", &r.data, get_values);
    f.finish();
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
    std::string dims = std::to_string(img.width) + " x " + std::to_string(img.height) + " x " +
                       std::to_string(img.bpp);
    if (capped_product({img.width, img.height, img.bpp}) > kMaxRecordedCount)
        fail(path + ": width x height x bpp = " + dims + above_limit());
    long long n = 0;
    bool overflow = __builtin_mul_overflow(static_cast<long long>(img.width) * img.height,
                                           static_cast<long long>(img.bpp), &n);
    if (!img.len && (overflow || n < INT32_MIN))
        fail(member(path, "len") + ": width x height x bpp = " + dims +
             " is below the smallest int; give len");
}

// Pixels shorter than the image are padded with zeros when bound: said.
void warn_short_pixels(const Image &img, const std::string &p, Warnings *warnings) {
    long long len = img.resolved_len();
    if (warnings && static_cast<long long>(img.pixels.size()) < len)
        warnings->push_back(p + ": " + std::to_string(img.pixels.size()) +
                            " bytes, fewer than len " + std::to_string(len) + "; zero-padded");
}

Image parse_image(const json &v, const std::string &path, Warnings *warnings) {
    Fields f(v, path);
    Image img;
    f.read("bpp", &img.bpp, get_i32);
    f.read("width", &img.width, get_i32);
    f.read("height", &img.height, get_i32);
    f.read("len", &img.len, get_count);
    check_image_geometry(img, path);
    f.read("size", &img.size, get_count);
    if (const json *x = f.take("pixels")) {
        img.pixels = parse_pixels(*x, f.at("pixels"));
        warn_short_pixels(img, f.at("pixels"), warnings);
    }
    f.read("nframe", &img.nframe, get_i32);
    f.read("compr", &img.compr, get_i32);
    if (const json *x = f.take("header"))
        parse_header_fields(*x, f.at("header"), &img);
    f.read("fail", &img.fail, get_bool);
    f.finish();
    return img;
}

Eq parse_eq(const json &v, const std::string &path) {
    Fields f(v, path);
    Eq eq;
    f.read("type", &eq.type, get_i32);
    f.read("values", &eq.values,
           [](const json &a, const std::string &p) { return get_list<double>(a, p, get_double); });
    f.read("fail", &eq.fail, get_bool);
    f.finish();
    return eq;
}

// A channel is either one value or a name-value block; `count` belongs to
// the block (and makes one, empty, without `items`).
void parse_value_or_items(Fields &f, const std::string &path, ChannelData *c) {
    const json *value = f.take("value");
    const json *items = f.take("items");
    const json *count = f.take("count");
    if (value && items)
        fail(path + ": \"value\" and \"items\" exclude each other");
    if (value && count)
        fail(path + ": \"count\" belongs to \"items\", not to \"value\"");
    if (value)
        c->value = get_value(*value, f.at("value"));
    if (items)
        c->items = parse_items(*items, f.at("items"));
    if (count) {
        c->count = get_count(*count, f.at("count"));
        if (!c->items)
            c->items.emplace();
    }
}

void parse_entry(const json &v, const std::string &path, ChannelData *c, Warnings *warnings) {
    Fields f(v, path);
    f.read("type", &c->type, get_i32);
    f.read("block", &c->block, parse_block);
    f.read("chan", &c->chan, parse_chan);
    parse_value_or_items(f, path, c);
    f.read("members", &c->members, [](const json &a, const std::string &p) {
        return get_list<SpectMember>(a, p, parse_member);
    });
    f.read("nmemb", &c->nmemb, get_count);
    f.read("roi", &c->roi, parse_roi);
    if (const json *x = f.take("image"))
        c->image = parse_image(*x, f.at("image"), warnings);
    f.read("eq", &c->eq, parse_eq);
    f.finish();
}

// The channel entries, in the order the line gives them.
void parse_channel_entries(const json &x, const Run &run, Event *ev, Warnings *warnings) {
    if (!x.is_object())
        fail("channels: expected an object, " + got(x));
    ev->channels.reserve(x.size());
    for (auto it = x.begin(); it != x.end(); ++it) {
        // A key that names no channel of the run would never be asked
        // for: most likely a typing error, so it is refused.
        if (run.find_channel(it.key()) < 0)
            fail("channels: " + quote(it.key()) +
                 " is not the channel text of a channel of the run");
        ChannelData &c = ev->add(it.key());
        parse_entry(*it, "channels[" + quote(it.key()) + "]", &c, warnings);
    }
}

void parse_event_json(const json &j, const Run &run, Event *ev, Warnings *warnings) {
    Fields f(j, "", "the event");
    ev->id = get_u32(f.need("id"), "id");
    f.read("type", &ev->type, get_i32);
    f.read("time", &ev->time, get_time);
    f.read("status", &ev->status, get_i32);
    f.read("mpulse", &ev->mpulse, get_i32);
    f.read("fail", &ev->fail, get_bool);
    f.read("image_block", &ev->image_block, parse_side_block);
    f.read("fast_block", &ev->fast_block, parse_side_block);
    if (const json *x = f.take("channels"))
        parse_channel_entries(*x, run, ev, warnings);
    f.finish();
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

// 1 parsed, -1 a recording error (in *error), 0 the stop flag was raised
// while the line was parsed.
static int parse_event_line(const std::string &line, const Run &run, Event *out, std::string *error,
                            std::vector<std::string> *warnings,
                            const volatile std::sig_atomic_t *stop) {
    try {
        *out = Event();
        Warnings found;
        parse_event_json(parse_json(line, stop), run, out, &found);
        if (warnings)
            warnings->insert(warnings->end(), found.begin(), found.end());
        return 1;
    } catch (const RecordingError &e) {
        if (error)
            *error = e.message;
        *out = Event();
        return -1;
    } catch (const ParseStopped &) {
        *out = Event();
        return 0;
    }
}

bool parse_event(const std::string &line, const Run &run, Event *out, std::string *error,
                 std::vector<std::string> *warnings) {
    return parse_event_line(line, run, out, error, warnings, nullptr) == 1;
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

void RecordingSource::watch_stop(const volatile std::sig_atomic_t *flag) {
    stop_ = flag;
}

void RecordingSource::limit_line_length(uint64_t bytes) {
    line_limit_ = bytes;
}

bool RecordingSource::stop_raised() const {
    return stop_ && *stop_ != 0;
}

// More bytes into buf_; false at the end of the stream (or on a read
// error, which in_.bad() then tells). peek() waits for at least one byte
// and readsome() takes what the stream holds already, so a recording fed
// through a pipe is read as it arrives, not in whole buffers.
bool RecordingSource::fill() {
    if (in_.peek() == std::char_traits<char>::eof())
        return false;
    if (buf_.size() < kReadChunk)
        buf_.resize(kReadChunk);
    std::streamsize n = in_.readsome(&buf_[0], static_cast<std::streamsize>(buf_.size()));
    if (n <= 0 && in_.get(buf_[0]))
        n = 1;
    pos_ = 0;
    end_ = n > 0 ? static_cast<size_t>(n) : 0;
    return end_ > 0;
}

// The bytes of one line appended to *line as they arrive. A NUL byte or a
// line longer than line_limit_ is refused as soon as it is seen: a file
// that is not text (a disk image, /dev/zero) must not be read whole into
// memory before it is judged.
int RecordingSource::read_line(std::string *line, std::string *why) {
    line->clear();
    bool any = false;
    for (;;) {
        if (pos_ == end_) {
            if (stop_raised())
                return kStopped;
            if (!fill())
                return any ? kLine : kEnd;
        }
        any = true;
        const char *b = buf_.data() + pos_, *e = buf_.data() + end_;
        const char *nl = static_cast<const char *>(memchr(b, '\n', static_cast<size_t>(e - b)));
        const char *stop = nl ? nl : e;
        size_t n = static_cast<size_t>(stop - b);
        if (const void *nul = memchr(b, '\0', n)) {
            *why = "NUL byte at column " +
                   std::to_string(line->size() +
                                  static_cast<size_t>(static_cast<const char *>(nul) - b) + 1) +
                   " (a recording line is text)";
            return kRefused;
        }
        if (line->size() + n > line_limit_) {
            *why = "the line is longer than " + std::to_string(line_limit_) +
                   " bytes, the limit of a recording line (the rest of the file is not read)";
            return kRefused;
        }
        line->append(b, n);
        consumed_ += n;
        pos_ += n;
        if (nl) {
            pos_++;
            consumed_++;
            return kLine;
        }
    }
}

int RecordingSource::next_line(std::string *line, std::string *why) {
    for (;;) {
        int got = read_line(line, why);
        if (got == kLine || got == kRefused)
            line_no_++;
        if (got == kRefused)
            refused_ = true;
        if (got != kLine || line->find_first_not_of(" \t\r") != std::string::npos)
            return got;
    }
}

bool RecordingSource::read_header(RunHeader *out, std::string *error) {
    std::string why;
    int got = next_line(&line_, &why);
    if (got != kLine) {
        *error = name_ + ":" + std::to_string(got == kRefused ? line_no_ : line_no_ + 1) +
                 (got == kRefused   ? ": " + why
                  : in_.bad()       ? std::string(": read error")
                  : got == kStopped ? std::string(": interrupted before the run header was read")
                                    : std::string(": no run header: the recording is empty"));
        return false;
    }
    if (!parse_header(line_, out, &why)) {
        *error = name_ + ":" + std::to_string(line_no_) + ": " + why;
        return false;
    }
    return true;
}

int RecordingSource::next(const Run &run, const Event **event, std::string *error) {
    warnings_.clear();
    std::string why;
    int got = refused_ ? kEnd : next_line(&line_, &why);
    if (got == kStopped)
        return 0;
    if (got == kRefused) {
        *error = name_ + ":" + std::to_string(line_no_) + ": " + why;
        return -1;
    }
    if (got == kEnd) {
        if (in_.bad()) {
            *error = name_ + ":" + std::to_string(line_no_ + 1) + ": read error";
            return -1;
        }
        return 0;
    }
    int parsed = parse_event_line(line_, run, &event_, &why, &warnings_, stop_);
    if (parsed == 0)
        return 0;
    if (parsed < 0) {
        *error = name_ + ":" + std::to_string(line_no_) + ": " + why;
        return -1;
    }
    for (std::string &w : warnings_)
        w = name_ + ":" + std::to_string(line_no_) + ": warning: " + w;
    *event = &event_;
    return 1;
}

const std::vector<std::string> &RecordingSource::warnings() const {
    return warnings_;
}

bool RecordingSource::failed() const {
    return in_.bad() || refused_;
}

double RecordingSource::progress() const {
    if (size_ == 0)
        return -1;
    double p = static_cast<double>(consumed_) / static_cast<double>(size_);
    return p > 1 ? 1 : p;
}

}  // namespace standin
