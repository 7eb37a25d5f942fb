"""The names a run's data is addressed by, and shell-wildcard patterns over
them.

A channel is named by its title. Two channels of one title (the table
allows it) are told apart as the file's groups are: the later ones get
`~2`, `~3`, ... in order. An item of a name-value block is
`TITLE/ITEM` (the item's name as the table writes it; with -nonvn tables
its position 0, 1, ...), a member of a spectrum `TITLE[k]`.
"""

import fnmatch
import re

# A pattern ending in [k] names member k of the spectra its head matches.
MEMBER = re.compile(r"^(.*)\[(\d+)\]$")


class UnknownChannel(KeyError):
    """A channel name or pattern that matches nothing in a run."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""


class Ref:
    """One selected piece of a run: a whole channel, one item of a block
    (item is its dataset name) or one member of a spectrum."""

    __slots__ = ("channel", "item", "member", "name")

    def __init__(self, channel, item=None, member=None, item_name=None):
        self.channel = channel
        self.item = item
        self.member = member
        if item is not None:
            self.name = "%s/%s" % (channel.name, item_name)
        elif member is not None:
            self.name = "%s[%d]" % (channel.name, member)
        else:
            self.name = channel.name

    @property
    def key(self):
        return (self.channel.index, self.item, self.member)

    @property
    def kind(self):
        """The channel's kind, or `item` / `member` for a part of one."""
        if self.item is not None:
            return "item"
        if self.member is not None:
            return "member"
        return self.channel.kind


def name_channels(channels):
    """Gives every channel its name: the title, `~2`, `~3`, ... appended to
    the later channels of a title already taken."""
    taken = set()
    for ch in channels:
        name, k = ch.title, 2
        while name in taken:
            name = "%s~%d" % (ch.title, k)
            k += 1
        taken.add(name)
        ch.name = name


def whole(channels):
    return [Ref(ch) for ch in channels]


def parts(ref):
    """A block's items as Refs; any other ref as itself."""
    if ref.kind != "block":
        return [ref]
    return [Ref(ref.channel, item=ds, item_name=name) for ds, name in ref.channel.items]


def resolve(channels, patterns, allowed):
    """The Refs named by patterns among channels, limited to allowed (the
    Refs of the present selection), in pattern order without repeats.

    Returns (refs, unmatched), unmatched the patterns that named nothing.
    """
    if isinstance(patterns, str):
        patterns = [patterns]
    keys = {r.key for r in allowed}
    whole_keys = {(r.channel.index, None, None) for r in allowed
                  if r.kind not in ("item", "member")}

    def ok(ref):
        return ref.key in keys or (ref.channel.index, None, None) in whole_keys

    refs, seen, unmatched = [], set(), []
    for p in patterns:
        found = [r for r in match(channels, str(p)) if ok(r)]
        if not found:
            unmatched.append(p)
        for r in found:
            if r.key not in seen:
                seen.add(r.key)
                refs.append(r)
    return refs, unmatched


def match(channels, p):
    """Refs a single pattern names: an exact name first, else wildcards."""
    exact = [Ref(ch) for ch in channels if ch.name == p]
    exact += [r for ch in channels if ch.kind == "block" and p.startswith(ch.name + "/")
              for r in parts(Ref(ch)) if r.name == p]
    if exact:
        return exact
    m = MEMBER.match(p)
    if m:
        head, k = m.group(1), int(m.group(2))
        return [Ref(ch, member=k) for ch in channels if ch.kind == "spectrum"
                and (ch.name == head or fnmatch.fnmatchcase(ch.name, head))
                and k < ch.members]
    found = [Ref(ch) for ch in channels if fnmatch.fnmatchcase(ch.name, p)]
    taken = {r.channel.index for r in found}
    found += [r for ch in channels if ch.kind == "block" and ch.index not in taken
              for r in parts(Ref(ch)) if fnmatch.fnmatchcase(r.name, p)]
    return found
