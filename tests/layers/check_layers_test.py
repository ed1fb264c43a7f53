#!/usr/bin/env python3
"""The layer check run on small made-up trees: every include it must refuse is refused with
its file and line, and the includes the graph allows pass. Then the repository itself."""
import os
import subprocess
import sys
import tempfile

SCRIPT = sys.argv[1]
ROOT = sys.argv[2]


def run(root):
    done = subprocess.run([sys.executable, SCRIPT, "--root", root], capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def tree(files):
    root = tempfile.mkdtemp(prefix="layers-")
    for path, text in files.items():
        os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(root, path), "w") as out:
            out.write(text)
    return root


failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


# Allowed: downwards, beside the file, system headers, sim's one protocol header, host on sim,
# tests on anything.
allowed = tree({
    "framework/core/A.h": '#include "platform/win32/win32.h"\n#include <vector>\n',
    "transport/T.cpp": '#include "protocol/TvpLayout.h"\n#include "framework/core/A.h"\n',
    "session/S.cpp": '#include "transport/StreamReader.h"\n#include "Local.h"\n',
    "equipment/E.cpp": '#include "decoding/D.h"\n#include "session/S.h"\n',
    "sim/P.h": '#include "protocol/TvpLayout.h"\n#include "sim/Q.h"\n',
    "host/H.cpp": '#include "sim/P.h"\n#include "equipment/E.h"\n',
    "tests/X.cpp": '#include "host/H.h"\n#include "sim/P.h"\n',
})
code, text = run(allowed)
expect(code == 0, "allowed tree refused:\n" + text)

# Refused: upwards, across the session/transport edge the wrong way, sim on more of the
# protocol, a relative path out of the layer, an angle-bracket include.
refused = tree({
    "transport/DataProvider.cpp": '#include "transport/X.h"\n\n#include "session/VelaChannel.h"\n',
    "framework/core/B.cpp": '#include <protocol/TvpIoProtocol.h>\n',
    "sim/SimPhone.cpp": '#include "protocol/TvpCommandReq.h"\n',
    "protocol/P.cpp": '#include "../host/Recorder.h"\n',
    "decoding/D.cpp": '  #  include "equipment/VelaEquipment.h"\n',
})
code, text = run(refused)
expect(code == 1, "refused tree passed:\n" + text)
for line in [
    'transport/DataProvider.cpp:3: transport/ may not include "session/VelaChannel.h"',
    'framework/core/B.cpp:1: framework/ may not include "protocol/TvpIoProtocol.h"',
    'sim/SimPhone.cpp:1: sim/ may not include "protocol/TvpCommandReq.h"',
    'protocol/P.cpp:1: protocol/ may not include "host/Recorder.h"',
    'decoding/D.cpp:1: decoding/ may not include "equipment/VelaEquipment.h"',
]:
    expect(line in text, "missing: " + line + "\n" + text)

code, text = run(ROOT)
expect(code == 0, "the repository breaks its layers:\n" + text)

for failure in failures:
    print("FAIL: " + failure)
sys.exit(1 if failures else 0)
