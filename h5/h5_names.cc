// h5_names.cc - HDF5 names for channel titles and block items.
//
// A title is split at '/' into nested groups. HDF5 cannot hold an empty
// name, and "." would mean the group itself, so those parts are replaced;
// control bytes, '%' and bytes that are not UTF-8 are written %XX so that
// every name is printable text. Collisions are resolved in channel table
// order, the earlier channel keeping its name: the part of a later
// channel's path that collides gets "~2", "~3", ... (the rule is written
// out in docs/hdf5-layout.md, which users rely on).
#include "h5_converter.h"

#include <set>

// Length of the UTF-8 sequence at s[i..n) (1 for ASCII), or 0 when it is
// not valid.
static size_t utf8_len(const unsigned char *s, size_t i, size_t n) {
    unsigned char c = s[i];
    if (c < 0x80)
        return 1;
    size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (c >= 0xF5 || len == 0 || i + len > n)
        return 0;
    for (size_t k = 1; k < len; k++)
        if ((s[i + k] & 0xC0) != 0x80)
            return 0;
    return len;
}

bool valid_utf8(std::string_view s) {
    const unsigned char *p = (const unsigned char *)s.data();
    for (size_t i = 0, len; i < s.size(); i += len)
        if ((len = utf8_len(p, i, s.size())) == 0)
            return false;
    return true;
}

// One part of a path: escaped as described at the top of the file;
// `slash` also escapes '/' (item names are single parts).
static std::string escape_part(std::string_view part, bool slash) {
    if (part.empty())
        return "_";
    if (part == "." || part == "..")
        return "_" + std::string(part);
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    const unsigned char *s = (const unsigned char *)part.data();
    size_t n = part.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        size_t len = utf8_len(s, i, n);
        if (c < 0x20 || c == 0x7F || c == '%' || (slash && c == '/') || len == 0) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
            i++;
            continue;
        }
        out.append((const char *)s + i, len);
        i += len;
    }
    return out;
}

std::string item_dataset_name(std::string_view item) {
    return escape_part(item, true);
}

std::string bare_name(const std::string &title) {
    size_t colon = title.rfind(':');
    if (colon == std::string::npos || colon + 1 == title.size())
        return title;
    size_t k = colon + 1 + (title[colon + 1] == '-');
    if (k == title.size())
        return title;
    for (; k < title.size(); k++)
        if (title[k] < '0' || title[k] > '9')
            return title;
    return title.substr(0, colon);
}

// The escaped parts of a title.
static std::vector<std::string> title_parts(const std::string &title) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t slash = title.find('/', from);
        parts.push_back(escape_part(
            std::string_view(title).substr(from, slash == std::string::npos ? slash : slash - from),
            false));
        if (slash == std::string::npos)
            return parts;
        from = slash + 1;
    }
}

// Paths taken so far: the channels' groups and every group above them.
struct Taken {
    std::set<std::string> channel_groups;
    std::set<std::string> all_groups;
};

static std::string join_path(const std::string &prefix, const std::string &part) {
    return prefix.empty() ? part : prefix + "/" + part;
}

// The path of one channel, parts taken from the first; a part whose path
// is an earlier channel's group (or, for the last part, any group at all)
// gets the smallest "~N" that frees it.
static std::string free_path(const std::vector<std::string> &parts, Taken &taken) {
    std::string path;
    for (size_t i = 0; i < parts.size(); i++) {
        bool last = i + 1 == parts.size();
        std::string candidate = join_path(path, parts[i]);
        for (int n = 2; last ? taken.all_groups.count(candidate) != 0
                             : taken.channel_groups.count(candidate) != 0;
             n++)
            candidate = join_path(path, parts[i] + "~" + std::to_string(n));
        path = candidate;
        taken.all_groups.insert(path);
    }
    taken.channel_groups.insert(path);
    return path;
}

void assign_groups(std::vector<Channel> &channels) {
    Taken taken;
    for (Channel &ch : channels)
        ch.group = free_path(title_parts(ch.title), taken);
}
