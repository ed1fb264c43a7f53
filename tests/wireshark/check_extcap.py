#!/usr/bin/env python3
"""Checks vela-extcap as Wireshark runs it: tshark captures live from the simulated phone.

    check_extcap.py --extcap build/x/bin/vela-extcap --host build/x/bin/vela-host --work DIR

vela-extcap is put into the personal extcap folder of a home of its own (Wireshark 4.2 and
later name it in `tshark -G folders`; before, it is the extcap folder of the personal
configuration), then
    tshark -i vela-sim -a duration:4 -w FILE
records the simulated phone. The file must hold the session's frames from its first report
(running number 0) with no report lost, as vela-host replay --format jsonl reads them, and
tshark must report no error of the capture program. Prints capinfos of the file. Exits 77
(skipped) without tshark.
"""
import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys

SKIP = 77


def run(cmd, env, timeout=120):
    try:
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        sys.exit("FAILED: timed out after %ds: %s" % (timeout, " ".join(cmd)))


def personal_extcap_folder(env):
    folders = run(["tshark", "-G", "folders"], env).stdout.decode("utf-8", "replace")
    named = re.search(r"^Personal Extcap path:\s*(.+)$", folders, re.M)
    if named:
        return named.group(1).strip()
    config = re.search(r"^Personal configuration:\s*(.+)$", folders, re.M)
    return os.path.join(config.group(1).strip(), "extcap")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--extcap", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--seconds", type=int, default=4)
    args = parser.parse_args()
    if not shutil.which("tshark"):
        print("tshark is not installed: skipped")
        return SKIP
    shutil.rmtree(args.work, ignore_errors=True)
    home = os.path.join(args.work, "home")
    os.makedirs(home)
    env = dict(os.environ, HOME=home)
    env.pop("XDG_CONFIG_HOME", None)
    folder = personal_extcap_folder(env)
    os.makedirs(folder, exist_ok=True)
    # A link: the program finds the plug-in and libraries of its build tree from its own place.
    os.symlink(os.path.abspath(args.extcap), os.path.join(folder, "vela-extcap"))
    print("extcap folder:", folder)

    listed = run(["tshark", "-D"], env).stdout.decode("utf-8", "replace")
    if "vela-sim (Vela phone (simulated))" not in listed:
        sys.exit("FAILED: tshark -D does not list vela-sim:\n" + listed)

    capture = os.path.join(args.work, "live.pcapng")
    done = run(["tshark", "-i", "vela-sim", "-a", "duration:%d" % args.seconds, "-w", capture],
               env)
    errors = done.stderr.decode("utf-8", "replace")
    print(errors.strip())
    if done.returncode != 0 or "extcap pipe" in errors:
        sys.exit("FAILED: tshark exited %d:\n%s" % (done.returncode, errors))
    packets = int(re.search(r"(\d+) packets? captured", errors).group(1))

    print(run(["capinfos", capture], env).stdout.decode("utf-8", "replace"))
    replay = run([args.host, "replay", "--format", "jsonl", capture], env)
    if replay.returncode != 0:
        sys.exit("FAILED: vela-host replay: " + replay.stderr.decode())
    records = [json.loads(line) for line in replay.stdout.decode().splitlines()]
    bad = [r for r in records if "not_a_record" in r]
    if bad:
        sys.exit("FAILED: %d packets are not records: %s" % (len(bad), bad[0]))
    if len(records) != packets:
        sys.exit("FAILED: tshark captured %d packets, the file holds %d records" %
                 (packets, len(records)))
    # The simulated phone numbers its reports across all probes (8 bytes after the 20 fixed
    # ones): from 0, each once, in order.
    numbers = [struct.unpack_from("<Q", bytes.fromhex(r["data"]), 20)[0]
               for r in records if r.get("kind") == "probe"]
    lost = sum(r.get("lost_before", 0) for r in records)
    if not numbers or numbers[0] != 0:
        sys.exit("FAILED: the capture does not begin with the phone's first report: %s" %
                 numbers[:3])
    if numbers != list(range(len(numbers))) or lost:
        gaps = [(a, b) for a, b in zip(numbers, numbers[1:]) if b != a + 1]
        sys.exit("FAILED: reports lost or repeated (%d marked lost): %s" % (lost, gaps[:5]))
    print("check_extcap: %d records, reports 0 to %d of the simulated phone, none lost" %
          (len(records), numbers[-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
