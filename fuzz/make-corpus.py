#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/corpus/<harness>/.

Seeds come from the recorded tool output in tests/fixtures/zfs/, the
statement resources and hand-written requests, schedules and pv displays.
Run from anywhere; existing seeds of the same name are overwritten, seeds
added by hand (e.g. inputs of fixed crashes) are kept.
"""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FIXTURES = os.path.join(ROOT, "tests", "fixtures", "zfs")


def fixture(name):
    """A recorded output without its leading '# ...' comment lines."""
    with open(os.path.join(FIXTURES, name), "rb") as f:
        lines = f.read().split(b"\n")
    while lines and lines[0].startswith(b"#"):
        lines.pop(0)
    return b"\n".join(lines)


def write(harness, name, data):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def compact_json(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode()


def datagram(json_bytes, attachment=b""):
    return b"\0tq\x01\x01" + struct.pack("<II", len(json_bytes), len(attachment)) + b"\xff\xff\xff" + json_bytes + attachment


def compact_value(v):
    if v is None:
        return b""
    if isinstance(v, bool):
        return b"?" + (b"t" if v else b"f") + b"\0"
    if isinstance(v, (int, float)):
        return b"=" + repr(v).encode() + b"\0"
    if isinstance(v, str):
        return b"|" + v.encode() + b"\0"
    if isinstance(v, list):
        return b":" + b"".join(compact_value(e) for e in v) + b"\0"
    return b">" + b"".join(k.encode() + compact_value(e) for k, e in sorted(v.items())) + b"\0"


MISSION = {"caption": "nightly", "action": 1, "pool": "tank", "name": "data", "path": "backup",
           "host": "10.0.0.2", "port": "22", "userid": "zr", "passwd": "pw", "snapname": "auto",
           "increment": 1, "erase": True, "schedules": [{"hours": [2], "minutes": [30]}]}
REMOTE = {"host": "10.0.0.2", "port": 22, "userid": "zr", "passwd": "pw"}
REQUESTS = {
    "alload": {"cmd": "zfsrep_alload"},
    "pools_remote": {"cmd": "zfsrep_pools_remote", "params": REMOTE},
    "snapshot": {"cmd": "zfsrep_snapshot"},
    "snapshot_remote": {"cmd": "zfsrep_snapshot_remote", "params": REMOTE},
    "mission_alload": {"cmd": "zfsrep_mission_alload", "params": {"page": 1, "ofpage": 20}},
    "mission_exists": {"cmd": "zfsrep_mission_exists", "params": {"caption": "nightly", "pool": "tank", "name": "data"}},
    "mission_append": {"cmd": "zfsrep_mission_append", "params": MISSION},
    "mission_append_file": {"cmd": "zfsrep_mission_append",
                            "params": dict(MISSION, caption="export", action=3, path="/tmp/x", host="")},
    "mission_change": {"cmd": "zfsrep_mission_change", "params": dict(MISSION, msnno=1, caption="renamed")},
    "mission_remove": {"cmd": "zfsrep_mission_remove", "params": {"msnno": 1}},
    "log_alload": {"cmd": "zfsrep_log_alload", "params": {"page": 1, "ofpage": 10}},
    "log_clear": {"cmd": "zfsrep_log_clear"},
    "help": {"cmd": "zfsrep_alload", "help": 1},
    "unknown": {"cmd": "no_such_method", "seq": 7, "cno": 3, "_tag": "x"},
    "routers": {"cmd": "zfsrep_snapshot", "routers": [{"fd": 3, "session": 1}]},
}
OUTPUTS = {
    "alload": "zfs-list-r-pj.stdout",
    "pools_remote": "zpool-list-Hpo-name-size-free.stdout",
    "snapshot": "zfs-list-snap-Hpj.stdout",
    "snapshot_remote": "zfs-list-snap-H-o-name.stdout",
}
SCHEDULES = [
    {}, {"weeks": [7]}, {"hours": [2], "minutes": [30]}, {"days": [31], "months": [2, 4]},
    {"weeks": [1, 3, 5], "hours": [0, 12, 23], "minutes": [0, 15, 30, 45]},
    {"days": [29], "months": [2]}, {"weeks": [0, 8]}, {"hours": [24], "minutes": [60]},
    {"months": [13], "days": [1]}, {"hours": ["3"], "minutes": [1.5]}, {"weeks": [], "days": []},
    [{"hours": [1]}, {"weeks": [6], "minutes": [5]}], [], [1, "x", {"days": [1]}],
]
PV = [
    b"[1.23MiB/s] [=====>      ] 45%",
    b"[ 372MiB/s] [====================>] 100%\r\r\n",
    b"[18.5MiB/s] [=======>       ] 13%\r[20.1MiB/s] [===============>] 26%\r",
    b"[1.0MiB/s] [==] 45%\r\ncannot receive: failed\r\n",
    b"[1.0MiB/s]\t[==]\t 9%",
    b"[1.0MiB/s] [==] 10%\0[9.9MiB/s] [==] 99%",
    b"[12345.7MB/s] [==] 10%",
    b"/s] 5%", b"%", b"[0.00 B/s] [<=>   ] 0%",
]
ERRORS = [
    (b"[1MiB/s] [=] 5%\rcannot open 'tank/x': dataset does not exist\r\n", b""),
    (b"[1MiB/s] [=] 5%\r", b"bad thing\n"),
    (b"Session terminated, killing shell...\r\n ...killed.\r\n", b""),
    (b"cannot receive new filesystem stream: destination has snapshots\r\n", b"gzip: stdin: unexpected end of file\n"),
]
CATALOGUE = [
    b"SQL: mission_acquit\nSELECT msn_no AS msnno FROM t_mission WHERE msn_no = @msnno LIMIT 1;\nparams:\nmsnno integer\n",
    b"sql: Configure_Get\nSELECT 1; -- comment\nPARAMS:\n:key string extra\n@value\n",
    b"SQL:\nSELECT 2;\nSQL: empty\nparams:\nx\n",
    b"-- only a comment\n\n\nSQL: a\r\nSELECT '--' || @x;\r\n",
]


def main():
    for i, (name, request) in enumerate(sorted(REQUESTS.items())):
        body = compact_json(request)
        write("datagram", "request-%s" % name, datagram(body))
        write("router", "request-%s" % name, body)
        if name in OUTPUTS:
            write("router", "answered-%s" % name, body + b"\0\0" + fixture(OUTPUTS[name]))
            write("router", "failed-%s" % name, body + b"\0\x01cannot open 'tank': no such pool\n")
        write("compact", "value-%s" % name, compact_value(request))
    write("datagram", "keepalive", b"\0ka\0")
    write("datagram", "two-with-attachment",
          datagram(compact_json(REQUESTS["alload"]), b"\x00\x01binary") + b"\0ka\0" + datagram(b"[1,2]"))
    write("datagram", "header-only", datagram(b"{\"cmd\":\"x\"}")[:16])
    write("datagram", "announces-too-much", b"\0tq\x01\x01\xff\xff\xff\x7f\xff\xff\xff\x7f\xff\xff\xff{}")
    for i, v in enumerate([None, True, 3.25, -1e300, "text", [1, [2, [3]], {"a": None}], {"k": {"x": [True, "y"]}}]):
        write("compact", "value-%d" % i, compact_value(v))
    for selector, name in enumerate(["zfs-list-r-pj.stdout", None, "zfs-list-snap-Hpj.stdout", "zfs-send-nvP-R-I.stdout",
                                     "zfs-holds-H.stdout", "zpool-list-Hpo-name-size-free.stdout",
                                     "zfs-list-snap-H-o-name.stdout", None]):
        if name:
            write("zfsoutput", "%d-%s" % (selector, name), bytes([selector]) + fixture(name))
    write("zfsoutput", "1-poolmap", b"\x01" + fixture("zfs-list-r-pj.stdout") + b"\0" + fixture("zpool-list-pjo-name-size-free.stdout"))
    write("zfsoutput", "1-poolmap-empty", b"\x01" + fixture("zfs-list-empty-j.stdout") + b"\0" + fixture("zpool-list-pjo-name-size-free.stdout"))
    write("zfsoutput", "2-snapshots-int", b"\x02" + fixture("zfs-list-snap-json-int.stdout"))
    for name in ["zfs-send-nvP-I.stdout", "zfs-send-nvP-R.stdout", "zfs-send-nvP-full.stdout", "zfs-send-nvP-i.stdout"]:
        write("zfsoutput", "3-" + name, b"\x03" + fixture(name))
    write("zfsoutput", "8-text-listings", b"\x08" + fixture("zfs-list-Hp-spaces.stdout") + b"\0" + fixture("zpool-list-Hp-two-pools.stdout"))
    write("zfsoutput", "8-text-snapshots", b"\x08" + fixture("zfs-list-snap-Hp-spaces.stdout"))
    write("zfsoutput", "7-tree", b"\x07" + fixture("zfs-list-snap-H-o-name.stdout") + b"\0tank\t/tank\ntank/data\t/mnt/data\ntank/old\tlegacy\n")
    for i, s in enumerate(SCHEDULES):
        write("schedule", "schedule-%d" % i, compact_json(s))
    for i, text in enumerate(PV):
        write("progress", "pv-%d" % i, b"\x01" + text)
    for i, (terminal, error) in enumerate(ERRORS):
        write("progress", "error-%d" % i, b"\x00" + bytes([len(error)]) + terminal + error)
    for i, text in enumerate(CATALOGUE):
        write("sqlcatalogue", "catalogue-%d" % i, text)
    for name in ["engine.sql", "creator.sql"]:
        with open(os.path.join(ROOT, "zfsrep", "res", name), "rb") as f:
            write("sqlcatalogue", name, f.read())


if __name__ == "__main__":
    main()
