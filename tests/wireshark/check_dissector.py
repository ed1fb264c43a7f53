#!/usr/bin/env python3
"""Checks tools/wireshark/vela.lua with tshark against what vela-host replay decodes.

    check_dissector.py --host build/x/bin/vela-host --lua tools/wireshark/vela.lua \
        --generator tools/wireshark/gen_probe_names.py --work DIR

Records sessions with the simulated phone and writes crafted captures (every frame kind,
every catalogue probe id, malformed packets), dissects each with tshark and compares the
fields with the lines of `vela-host replay` for the same file. Exits 77 (skipped) when tshark
or its Lua support is missing. Every child process runs under a time-out.
"""
import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

SKIP = 77
TSHARK_TIMEOUT = 120
HOST_TIMEOUT = 120

ARGS = None  # filled in by main()


# ---- capture files -----------------------------------------------------------------------

def pcap(path, packets):
    """Writes a classic pcap of link type 147. A packet is bytes, or (bytes, original length)
    for one cut short in the capture."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 147))
        for i, p in enumerate(packets):
            data, length = (p, len(p)) if isinstance(p, bytes) else p
            f.write(struct.pack("<IIII", 1700000000 + i, 250000, len(data), length))
            f.write(data)


def record(frame, number=0, channel=2, direction=0, equipment=0, micros=None, length=None,
           version=1):
    micros = 1700000000123456 + number if micros is None else micros
    length = len(frame) if length is None else length
    return struct.pack("<BBBBIQI", version, channel, direction, equipment, number, micros,
                       length) + frame


def header(size, data_id, sp=0, dp=1, sn=3, dn=0):
    word = (size & 0x1FFFF) | (sp << 17) | (dp << 20) | (sn << 23) | (dn << 26) | (data_id << 29)
    return struct.pack("<I", word)


def tvp(data_id, body, size=None, **routing):
    return header(len(body) + 4 if size is None else size, data_id, **routing) + body


def probe(probe_id, seq=1, stamp=1000, payload=b"\x01\x02\x03", elem_type=4, stated=None):
    stated = len(payload) if stated is None else stated
    return tvp(0, b"\x00" + struct.pack("<IHHIBH", stamp, seq, probe_id, stated, elem_type,
                                        stated) + payload)


def inject(probe_id, payload=b"\x07\x08"):
    return tvp(0, b"\x01" + struct.pack("<HIBH", probe_id, len(payload), 4, len(payload)) +
               payload)


def ack(ack_id, seq, data):
    return tvp(2, bytes([ack_id, seq]) + data)


def request(req_id, seq, data):
    return tvp(1, bytes([req_id, seq]) + data, sp=1, dp=0, sn=0, dn=3)


def argument(number, elem_type, elements, length=None, count=None):
    data = b"".join(elements)
    length = len(data) if length is None else length
    count = len(elements) if count is None else count
    return struct.pack("<HIBH", number, length, elem_type, count) + data


END = b"\xff\xff"


def cc_block(ies, length=None, count=None):
    data = b"".join(bytes([iei, len(v)]) + v for iei, v in ies)
    length = len(data) if length is None else length
    count = len(data) if count is None else count
    return struct.pack("<HIBH", 0, length, 4, count) + data + END


def exec_ack(seq, callback, test_code, result, args, nargs=1):
    return ack(3, seq, struct.pack("<BHHH", callback, test_code, result, nargs) + args)


def exec_req(seq, callback, test_code, args, size_of_args=None):
    size = len(args) if size_of_args is None else size_of_args
    return request(3, seq, struct.pack("<BHH", callback, test_code, size) + args)


# ---- running the tools ---------------------------------------------------------------------

def run(cmd, timeout, env=None):
    try:
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                              env=env)
    except subprocess.TimeoutExpired:
        raise AssertionError("timed out after %ds: %s" % (timeout, " ".join(cmd)))


def tshark_env():
    # A home of our own, so that a copy of the dissector in the personal plugins folder is not
    # loaded a second time.
    env = dict(os.environ)
    env["HOME"] = ARGS.work
    env.pop("XDG_CONFIG_HOME", None)
    return env


FIELDS = ["vela.record", "vela.channel", "vela.direction", "vela.equipment", "vela.time_us",
          "vela.length", "vela.valid", "vela.tvp.kind", "vela.tvp.accepted", "vela.tvp.size",
          "vela.tvp.src_proc", "vela.tvp.dst_proc", "vela.tvp.src_node", "vela.tvp.dst_node",
          "vela.tvp.data_id", "vela.tvp.pi_id", "vela.tvp.timestamp", "vela.tvp.probe_seq",
          "vela.tvp.probe_id", "vela.tvp.probe_name", "vela.tvp.probe_group",
          "vela.tvp.elem_type", "vela.tvp.num_elem", "vela.tvp.data_byte_size",
          "vela.tvp.payload_size", "vela.tvp.req_id", "vela.tvp.ack_id", "vela.tvp.command",
          "vela.tvp.seq", "vela.tvp.probe_mode", "vela.tvp.result", "vela.tvp.time_type",
          "vela.tvp.callback_id", "vela.tvp.test_code", "vela.tvp.size_of_args",
          "vela.tvp.num_args", "vela.tvp.error_data", "vela.arg.number", "vela.arg.length",
          "vela.arg.elem_type", "vela.arg.count", "vela.arg.u16", "vela.arg.u32", "vela.arg.u8",
          "vela.arg.string", "vela.arg.float", "vela.arg.phy_name", "vela.args.terminator",
          "vela.cc.op", "vela.cc.function", "vela.cc.block", "vela.cc.function_name",
          "vela.cc.ie_bytes", "vela.cc.iei", "vela.cc.ie_length", "vela.cc.ie_value",
          "vela.cc.capability", "vela.ps.line", "vela.ps.lines", "_ws.expert.message",
          "_ws.expert.group", "frame.comment", "frame.drop_count", "frame.interface_name"]


def dissect(path):
    """The packets of a capture as dicts of field lists, in file order. Fails on a tshark
    error, a Lua error or a fault caught inside the dissector."""
    base = ["tshark", "-n", "-X", "lua_script:" + ARGS.lua, "-r", path]
    cmd = base + ["-T", "json"]
    for f in FIELDS:
        cmd += ["-e", f]
    done = run(cmd, TSHARK_TIMEOUT, tshark_env())
    text = done.stdout.decode("utf-8", "replace")
    errors = done.stderr.decode("utf-8", "replace")
    assert done.returncode == 0, "tshark failed (%d) on %s: %s" % (done.returncode, path, errors)
    assert "Lua Error" not in text + errors, "Lua error on %s: %s" % (path, errors)
    verbose = run(base + ["-V"], TSHARK_TIMEOUT, tshark_env())
    vtext = verbose.stdout.decode("utf-8", "replace") + verbose.stderr.decode("utf-8", "replace")
    assert verbose.returncode == 0, "tshark -V failed on %s" % path
    assert "Lua Error" not in vtext, "Lua error on %s:\n%s" % (path, lua_error_context(vtext))
    assert "dissector fault" not in vtext, "dissector fault on %s:\n%s" % (
        path, lua_error_context(vtext, "dissector fault"))
    return [p["_source"]["layers"] for p in json.loads(text or "[]")]


def lua_error_context(text, needle="Lua Error"):
    i = text.find(needle)
    return text[max(0, i - 1500):i + 300]


def replay(path):
    """The lines of vela-host replay, one entry per packet: a dict with the record's text and
    its print-server lines, or {"not_a_record": why}."""
    done = run([ARGS.host, "replay", path], HOST_TIMEOUT)
    assert done.returncode == 0, "replay failed: %s" % done.stderr.decode()
    entries = []
    # Only a line feed ends a line: print-server text may hold any other byte.
    for line in done.stdout.decode("utf-8", "replace").split("\n"):
        if line.startswith("#"):
            entries.append({"text": line, "lines": []})
        elif line.startswith("    | "):
            entries[-1]["lines"].append(line[6:])
        elif line.startswith("(not a record"):
            entries.append({"not_a_record": line})
    return entries


# ---- comparing -----------------------------------------------------------------------------

def one(packet, field, default=None):
    values = packet.get(field)
    return values[0] if values else default


def num(packet, field, default=None):
    value = one(packet, field)
    return default if value is None else int(value, 0)


def time_text(micros):
    seconds = micros // 1000000
    return "%s.%06d" % (time.strftime("%H:%M:%S", time.gmtime(seconds)), micros % 1000000)


def hex_text(data, most=24):
    raw = bytes.fromhex(data.replace(":", ""))
    text = " ".join("%02X" % b for b in raw[:most])
    return text + (" ..." if len(raw) > most else "")


def probe_text(packet, field="vela.tvp.probe_id"):
    pid = num(packet, field)
    name = one(packet, "vela.tvp.probe_name")
    return "0x%04X %s" % (pid, '"%s"' % name if name is not None else "(not in the catalogue)")


def describe_tvp(p):
    """The replay text of a TVP frame, rebuilt from the dissected fields."""
    size = num(p, "vela.length")
    if one(p, "vela.tvp.accepted") != "1":
        return None  # compared separately: replay says "malformed"
    kind = one(p, "vela.tvp.kind")
    if kind == "probe":
        text = "probe %s seq=%d time=%d payload=%d" % (
            probe_text(p), num(p, "vela.tvp.probe_seq"), num(p, "vela.tvp.timestamp"),
            num(p, "vela.tvp.payload_size"))
    elif kind == "inject":
        text = "inject"
    elif kind == "ack":
        command = one(p, "vela.tvp.command", "unknown acknowledgement")
        text = "ack %s seq=%d" % (command, num(p, "vela.tvp.seq"))
        if command == "SetProbeMode":
            text += " probe %s result=%d" % (probe_text(p), num(p, "vela.tvp.result"))
        elif command == "SetTimeStamp":
            text += " result=%d" % num(p, "vela.tvp.result")
        elif command == "ExecuteTestCode":
            text += " callback=%d testcode=%d result=%d args=%d" % (
                num(p, "vela.tvp.callback_id"), num(p, "vela.tvp.test_code"),
                num(p, "vela.tvp.result"), num(p, "vela.tvp.num_args"))
    elif kind == "request":
        text = "request %s seq=%d" % (one(p, "vela.tvp.command"), num(p, "vela.tvp.seq"))
    elif kind == "error":
        data = one(p, "vela.tvp.error_data")
        text = "error frame: " + (hex_text(data) if data else "")
    else:
        raise AssertionError("frame kind %r taken by the component" % kind)
    return "%s size=%d" % (text, size)


RECORD_LINE = re.compile(r"^#(\d+) (\d\d:\d\d:\d\d\.\d{6}) phone(\d+)( to-phone)? (.*)$")


def compare(test, packets, entries):
    """Every dissected packet against its replay entry."""
    test.assertEqual(len(packets), len(entries), "packet count")
    for i, (p, e) in enumerate(zip(packets, entries)):
        where = "packet %d (%s)" % (i + 1, e.get("text") or e.get("not_a_record"))
        if "not_a_record" in e:
            test.assertEqual(one(p, "vela.valid"), "0", where)
            test.assertIn("Malformed", expert_groups(p), where)
            test.assertIsNone(one(p, "vela.tvp.kind"), where)
            continue
        m = RECORD_LINE.match(e["text"])
        test.assertTrue(m, where)
        test.assertEqual(one(p, "vela.valid"), "1", where)
        test.assertEqual(num(p, "vela.record"), int(m.group(1)), where)
        test.assertEqual(time_text(num(p, "vela.time_us")), m.group(2), where)
        test.assertEqual(num(p, "vela.equipment"), int(m.group(3)), where)
        test.assertEqual(num(p, "vela.direction") != 0, bool(m.group(4)), where)
        rest = m.group(5)
        channel = num(p, "vela.channel")
        if channel == 2:
            test.assertTrue(rest.startswith("TVP "), where)
            desc = rest[4:]
            mine = describe_tvp(p)
            if desc.startswith("malformed "):
                test.assertIsNone(mine, where + ": the component refuses this frame")
                test.assertEqual(int(desc.split()[1]), num(p, "vela.length"), where)
            else:
                test.assertEqual(mine, desc, where)
        elif channel == 5:
            test.assertEqual(rest, "PS  text %d bytes" % num(p, "vela.length"), where)
            # The dissector shows a zero byte as \0.
            lines = [line.replace("\x00", "\\0") for line in e["lines"]]
            test.assertEqual(p.get("vela.ps.line", []), lines, where)
            test.assertEqual(num(p, "vela.ps.lines"), len(e["lines"]), where)
        else:
            test.assertTrue(rest.startswith("channel %d " % channel), where)


def expert_groups(p):
    # tshark prints an expert group by its number; 0x07000000 is "Malformed".
    names = {0x07000000: "Malformed", 0x05000000: "Undecoded", 0x01000000: "Checksum",
             0x04000000: "Response code"}
    return [names.get(int(g, 0), g) for g in p.get("_ws.expert.group", [])]


def messages(p):
    return p.get("_ws.expert.message", [])


# ---- tests ---------------------------------------------------------------------------------

class CatalogueNames(unittest.TestCase):
    """The dissector's name tables are those of the component's probe catalogue."""

    def test_generated_block_is_current(self):
        done = run([sys.executable, ARGS.generator, "--check", "--lua", ARGS.lua], 60)
        self.assertEqual(done.returncode, 0, done.stderr.decode())

    def test_a_command_id_changed_in_the_component_is_found(self):
        # The command tables come from the frame classes: an acknowledgement id that moves in
        # the component makes the check fail until the dissector is generated again.
        source = open(os.path.join(ARGS.root, "protocol", "TvpCommandAck.h")).read()
        moved = source.replace("SET_TIME_STAMP = 8,", "SET_TIME_STAMP = 9,")
        self.assertNotEqual(moved, source)
        path = os.path.join(ARGS.work, "TvpCommandAck.h")
        with open(path, "w") as f:
            f.write(moved)
        done = run([sys.executable, ARGS.generator, "--check", "--lua", ARGS.lua, "--acks", path],
                   60)
        self.assertEqual(done.returncode, 1, done.stdout.decode())
        self.assertIn("command tables", done.stderr.decode())

    def test_every_probe_id_named_as_the_component_names_it(self):
        # Every value of every catalogue item (probe ids, Phy values, capability bits), the
        # Phy gate, the simulated Phy reports and ids outside the catalogue, as probes and as
        # set-probe-mode acknowledgements.
        source = open(os.path.join(ARGS.root, "session", "ProbeCatalogue.cpp")).read()
        ids = {int(v, 0) for v in re.findall(r"\{\s*(0x[0-9A-Fa-f]+|\d+)\s*,\s*\"", source)}
        ids |= {700, 0x8000, 0x8301, 0xFFFF, 0x0001, 0x0002, 0x0000}
        self.assertGreater(len(ids), 90)
        packets, n = [], 0
        for pid in sorted(ids):
            packets.append(record(probe(pid, seq=pid & 0xFFFF), number=n))
            packets.append(record(ack(1, pid & 0xFF, struct.pack("<HH", pid, 0)), number=n + 1))
            n += 2
        path = os.path.join(ARGS.work, "catalogue.pcap")
        pcap(path, packets)
        dissected = dissect(path)
        compare(self, dissected, replay(path))
        named = [p for p in dissected if one(p, "vela.tvp.probe_name")]
        self.assertGreaterEqual(len(named), 2 * 93)
        by_id = {num(p, "vela.tvp.probe_id"): one(p, "vela.tvp.probe_group") for p in named}
        self.assertEqual(by_id[0x002A], "GSM Layer 3 Reports")
        self.assertEqual(by_id[0x013B], "GSM Mode Reports")
        self.assertEqual(by_id[0x0093], "CAS")


class RecordedSessions(unittest.TestCase):
    """Captures that vela-host records from simulated phones (pcapng, and classic pcap) dissect
    as replay reads them."""

    def session(self, name, *options):
        path = os.path.join(ARGS.work, name + (".pcap" if "pcap" in options else ".pcapng"))
        if os.path.exists(path):
            os.remove(path)
        done = run([ARGS.host, "run", "--duration", "2", "--record", path] + list(options),
                   HOST_TIMEOUT)
        self.assertEqual(done.returncode, 0, done.stdout.decode() + done.stderr.decode())
        packets = dissect(path)
        compare(self, packets, replay(path))
        return packets

    def test_probes_print_lines_and_error_frames(self):
        packets = self.session("gsm", "--sim", "--probes", "GSM Mode Reports", "--rate", "20",
                               "--fault", "error-frame")
        kinds = [one(p, "vela.tvp.kind") for p in packets]
        self.assertIn("probe", kinds)
        self.assertIn("error", kinds)
        # pcapng: the phone's interface by its port, and a comment where the fault was made.
        self.assertEqual({one(p, "frame.interface_name") for p in packets}, {"COM5"})
        comments = [c for p in packets for c in p.get("frame.comment", [])]
        self.assertIn("the simulated phone was told to send an error frame", comments)
        self.assertTrue(any(one(p, "vela.channel") == "5" for p in packets))
        for p in packets:
            if one(p, "vela.tvp.kind") == "probe":
                # The simulated phone's routing and its probe layout.
                self.assertEqual([num(p, "vela.tvp." + f) for f in
                                  ("src_proc", "dst_proc", "src_node", "dst_node", "data_id")],
                                 [0, 1, 3, 0, 0])
                self.assertEqual(num(p, "vela.tvp.elem_type"), 4)
                self.assertEqual(num(p, "vela.tvp.num_elem"), num(p, "vela.tvp.payload_size"))
                self.assertEqual(one(p, "vela.tvp.probe_group"), "GSM Mode Reports")

    def test_classic_pcap_as_pcapng(self):
        packets = self.session("classic", "--sim", "--probes", "RR State", "--rate", "20",
                               "--format", "pcap")
        self.assertIn("probe", [one(p, "vela.tvp.kind") for p in packets])
        self.assertIsNone(one(packets[0], "frame.interface_name"))

    def test_two_phones_with_split_blocks(self):
        packets = self.session("two", "--sim", "2", "--probes",
                               "WCDMA Layer 2 Reports,CC State Message", "--rate", "20",
                               "--fault", "split")
        self.assertEqual({one(p, "vela.equipment") for p in packets}, {"0", "1"})
        names = {one(p, "vela.tvp.probe_name") for p in packets} - {None}
        self.assertEqual(names, {"RLC AM Header Rpt", "RLC UM Header Rpt",
                                 "RLC AM Control PDU Message", "CC State Message"})


class CraftedFrames(unittest.TestCase):
    """Every frame kind, with exact bytes, against replay and against the values put in."""

    @classmethod
    def setUpClass(cls):
        cls.frames = [
            # 0: the component's own set-probe-mode request, 09 00 02 2C 01 05 02 01 06.
            bytes.fromhex("0900022C0105020106"),
            # 1: source node 5 and nothing else in the header, with a 4-byte error data part.
            (lambda f: f)(bytes.fromhex("08008062") + b"\xde\xad\xbe\xef"),
            request(7, 9, b"\x10"),
            exec_req(10, 160, 1, argument(0, 0, [struct.pack("<H", 0x0602)]) + END),
            exec_req(11, 0xAA, 386, cc_block([(0, b"\x03")])),
            ack(8, 9, struct.pack("<H", 0)),
            ack(1, 5, struct.pack("<HH", 0x0102, 1)),
            exec_ack(10, 7, 300, 0,
                     argument(0, 0, [struct.pack("<H", 0x1234)]) +
                     argument(1, 6, [b"ab\x00", b"\x00"]) +
                     argument(2, 2, [struct.pack("<I", 70000)]) +
                     argument(3, 4, [b"\x05", b"\x06"]) +
                     argument(4, 7, [struct.pack("<f", 1.5)]) + END, nargs=5),
            exec_ack(11, 0xAA, 386 | 1, 0, cc_block([(0, b"\x03"), (7, b"\x01\x02\x03")])),
            exec_ack(12, 9, 1, 0, b""),
            ack(5, 44, b"\x01\x02"),
            probe(0x002A, seq=65535, stamp=305419896, payload=b"", stated=10),
            inject(0x0194),
            tvp(3, b""),
        ]
        packets = [record(f, number=i, direction=1 if i < 5 else 0)
                   for i, f in enumerate(cls.frames)]
        cls.path = os.path.join(ARGS.work, "frames.pcap")
        pcap(cls.path, packets)
        cls.packets = dissect(cls.path)

    def test_against_replay(self):
        compare(self, self.packets, replay(self.path))
        for p in self.packets:
            self.assertNotIn("Malformed", expert_groups(p), messages(p))

    def test_header_bit_fields(self):
        p = self.packets[0]
        self.assertEqual([num(p, "vela.tvp." + f) for f in
                          ("size", "src_proc", "dst_proc", "src_node", "dst_node", "data_id")],
                         [9, 1, 0, 0, 3, 1])
        self.assertEqual(num(p, "vela.tvp.probe_id"), 0x0102)
        self.assertEqual(one(p, "vela.tvp.probe_name"), "PLMN List Rpt")
        self.assertEqual(num(p, "vela.tvp.probe_mode"), 6)
        self.assertEqual(num(p, "vela.tvp.seq"), 5)
        p = self.packets[1]
        self.assertEqual([num(p, "vela.tvp." + f) for f in
                          ("size", "src_proc", "dst_proc", "src_node", "dst_node", "data_id")],
                         [8, 0, 0, 5, 0, 3])

    def test_requests_and_acknowledgements(self):
        self.assertEqual(num(self.packets[2], "vela.tvp.time_type"), 16)
        self.assertEqual(one(self.packets[2], "vela.tvp.command"), "SetTimeStamp")
        self.assertEqual(num(self.packets[5], "vela.tvp.ack_id"), 8)
        self.assertEqual(one(self.packets[5], "vela.tvp.command"), "SetTimeStamp")
        failed = self.packets[6]
        self.assertEqual(num(failed, "vela.tvp.result"), 1)
        self.assertIn("SetProbeMode failed: result 1", messages(failed))
        unknown = self.packets[10]
        self.assertEqual(num(unknown, "vela.tvp.ack_id"), 5)
        self.assertIn("command acknowledgement id 5 has no class", messages(unknown))
        empty = self.packets[9]
        self.assertEqual(num(empty, "vela.tvp.size_of_args"), 0)
        self.assertIsNone(one(empty, "vela.arg.number"))

    def test_test_code_arguments(self):
        phy = self.packets[3]
        self.assertEqual(num(phy, "vela.tvp.size_of_args"), 13)
        self.assertEqual(phy["vela.arg.u16"], ["1538"])
        self.assertEqual(phy["vela.arg.phy_name"], ["Cell Searcher"])
        self.assertEqual(num(phy, "vela.args.terminator"), 0xFFFF)
        p = self.packets[7]
        self.assertEqual(p["vela.arg.number"], ["0", "1", "2", "3", "4"])
        self.assertEqual(p["vela.arg.elem_type"], ["0", "6", "2", "4", "7"])
        self.assertEqual(p["vela.arg.length"], ["2", "4", "4", "2", "4"])
        self.assertEqual(p["vela.arg.u16"], ["4660"])
        self.assertEqual(p["vela.arg.string"], ["ab", ""])
        self.assertEqual(p["vela.arg.u32"], ["70000"])
        self.assertEqual(p["vela.arg.u8"], ["5", "6"])
        self.assertEqual(float(one(p, "vela.arg.float")), 1.5)
        self.assertEqual(num(p, "vela.tvp.size_of_args"), len(self.frames[7]) - 13)

    def test_common_control(self):
        req = self.packets[4]
        self.assertEqual(len(self.frames[4]), 25)
        self.assertEqual([num(req, "vela.cc." + f) for f in ("op", "function", "block")], [0, 1, 3])
        self.assertEqual(one(req, "vela.cc.function_name"), "System Capability Control")
        self.assertEqual(req["vela.cc.ie_bytes"], ["3"])
        self.assertEqual(req["vela.cc.ie_value"], ["03"])
        self.assertEqual(req["vela.cc.capability"], ["WCDMA, GSM"])
        p = self.packets[8]
        self.assertEqual(num(p, "vela.cc.op"), 1)
        self.assertEqual(p["vela.cc.iei"], ["0", "7"])
        self.assertEqual(p["vela.cc.ie_length"], ["1", "3"])
        self.assertEqual(p["vela.cc.ie_value"], ["03", "010203"])
        self.assertEqual(p["vela.cc.ie_bytes"], ["8"])

    def test_probe_and_inject_fixed_fields(self):
        p = self.packets[11]
        self.assertEqual(num(p, "vela.tvp.timestamp"), 305419896)
        self.assertEqual(num(p, "vela.tvp.probe_seq"), 65535)
        self.assertEqual(num(p, "vela.tvp.num_elem"), 10)
        self.assertEqual(num(p, "vela.tvp.payload_size"), 0)
        i = self.packets[12]
        self.assertEqual(one(i, "vela.tvp.kind"), "inject")
        self.assertEqual(num(i, "vela.tvp.probe_id"), 0x0194)
        self.assertEqual(one(i, "vela.tvp.probe_name"), "RRC State Message")
        self.assertEqual(num(i, "vela.tvp.elem_type"), 4)
        self.assertEqual(num(i, "vela.tvp.payload_size"), 2)


class MalformedPackets(unittest.TestCase):
    """Packets that are not sound dissect without a Lua error and are marked malformed."""

    def check(self, name, cases):
        """cases: (packet, expect) with expect one of "record" (not a record), "refused" (the
        component's factory refuses the frame), "content" (taken, but a part does not decode),
        "ok"."""
        path = os.path.join(ARGS.work, name + ".pcap")
        pcap(path, [c[0] for c in cases])
        packets = dissect(path)
        compare(self, packets, replay(path))
        for i, ((_, expect), p) in enumerate(zip(cases, packets)):
            where = "%s packet %d: %s" % (name, i + 1, messages(p))
            malformed = "Malformed" in expert_groups(p)
            if expect == "record":
                self.assertEqual(one(p, "vela.valid"), "0", where)
                self.assertTrue(malformed, where)
            elif expect == "refused":
                self.assertEqual(one(p, "vela.tvp.accepted"), "0", where)
                self.assertTrue(malformed or "Undecoded" in expert_groups(p), where)
            elif expect == "content":
                self.assertEqual(one(p, "vela.tvp.accepted"), "1", where)
                self.assertTrue(malformed, where)
            else:
                self.assertFalse(malformed, where)
        return packets

    def test_record_headers(self):
        good = record(probe(0x0096))
        self.check("records", [
            (b"", "record"),
            (good[:5], "record"),
            (good[:19], "record"),
            (record(probe(0x0096), length=3), "record"),
            (record(probe(0x0096), length=500), "record"),
            (record(probe(0x0096), version=2), "record"),
            ((good[:30], len(good)), "record"),  # cut short in the capture
            (record(b"", channel=2), "refused"),
            (record(b"\x01\x02", channel=9), "ok"),
            (good, "ok"),
        ])

    def test_tvp_lengths_and_kinds(self):
        cases = [
            (record(b"\x09"), "refused"),
            (record(b"\x09\x00\x02"), "refused"),
            (record(tvp(1, b"\x01\x05\x02\x01\x06", size=10)), "refused"),
            (record(tvp(0, b"\x00" * 16, size=8)), "refused"),
            (record(tvp(0, b"\x00" * 10)), "refused"),  # probe shorter than 20
            (record(tvp(0, b"\x01" + b"\x00" * 5)), "refused"),  # inject shorter than 14
            (record(tvp(0, b"\x02" + b"\x00" * 20)), "refused"),  # probe/inject id 2
            (record(tvp(0, b"")), "refused"),
            (record(tvp(1, b"\x01")), "refused"),
            (record(tvp(1, b"\x04\x01")), "refused"),  # request id without a class
            (record(tvp(1, b"\x03\x01\x00")), "refused"),  # execute-test-code under 11
            (record(tvp(2, b"\x01\x02\x03\x00")), "refused"),  # set-probe-mode ack under 10
            (record(tvp(2, b"\x08\x02\x00")), "refused"),
            (record(tvp(2, b"\x03\x02" + b"\x00" * 6)), "refused"),
            (record(tvp(2, b"\x07\x02")), "ok"),  # a plain acknowledgement
        ]
        for data_id in (4, 5, 6, 7):
            cases.append((record(tvp(data_id, b"text\n")), "refused"))
        packets = self.check("lengths", cases)
        self.assertIn("size field says 10 bytes, the frame has 9", messages(packets[2]))
        self.assertIn("frames of kind APRINT are not taken from the phone", messages(packets[16]))

    def test_test_code_arguments(self):
        u16 = struct.pack("<H", 1)
        self.check("arguments", [
            (record(exec_ack(1, 0, 1, 0, argument(0, 0, [u16], length=40) + END)), "content"),
            (record(exec_ack(1, 0, 1, 0, argument(0, 0, [u16, u16], count=1) + END)), "content"),
            (record(exec_ack(1, 0, 1, 0, argument(0, 0, [u16], count=5) + END)), "content"),
            (record(exec_ack(1, 0, 1, 0, argument(0, 6, [b"abc"]) + END)), "content"),
            (record(exec_ack(1, 0, 1, 0, argument(0, 3, [b"\x00" * 4]) + END)), "content"),
            (record(exec_ack(1, 0, 1, 0, argument(0, 0, [u16]) + b"\x12\x34")), "content"),
            (record(exec_ack(1, 0, 1, 0, argument(0, 0, [u16])[:6])), "content"),
            (record(exec_ack(1, 0, 1, 0, argument(0, 0, [u16]))), "ok"),  # no terminator
            (record(exec_ack(1, 0, 1, 0, END)), "ok"),
            (record(exec_req(1, 0, 1, argument(0, 0, [u16]) + END, size_of_args=200)), "content"),
            (record(exec_req(1, 0, 1, argument(0, 0, [u16]) + END, size_of_args=3)), "content"),
        ])

    def test_common_control_ies(self):
        ie = [(0, b"\x03")]
        packets = self.check("ies", [
            (record(exec_ack(1, 0xAA, 386, 0, cc_block(ie, count=50))), "content"),
            (record(exec_ack(1, 0xAA, 386, 0, cc_block(ie, count=5, length=5))), "content"),
            (record(exec_ack(1, 0xAA, 386, 0, cc_block(ie, length=2))), "content"),
            (record(exec_ack(1, 0xAA, 386, 0,
                             struct.pack("<HIBH", 0, 4, 4, 4) + b"\x00\x09\x01\x02" + END)),
             "content"),  # an IE whose Length runs past the IE byte count
            (record(exec_ack(1, 0xAA, 386, 0,
                             struct.pack("<HIBH", 0, 3, 4, 3) + b"\x00\x01\x05\x07" + END)),
             "content"),  # a stray byte after the IEs is read as an argument and fails
            (record(exec_ack(1, 0xAA, 386, 0,
                             struct.pack("<HIBH", 0, 1, 4, 1) + b"\x00" + END)), "content"),
            (record(exec_ack(1, 0xAA, 386, 0, cc_block(ie)[:9])), "content"),
            # The IEs fill the block to its end: no room is left for the terminator.
            (record(exec_ack(1, 0xAA, 386, 0, cc_block(ie)[:-2])), "content"),
            (record(exec_ack(1, 0xAA, 386, 0, END)), "ok"),
            (record(exec_ack(1, 0xAA, 386, 0, b"")), "ok"),
            (record(exec_ack(1, 0xAA, 386, 0, cc_block([(1, b"")]))), "ok"),
        ])
        # The header of a message without arguments is still shown.
        self.assertEqual(packets[-2]["vela.cc.block"], ["3"])

    def test_print_server_text(self):
        packets = self.check("text", [
            (record(b"\nsecond half\n", channel=5), "ok"),
            (record(b"a\n\nb", channel=5), "ok"),
            (record(b"", channel=5), "ok"),
            (record(b"\n", channel=5), "ok"),
            (record(b"line, with comma\r\n", channel=5), "ok"),
        ])
        self.assertEqual(packets[0]["vela.ps.line"], ["second half"])
        self.assertEqual(packets[1]["vela.ps.line"], ["a", "", "b"])
        self.assertEqual(num(packets[2], "vela.ps.lines"), 0)

    def test_binary_text_and_random_bytes(self):
        # Print-server bytes that are not text, and a run of pseudo-random TVP frames with
        # valid lengths, only have to dissect without faults.
        seed, packets = 12345, []
        for i in range(300):
            seed = (seed * 1103515245 + 12345) % (1 << 31)
            n = 4 + seed % 60
            body = bytes(((seed >> (k % 24)) + k * 7) & 0xFF for k in range(n - 4))
            packets.append(record(tvp(seed % 4, body), number=i))
        packets.append(record(bytes(range(256)), channel=5, number=300))
        path = os.path.join(ARGS.work, "random.pcap")
        pcap(path, packets)
        compare(self, dissect(path), replay(path))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--lua", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--root", required=True, help="the source tree")
    parser.add_argument("--work", default=None)
    ARGS, rest = parser.parse_known_args()
    if not shutil.which("tshark"):
        print("tshark is not installed: skipped")
        return SKIP
    version = run(["tshark", "-v"], 60).stdout.decode("utf-8", "replace")
    if "without Lua" in version:
        print("tshark has no Lua support: skipped")
        return SKIP
    made = ARGS.work is None
    if made:
        ARGS.work = tempfile.mkdtemp(prefix="vela-wireshark-")
    os.makedirs(ARGS.work, exist_ok=True)
    ARGS.lua = os.path.abspath(ARGS.lua)
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
        return 0 if program.result.wasSuccessful() else 1
    finally:
        if made:
            shutil.rmtree(ARGS.work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
