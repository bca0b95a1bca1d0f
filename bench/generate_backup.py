#!/usr/bin/env python3
"""Writes a synthetic full firewall backup for benchmarks.

The backup is a gzip-compressed tar archive with member names relative to
the root of the file system. It holds N system rules and N network flow rules
in the two legacy rule files of configuration format 1.0, with every key set
and realistic values, plus a few MB of unrelated files (logs, a database, the
firewall's own configuration) as a real full backup has them.

    generate_backup.py N OUTPUT.tar.gz      backup archive
    generate_backup.py N --legacy-dir DIR   the two legacy rule files only

Every value is valid, so that a conversion of the backup succeeds. The output
is the same for the same N, seed and payload size. The last line printed on
standard output is a summary of key=value words: the rule counts, the size of
the two legacy files in bytes and the number of rules a conversion keeps.
"""

import argparse
import io
import os
import random
import sys
import tarfile

RULES_DIR = "opt/varno-firewall/etc/firewall/rules"
SYSTEM_RULES = RULES_DIR + "/cfgSystemRule"
NETWORK_FLOW_RULES = RULES_DIR + "/cfgNetworkFlowRule"
MTIME = 1700000000

WORDS = (
    "allow block deny permit traffic from to the branch office server backup "
    "monitoring agent web mail database printer update service internal external "
    "admin network remote desktop access DNS NTP SNMP VPN gateway proxy legacy "
    "workstation cluster replication storage telephony camera badge reader"
).split()

EXECUTABLES = (
    "/usr/sbin/sshd",
    "/usr/bin/curl",
    "/usr/bin/firefox",
    "/usr/lib/systemd/systemd-resolved",
    "/usr/sbin/ntpd",
    "/opt/agent/bin/collector",
    "/usr/bin/rsync",
    "/usr/sbin/postfix",
    "/usr/bin/python3.11",
    "/usr/lib/jvm/java-17/bin/java",
)
SCHEDULES = (
    "Mon-Fri 08:00-18:00",
    "daily 00:00-23:59",
    "Sat,Sun 10:00-14:00",
    "Mon,Wed,Fri 22:00-23:30",
    "workdays 07:30-19:00",
)
CONTENTS = (
    "User-Agent:",
    "GET/admin",
    "|16 03 01|",
    "SSH-2.0-",
    "X-Forwarded-For",
    "HELO",
    "Authorization:Basic",
)
WILDCARDS = ("*.example.com", "update?.vendor.net", "*.corp.local", "cdn-*.media.org")
REGEXPS = ("^/api/v[0-9]+/", "login\\.php\\?user=", "(?i)select.+from", "^[A-Z]{3}-[0-9]{4}$")
ADAPTERS = ("eth0", "eth1", "ens3", "wlan0", "br0", "bond0")
ACCESS = ("allow", "allow", "allow", "drop", "drop", "reject")
SYSTEM_PROTOCOLS = ("tcp", "tcp", "udp", "udp", "icmp", "icmp", "ip", "any", "1", "47", "egp")
FLOW_PROTOCOLS = ("tcp", "tcp", "tcp", "udp", "udp", "icmp", "smb", "ip", "any", "6", "17", "rdp")
DIRECTIONS = ("in", "out", "inout")


def address(rng):
    kind = rng.random()
    if kind < 0.5:
        return "10.%d.%d.%d" % (rng.randrange(256), rng.randrange(256), rng.randrange(1, 255))
    if kind < 0.8:
        return "192.168.%d.0/24" % rng.randrange(256)
    if kind < 0.9:
        return "172.16.%d.%d-172.16.%d.%d" % (
            rng.randrange(16), rng.randrange(1, 128), rng.randrange(16, 32), rng.randrange(128, 255))
    return "fd00:%x::%x" % (rng.randrange(65536), rng.randrange(1, 65536))


def address_list(rng):
    # Lists are written as a user types them: a space after each comma.
    return ", ".join(address(rng) for _ in range(rng.choice((1, 1, 2, 3, 5))))


def port_list(rng):
    items = []
    for _ in range(rng.choice((1, 1, 2, 3, 4))):
        if rng.random() < 0.25:
            low = rng.randrange(1024, 60000)
            items.append("%d-%d" % (low, low + rng.randrange(1, 2000)))
        else:
            items.append(str(rng.choice((22, 25, 53, 80, 110, 123, 139, 443, 445, 587, 993,
                                          3306, 3389, 5432, 8080, 8443, rng.randrange(1, 65536)))))
    return ", ".join(items)


def message(rng, number):
    words = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(3, 9)))
    return "%s%s %d" % (words[0].upper(), words[1:], number)


def flag(rng, share_true):
    return "true" if rng.random() < share_true else "false"


def system_rule(rng, number, order):
    proto = rng.choice(SYSTEM_PROTOCOLS)
    icmp = proto in ("icmp", "1")
    # Both directions, send only, receive only; rarely neither (such a rule
    # is not converted).
    send, receive = rng.choice(((True, True), (True, True), (True, False), (False, True)))
    if rng.random() < 0.01:
        send, receive = False, False
    lines = [
        ("id", str(number)),
        ("order", str(order)),
        ("message", message(rng, number)),
        ("access", rng.choice(ACCESS)),
        ("proto", proto),
        ("icmp_type", str(rng.choice((0, 3, 8, 11))) if icmp else ""),
        ("icmp_code", rng.choice(("0", "1", "", "-1")) if icmp else ""),
        ("icmp_send", "true" if send else "false"),
        ("icmp_receive", "true" if receive else "false"),
        ("local_addrs", address_list(rng)),
        ("remote_addrs", address_list(rng)),
        ("adapters", ", ".join(rng.sample(ADAPTERS, rng.choice((1, 1, 2))))),
        ("exefile", rng.choice(EXECUTABLES)),
        ("substr", flag(rng, 0.2)),
        ("schedule", rng.choice(SCHEDULES)),
        ("content", rng.choice(CONTENTS)),
        ("nocase", flag(rng, 0.3)),
        ("enable", flag(rng, 0.9)),
        ("audit", flag(rng, 0.5)),
        ("default", flag(rng, 0.05)),
    ]
    return lines, send or receive


def network_flow_rule(rng, number, order):
    lines = [
        ("id", str(number)),
        ("order", str(order)),
        ("message", message(rng, number)),
        ("access", rng.choice(ACCESS)),
        ("proto", rng.choice(FLOW_PROTOCOLS)),
        ("local_addrs", address_list(rng)),
        ("local_ports", port_list(rng)),
        ("remote_addrs", address_list(rng)),
        ("remote_ports", port_list(rng)),
        ("exefile", rng.choice(EXECUTABLES)),
        ("substr", flag(rng, 0.2)),
        ("schedule", rng.choice(SCHEDULES)),
        ("content", rng.choice(CONTENTS)),
        ("wildcard", rng.choice(WILDCARDS)),
        ("regexp", rng.choice(REGEXPS)),
        ("nocase", flag(rng, 0.3)),
        ("direction", rng.choice(DIRECTIONS)),
        ("enable", flag(rng, 0.9)),
        ("audit", flag(rng, 0.5)),
        ("default", flag(rng, 0.05)),
    ]
    return lines, True


def rule_orders(rng, count, moved_share):
    """Order values of the rules as they stand in the file.

    The firewall writes its rules by ascending order; rules moved by later
    edits have an order value drawn anew, which may equal another's.
    """
    orders = list(range(1, count + 1))
    for index in range(count):
        if rng.random() < moved_share:
            orders[index] = rng.randint(1, count)
    return orders


def rule_file(rng, count, make_rule, first_id, moved_share):
    """The text of one legacy rule file and the number of rules converted."""
    orders = rule_orders(rng, count, moved_share)
    parts = []
    kept = 0
    for index in range(count):
        lines, converted = make_rule(rng, first_id + index, orders[index])
        kept += converted
        parts.append("".join("%s %s\n" % line for line in lines))
        parts.append("\n")
    return "".join(parts).encode(), kept


def legacy_files(count, seed, moved_share):
    rng = random.Random(seed)
    system, system_kept = rule_file(rng, count, system_rule, 1, moved_share)
    flow, flow_kept = rule_file(rng, count, network_flow_rule, count + 1, moved_share)
    return system, flow, system_kept + flow_kept


def payload_files(size, seed):
    """Unrelated members of a full backup, about size bytes in all."""
    rng = random.Random(seed + 1)
    files = {}
    files["opt/varno-firewall/etc/firewall/firewall.conf"] = (
        b"version 1.0\nlog_level info\nlog_file /opt/varno-firewall/var/log/firewall.log\n"
        b"default_policy drop\nstateful true\n")
    # Logs: compressible text, most of the payload.
    log_size = size * 3 // 4
    lines = []
    written = 0
    second = 0
    while written < log_size:
        second += rng.randrange(1, 4)
        line = "2024-%02d-%02dT%02d:%02d:%02d fw[%d]: %s %s:%d -> %s:%d proto=%s rule=%d\n" % (
            1 + second // 2592000 % 12, 1 + second // 86400 % 28, second // 3600 % 24,
            second // 60 % 60, second % 60, rng.randrange(1000, 5000),
            rng.choice(("ALLOW", "DROP", "REJECT")), address(rng), rng.randrange(1, 65536),
            address(rng), rng.choice((22, 53, 80, 443, 3389)), rng.choice(("tcp", "udp", "icmp")),
            rng.randrange(1, 5000))
        lines.append(line)
        written += len(line)
    log = "".join(lines).encode()
    half = len(log) // 2
    files["opt/varno-firewall/var/log/firewall.log.1"] = log[:half]
    files["opt/varno-firewall/var/log/firewall.log"] = log[half:]
    # A binary database: incompressible.
    files["opt/varno-firewall/var/lib/reputation.db"] = rng.randbytes(size - log_size)
    return files


def add_member(archive, name, data=None, directories=None):
    parts = name.split("/")
    for depth in range(1, len(parts)):
        directory = "/".join(parts[:depth])
        if directory not in directories:
            directories.add(directory)
            info = tarfile.TarInfo(directory)
            info.type = tarfile.DIRTYPE
            info.mode = 0o755
            info.mtime = MTIME
            archive.addfile(info)
    info = tarfile.TarInfo(name)
    info.size = len(data)
    info.mode = 0o644
    info.mtime = MTIME
    archive.addfile(info, io.BytesIO(data))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", type=int, help="number of system and of network flow rules")
    parser.add_argument("output", nargs="?", help="backup archive to write")
    parser.add_argument("--legacy-dir", help="write only the two legacy rule files here")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--payload-mb", type=float, default=4.0,
                        help="size of the unrelated members (default 4)")
    parser.add_argument("--moved-share", type=float, default=0.2,
                        help="share of rules whose order was changed by later edits, from 0 "
                             "(file sorted by order) to 1 (random order values; default 0.2)")
    args = parser.parse_args()
    if (args.output is None) == (args.legacy_dir is None):
        parser.error("give either OUTPUT or --legacy-dir")

    system, flow, kept = legacy_files(args.count, args.seed, args.moved_share)
    if args.legacy_dir is not None:
        os.makedirs(args.legacy_dir, exist_ok=True)
        for name, data in (("cfgSystemRule", system), ("cfgNetworkFlowRule", flow)):
            with open(os.path.join(args.legacy_dir, name), "wb") as file:
                file.write(data)
    else:
        members = {SYSTEM_RULES: system, NETWORK_FLOW_RULES: flow}
        members.update(payload_files(int(args.payload_mb * 1024 * 1024), args.seed))
        directories = set()
        # Level 6, as gzip and tar use by default.
        with tarfile.open(args.output, "w:gz", compresslevel=6, format=tarfile.GNU_FORMAT) as archive:
            for name in sorted(members):
                add_member(archive, name, members[name], directories)
    print("system_rules=%d network_flow_rules=%d legacy_bytes=%d converted_rules=%d"
          % (args.count, args.count, len(system) + len(flow), kept))
    return 0


if __name__ == "__main__":
    sys.exit(main())
