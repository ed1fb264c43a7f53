#!/usr/bin/env python3
"""Writes the probe name tables and the frame layout of vela.lua from the component's sources.

The catalogue (session/ProbeCatalogue.cpp) holds one array of {value, "name"} pairs per item
and the list of items (identity, name, description, time-out, values). This script reads
both and rewrites the block of vela.lua between the two marker lines:

  - probe_names:  probe id -> name, as the catalogue names it (the first name where two
                  values share an id), over every probe item, in tree order;
  - probe_groups: probe id -> the label of the first item that holds it;
  - phy_names:    argument value of the Phy test codes -> name;
  - capability_names: bit of the system-capability mask -> name.

A second block, between its own marker lines, holds the TVP frame layout constants of
protocol/TvpLayout.h as the Lua table TvpLayout (same names, same values).

A third holds what the dissector knows of commands: the request and acknowledgement ids with
their names and the fixed size of each (the enums and the frame classes' kFixedSize of
protocol/TvpCommandReq.h and protocol/TvpCommandAck.h), the masks of the header word's 3-bit
fields (from the layout) and of the Common Control header's fields (protocol/CommonControl.cpp).

    gen_probe_names.py            rewrite the blocks in place
    gen_probe_names.py --check    exit 1 (and say why) when a block is not what the
                                  sources give
"""
import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
DEFAULT_CATALOGUE = os.path.join(ROOT, "session", "ProbeCatalogue.cpp")
# The identities are declared in the catalogue's header.
DEFAULT_HEADER = os.path.join(ROOT, "session", "ProbeCatalogue.h")
DEFAULT_LUA = os.path.join(HERE, "vela.lua")
DEFAULT_LAYOUT = os.path.join(ROOT, "protocol", "TvpLayout.h")
DEFAULT_REQUESTS = os.path.join(ROOT, "protocol", "TvpCommandReq.h")
DEFAULT_ACKS = os.path.join(ROOT, "protocol", "TvpCommandAck.h")
DEFAULT_COMMON_CONTROL = os.path.join(ROOT, "protocol", "CommonControl.cpp")

BEGIN = "-- BEGIN GENERATED CATALOGUE (tools/wireshark/gen_probe_names.py)"
END = "-- END GENERATED CATALOGUE"
LAYOUT_BEGIN = "-- BEGIN GENERATED LAYOUT (tools/wireshark/gen_probe_names.py)"
LAYOUT_END = "-- END GENERATED LAYOUT"
COMMANDS_BEGIN = "-- BEGIN GENERATED COMMANDS (tools/wireshark/gen_probe_names.py)"
COMMANDS_END = "-- END GENERATED COMMANDS"

# Identities of the two items whose values are not probe ids.
SYSTEM_CAPABILITY = 424692
PHY = 424694
CAS_PROBES = 424695


class CatalogueError(Exception):
    pass


def c_string(text):
    """The bytes of a C string literal body (escapes \\xNN, \\", \\\\, \\n)."""
    out = bytearray()
    i = 0
    while i < len(text):
        ch = text[i]
        if ch != "\\":
            out += ch.encode("utf-8")
            i += 1
            continue
        nxt = text[i + 1]
        if nxt == "x":
            m = re.match(r"[0-9A-Fa-f]+", text[i + 2:])
            out.append(int(m.group(0), 16) & 0xFF)
            i += 2 + len(m.group(0))
        else:
            out += {"n": b"\n", "t": b"\t", '"': b'"', "\\": b"\\", "'": b"'"}[nxt]
            i += 2
    return bytes(out)


STRING = r'"((?:[^"\\]|\\.)*)"'


def parse_catalogue(source, header=""):
    """(arrays, items): arrays maps an array name to [(value, name bytes)], items is a list of
    (identity, name, description, array name) in tree order."""
    constants = {}
    for m in re.finditer(r"constexpr\s+unsigned\s+long\s+(k\w+)\s*=\s*(\d+)\s*;",
                         header + "\n" + source):
        constants[m.group(1)] = int(m.group(2))

    arrays = {}
    for m in re.finditer(r"const\s+Value\s+(k\w+)\[\]\s*=\s*\{(.*?)\};", source, re.S):
        pairs = re.findall(r"\{\s*(0x[0-9A-Fa-f]+|\d+)\s*,\s*" + STRING + r"\s*\}", m.group(2))
        if not pairs:
            raise CatalogueError("array %s has no values" % m.group(1))
        arrays[m.group(1)] = [(int(v, 0), c_string(n)) for v, n in pairs]

    m = re.search(r"const\s+std::vector<Item>\s+kItems\s*=\s*\{(.*?)\n\};", source, re.S)
    if not m:
        raise CatalogueError("no item list kItems")
    items = []
    entry = re.compile(r"\{\s*(k\w+)\s*,\s*" + STRING + r"\s*,\s*((?:" + STRING +
                       r"\s*)+),\s*(\d+)\s*,\s*VALUES\((k\w+)\)\s*\}", re.S)
    for e in entry.finditer(m.group(1)):
        identity_name, name, description, _, array = e.group(1), e.group(2), e.group(3), \
            e.group(5), e.group(6)
        if identity_name not in constants:
            raise CatalogueError("unknown identity %s" % identity_name)
        if array not in arrays:
            raise CatalogueError("unknown value array %s" % array)
        desc = b"".join(c_string(s) for s in re.findall(STRING, description))
        items.append((constants[identity_name], c_string(name), desc, array))
    if not items:
        raise CatalogueError("no items found in kItems")
    return arrays, items


def item_label(identity, name, description):
    # The name a user chooses an item by: the description of a probe group, else the name.
    if identity in (SYSTEM_CAPABILITY, PHY):
        return name
    if identity == CAS_PROBES:
        return b"CAS"
    return description


def lua_string(data):
    out = []
    for b in data:
        if b in (0x22, 0x5C):
            out.append("\\" + chr(b))
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\%03d" % b)
    return '"' + "".join(out) + '"'


def table(name, comment, entries, width):
    lines = ["-- " + comment, "local %s = {" % name]
    for value, text in entries:
        lines.append("    [0x%0*X] = %s," % (width, value, lua_string(text)))
    lines.append("}")
    return lines


def generate(source, header=""):
    arrays, items = parse_catalogue(source, header)
    names, groups = {}, {}
    phy, capability = [], []
    for identity, name, description, array in items:
        if identity == SYSTEM_CAPABILITY:
            capability = arrays[array]
            continue
        if identity == PHY:
            phy = arrays[array]
            continue
        label = item_label(identity, name, description)
        for value, text in arrays[array]:
            names.setdefault(value, text)
            groups.setdefault(value, label)
    lines = [BEGIN]
    lines += table("probe_names", "probe id -> name", sorted(names.items()), 4)
    lines += table("probe_groups", "probe id -> the catalogue item that holds it",
                   sorted(groups.items()), 4)
    lines += table("phy_names", "argument of the Phy test codes -> name", phy, 4)
    lines += table("capability_names", "bit of the system-capability mask -> name", capability, 2)
    lines.append(END)
    return "\n".join(lines) + "\n"


def generate_layout(header):
    """The Lua table TvpLayout from the constants of protocol/TvpLayout.h, in their order."""
    constants = re.findall(
        r"static\s+constexpr\s+std::uint32_t\s+(k\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+)\s*;", header)
    if not constants:
        raise CatalogueError("no layout constants found")
    lines = [LAYOUT_BEGIN, "-- TVP frame layout (protocol/TvpLayout.h)", "local TvpLayout = {"]
    for name, value in constants:
        lines.append("    %s = %s," % (name, value))
    lines += ["}", LAYOUT_END]
    return "\n".join(lines) + "\n"


def camel(name):
    """SET_PROBE_MODE -> SetProbeMode."""
    return "".join(part.capitalize() for part in name.split("_"))


def commands(header, kind):
    """[(id, name, fixed size)] of the command frames of one direction ("Req" or "Ack"): the
    ids of the enum TvpCommand<kind>Id, each with the kFixedSize of class TvpCommand<Name><kind>."""
    enum = re.search(r"enum\s+TvpCommand%sId\s*:\s*unsigned char\s*\{([^}]*)\}" % kind, header)
    if not enum:
        raise CatalogueError("no enum TvpCommand%sId found" % kind)
    ids = re.findall(r"([A-Z_]+)\s*=\s*(\d+)", enum.group(1))
    classes = {}
    for match in re.finditer(r"^class\s+TvpCommand(\w+)%s\b" % kind, header, re.M):
        size = re.search(r"static\s+constexpr\s+unsigned\s+int\s+kFixedSize\s*=\s*(\d+)\s*;",
                         header[match.end():])
        if size:
            classes[match.group(1)] = int(size.group(1))
    out = []
    for name, value in ids:
        if camel(name) not in classes:
            raise CatalogueError("no class TvpCommand%s%s with a kFixedSize" % (camel(name), kind))
        out.append((int(value), camel(name), classes[camel(name)]))
    return sorted(out)


def generate_commands(layout, requests, acks, common_control):
    """The command tables and the bit-field masks of vela.lua."""
    constants = dict(re.findall(
        r"static\s+constexpr\s+std::uint32_t\s+(k\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+)\s*;", layout))
    field = int(constants["kFieldMask"], 0)
    tvp_masks = [(key, field << int(constants[shift], 0)) for key, shift in (
        ("src_proc", "kSourceProcessorShift"), ("dst_proc", "kDestProcessorShift"),
        ("src_node", "kSourceNodeShift"), ("dst_node", "kDestNodeShift"),
        ("data_id", "kDataIdShift"))]
    cc = {}
    for name, shift, width in re.findall(
            r"constexpr\s+unsigned\s+int\s+k(\w+)Shift\s*=\s*(\d+),\s*k\1Width\s*=\s*(\d+)\s*;",
            common_control):
        cc[name] = ((1 << int(width)) - 1) << int(shift)
    if set(cc) != {"Operation", "Function", "Block"}:
        raise CatalogueError("the Common Control header fields are not what the dissector shows")
    cc_masks = [("op", cc["Operation"]), ("function_id", cc["Function"]), ("block", cc["Block"]),
                ("spare", 0xFFFF & ~(cc["Operation"] | cc["Function"] | cc["Block"]))]

    def lua_table(name, comment, items):
        return ["-- " + comment, "local %s = { %s }" % (name, ", ".join(items))]

    lines = [COMMANDS_BEGIN]
    for kind, label in (("Req", "request"), ("Ack", "ack")):
        found = commands(requests if kind == "Req" else acks, kind)
        lines += lua_table(label + "_names", "command %s id -> name" % label,
                           ['[%d] = "%s"' % (i, n) for i, n, _ in found])
        lines += lua_table(label + "_sizes", "command %s id -> fixed size, header included" % label,
                           ["[%d] = %d" % (i, size) for i, _, size in found])
    lines += lua_table("tvp_masks", "the header word's 3-bit fields",
                       ["%s = 0x%08X" % (k, v) for k, v in tvp_masks])
    lines += lua_table("cc_masks", "the Common Control header's fields (a 16-bit word)",
                       ["%s = 0x%04X" % (k, v) for k, v in cc_masks])
    lines.append(COMMANDS_END)
    return "\n".join(lines) + "\n"


def split_lua(text, begin=BEGIN, end_marker=END):
    start = text.find(begin + "\n")
    end = text.find(end_marker + "\n")
    if start < 0 or end < start:
        raise CatalogueError("vela.lua has no generated block between the marker lines %r" % begin)
    return text[:start], text[start:end + len(end_marker) + 1], text[end + len(end_marker) + 1:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalogue", default=DEFAULT_CATALOGUE)
    parser.add_argument("--header", default=DEFAULT_HEADER)
    parser.add_argument("--lua", default=DEFAULT_LUA)
    parser.add_argument("--layout", default=DEFAULT_LAYOUT)
    parser.add_argument("--requests", default=DEFAULT_REQUESTS)
    parser.add_argument("--acks", default=DEFAULT_ACKS)
    parser.add_argument("--common-control", default=DEFAULT_COMMON_CONTROL)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    try:
        with open(args.catalogue, encoding="utf-8") as f:
            source = f.read()
        with open(args.header, encoding="utf-8") as f:
            header = f.read()
        with open(args.layout, encoding="utf-8") as f:
            layout = f.read()
        sources = {}
        for key in ("requests", "acks", "common_control"):
            with open(getattr(args, key), encoding="utf-8") as f:
                sources[key] = f.read()
        block = generate(source, header)
        layout_block = generate_layout(layout)
        commands_block = generate_commands(layout, sources["requests"], sources["acks"],
                                           sources["common_control"])
        with open(args.lua, encoding="utf-8") as f:
            text = f.read()
        before, current, after = split_lua(text)
        updated = before + block + after
        before, current_layout, after = split_lua(updated, LAYOUT_BEGIN, LAYOUT_END)
        updated = before + layout_block + after
        before, current_commands, after = split_lua(updated, COMMANDS_BEGIN, COMMANDS_END)
        updated = before + commands_block + after
    except (OSError, CatalogueError) as e:
        print("gen_probe_names: %s" % e, file=sys.stderr)
        return 2
    if args.check:
        if current != block:
            print("gen_probe_names: the tables in %s differ from %s; run %s" %
                  (args.lua, args.catalogue, os.path.relpath(__file__, ROOT)), file=sys.stderr)
            return 1
        if current_layout != layout_block:
            print("gen_probe_names: the layout in %s differs from %s; run %s" %
                  (args.lua, args.layout, os.path.relpath(__file__, ROOT)), file=sys.stderr)
            return 1
        if current_commands != commands_block:
            print("gen_probe_names: the command tables in %s differ from %s, %s and %s; run %s" %
                  (args.lua, args.requests, args.acks, args.common_control,
                   os.path.relpath(__file__, ROOT)), file=sys.stderr)
            return 1
        return 0
    if updated != text:
        with open(args.lua, "w", encoding="utf-8") as f:
            f.write(updated)
    return 0


if __name__ == "__main__":
    sys.exit(main())
