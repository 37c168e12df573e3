#!/usr/bin/env python3
"""Writes data/network_cases.jsonl: network texts and pairs with the answers of Python's
ipaddress module, for the differential test of pathbook::Network.

Run from this folder (python3 gen_network_fixture.py) after changing the generator; the
output is deterministic.  Lines:
  {"t": text, "ok": false}
  {"t": text, "ok": true, "c": canonical, "v": version, "p": prefixlen,
   "n": str(network_address), "b": str(broadcast_address)}
  {"a": text, "b": text, "r": true | false | "<TypeError message>"}
"""
import ipaddress
import json
import os
import random

rng = random.Random(20240501)

HAND = [
    # IPv4 basics and masks
    "10.0.0.0/8", "10.0.0.0/08", "10.0.0.0/008", "10.0.0.0/0008", "0.0.0.0/0", "0.0.0.0/00",
    "0.0.0.0", "255.255.255.255", "255.255.255.255/32", "10.1.0.0/16", "10.2.0.1/16",
    "10.0.0.1/8", "192.168.0.0/16", "172.16.0.0/12", "172.16.0.0/11", "10.0.0.0/7",
    "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/+8", "10.0.0.0/ 8", "10.0.0.0/8 ", " 10.0.0.0/8",
    "10.0.0.0 /8", "10.0.0.0/", "/8", "/", "//", "10.0.0.0//8", "10.0.0.0/8/8", "",
    " ", "10.0.0.0/255.0.0.0", "10.0.0.0/0.255.255.255", "10.0.0.0/255.255.0.0",
    "10.0.0.0/0.0.0.0", "10.0.0.0/255.255.255.255", "10.0.0.0/255.0.255.0",
    "10.0.0.0/255.00.0.0", "10.0.0.0/255.0.0", "10.0.0.0/256.0.0.0", "1.2.3.4/0.0.0.0",
    "1.2.3.4/255.255.255.255", "1.2.3.0/0.0.0.255", "1.2.3.0/255.255.255.0",
    "1.2.3.4/0.0.0.1", "1.2.3.0/0.0.1.255", "1.2.2.0/0.0.1.255", "128.0.0.0/128.0.0.0",
    "128.0.0.0/127.255.255.255", "010.0.0.0/8", "10.00.0.0/16", "10.0.0.00", "1.2.3.04",
    "1.2.3.4.", ".1.2.3.4", "1..2.3", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.255",
    "1.2.3.1000", "1.2.3.0x1", "1.2.3.-1", "1.2.3.+1", "1.2.3.4/32", "1.2.3.4/31",
    "1.2.3.4/30", "1.2.3.4/0032", "1.2.3.4/1e1", "١.2.3.4", "1.2.3.４", "10.0.0.0/８",
    "0.0.0.0/1", "128.0.0.0/1", "127.0.0.1", "10.0.0.0/24%eth0", "10.0.0.0%eth0",
    "1.2.3.4/99999999999999999999999999", "1.2.3.4/" + "0" * 30 + "32",
    # IPv6 basics
    "::", "::/0", "::/128", "::1", "::1/128", "1::", "1::/16", "::ffff:0:0/96",
    "2001:db8::/32", "2001:DB8::/32", "2001:0db8::/32", "2001:00db8::/32", "2001:db8::1/32",
    "2001:db8::/33", "2001:db8:0:0:0:0:0:0/32", "2001:db8:0:0:0:0:0:0:0/32",
    "2001:db8:0:0:0:0:0/32", "2001:db8::0:0/32", "2001:db8:::/32", ":::", "::::",
    "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8/128", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8",
    "1:2:3:4:5:6::8", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7", ":1:2:3:4:5:6:7", "1:2:3:4:5:6:7:",
    ":1::2", "1::2:", "1:::2", "1::2::3", "1:0:0:2:0:0:0:3", "1:0:0:0:2:0:0:3",
    "1:0:0:2:0:0:3:4", "0:0:1:0:0:0:0:0", "0:1:0:0:0:0:0:0", "1:0:0:0:0:0:0:0",
    "0:0:0:0:0:0:0:1", "1:0:1:0:1:0:1:0", "0:0:0:0:0:0:0:0", "fe80::/10", "fe80::/9",
    "fe80::%eth0/64", "fe80::%eth0", "fe80::1%eth0/128", "fe80::%/64", "fe80::%%/64",
    "fe80::%a%b/64", "fe80::%1", "fe80::% x", "fe80::%eth0 ", "fe80::%é/64", "fe80::%eth0/64/1",
    "fe80::/64%eth0", "%eth0", "::%0", "1.2.3.4%0", "::ffff:1.2.3.4", "::ffff:1.2.3.4/128",
    "::ffff:1.2.3.0/120", "::ffff:1.2.3.4/120", "::1.2.3.4", "64:ff9b::1.2.3.4/128",
    "64:ff9b::/96", "1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:7:1.2.3.4", "1:2:3:4:5::1.2.3.4",
    "::ffff:01.2.3.4", "::ffff:1.2.3", "::ffff:1.2.3.4.5", "::1.2.3.4:5", "1.2.3.4::",
    "::ffff:256.1.1.1", "12345::", "1:2:3:4:5:6:7:12345", "0000:0000::", "00000::",
    "::0000", "g::", "::g", "2001:db8::/129", "2001:db8::/-1", "2001:db8::/1e2",
    "2001:db8::/ffff::", "2001:db8::/255.255.0.0", " ::1", "::1 ", ":: 1", "::1\n",
    "\t10.0.0.0/8", "10.0.0.0/8\n", "1:2:3:4:5:6:7:8%", "::%eth0", "::%eth0/0",
    "2001:db8:1234:ffff:ffff:ffff:ffff:ffff/128", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
    "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", "::/1", "8000::/1", "::/64", "::/65",
    "0:0:0:1::/64", "0:0:0:0:1::/64", "0:0:0:0:1::/80",
    # garbage and service tags
    "AzureCloud", "Storage.WestEurope", "Internet", "VirtualNetwork", "localhost", "a",
    "0", "1", "10", "0x0a000000", "4294967295", "10/8", "10.0/16", "10.0.0/24", "abc::def::",
    "1:2", "1:", ":1", ":", ".", "...", "1.2.3.4:80", "[::1]", "[::1]/128", "::1]",
]


def addr4(rng):
    return ipaddress.IPv4Address(rng.getrandbits(32))


def mask_net4(value, prefix):
    return value & ((0xFFFFFFFF << (32 - prefix)) & 0xFFFFFFFF) if prefix else 0


def ipv6_forms(value):
    """Several text forms of one IPv6 address."""
    a = ipaddress.IPv6Address(value)
    groups = ["%x" % ((value >> (112 - 16 * i)) & 0xFFFF) for i in range(8)]
    forms = {str(a), a.exploded, ":".join(groups), str(a).upper()}
    # compress a random run of zero groups (not necessarily the longest)
    zeros = [i for i, g in enumerate(groups) if g == "0"]
    if zeros:
        i = rng.choice(zeros)
        j = i
        while j + 1 < 8 and groups[j + 1] == "0" and rng.random() < 0.7:
            j += 1
        left = ":".join(groups[:i])
        right = ":".join(groups[j + 1:])
        forms.add(left + "::" + right)
    # leading zeros in some groups
    forms.add(":".join(g.zfill(rng.choice([1, 2, 3, 4])) for g in groups))
    # embedded IPv4 tail
    tail = ipaddress.IPv4Address(value & 0xFFFFFFFF)
    forms.add(":".join(groups[:6]) + ":" + str(tail))
    return sorted(forms)


def random_v6(rng):
    kind = rng.random()
    if kind < 0.3:
        return rng.getrandbits(128)
    # sparse addresses with zero runs
    v = 0
    for i in range(8):
        if rng.random() < 0.4:
            v |= rng.getrandbits(16) << (112 - 16 * i)
    return v


def mask6(value, prefix):
    if prefix == 0:
        return 0
    return value & (((1 << 128) - 1) ^ ((1 << (128 - prefix)) - 1))


def mutate(text, rng):
    alphabet = "0123456789abcdefABCDEF:./% xg\t-+"
    chars = list(text)
    op = rng.randrange(3)
    pos = rng.randrange(len(chars) + 1)
    if op == 0:
        chars.insert(pos, rng.choice(alphabet))
    elif op == 1 and chars:
        del chars[min(pos, len(chars) - 1)]
    elif chars:
        chars[min(pos, len(chars) - 1)] = rng.choice(alphabet)
    return "".join(chars)


def texts():
    out = list(HAND)
    # IPv4: every prefix length, networks and host-bits-set texts, netmask and hostmask forms
    for prefix in range(33):
        for _ in range(6):
            v = int(addr4(rng))
            net = mask_net4(v, prefix)
            out.append("%s/%d" % (ipaddress.IPv4Address(net), prefix))
            out.append("%s/%d" % (ipaddress.IPv4Address(v), prefix))
        netmask = ipaddress.IPv4Network("0.0.0.0/%d" % prefix).netmask
        hostmask = ipaddress.IPv4Network("0.0.0.0/%d" % prefix).hostmask
        v = mask_net4(int(addr4(rng)), prefix)
        out.append("%s/%s" % (ipaddress.IPv4Address(v), netmask))
        out.append("%s/%s" % (ipaddress.IPv4Address(v), hostmask))
        out.append("%s/0%d" % (ipaddress.IPv4Address(v), prefix))
    # IPv6: every prefix length, in several text forms
    for prefix in range(129):
        for _ in range(3):
            v = random_v6(rng)
            net = mask6(v, prefix)
            for form in rng.sample(ipv6_forms(net), 2):
                out.append("%s/%d" % (form, prefix))
            out.append("%s/%d" % (ipaddress.IPv6Address(v), prefix))
    for _ in range(150):
        out.append(rng.choice(ipv6_forms(random_v6(rng))))
    # scope ids on valid networks
    for _ in range(40):
        prefix = rng.randrange(129)
        net = mask6(random_v6(rng), prefix)
        out.append("%s%%%s/%d" % (ipaddress.IPv6Address(net), rng.choice(["eth0", "1", "lo", "a b", "é"]), prefix))
    # mutations of valid texts
    valid = [t for t in out if is_ok(t)]
    for _ in range(1500):
        out.append(mutate(rng.choice(valid), rng))
    # random garbage
    alphabet = "0123456789abcdef:./%"
    for _ in range(300):
        out.append("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 20))))
    seen, unique = set(), []
    for t in out:
        if t not in seen:
            seen.add(t)
            unique.append(t)
    return unique


def is_ok(text):
    try:
        ipaddress.ip_network(text)
        return True
    except ValueError:
        return False


def case(text):
    try:
        n = ipaddress.ip_network(text)
    except ValueError:
        return {"t": text, "ok": False}
    return {"t": text, "ok": True, "c": str(n), "v": n.version, "p": n.prefixlen,
            "n": str(n.network_address), "b": str(n.broadcast_address)}


def subnet_answer(a, b):
    try:
        return ipaddress._BaseNetwork._is_subnet_of(a, b)
    except TypeError as e:
        return str(e)


def pairs(nets):
    v4 = [n for n in nets if n.version == 4]
    v6 = [n for n in nets if n.version == 6]
    out = []
    for group in (v4, v6):
        for _ in range(800):
            a = rng.choice(group)
            # a supernet of a (inside), a subnet of it, or another random network
            r = rng.random()
            if r < 0.35 and a.prefixlen > 0:
                b = a.supernet(new_prefix=rng.randrange(a.prefixlen + 1))
            elif r < 0.55 and a.prefixlen < a.max_prefixlen:
                b = next(a.subnets(new_prefix=rng.randrange(a.prefixlen + 1, a.max_prefixlen + 1)))
            else:
                b = rng.choice(group)
            if rng.random() < 0.5:
                a, b = b, a
            out.append((a, b))
    for _ in range(100):
        out.append((rng.choice(v4), rng.choice(v6)))
        out.append((rng.choice(v6), rng.choice(v4)))
    scoped = [ipaddress.ip_network(t) for t in ["fe80::%a/64", "fe80::%b/64", "fe80::/64",
                                               "fe80::/10", "fe80::1:0%a/112", "fe80::%a/10"]]
    for a in scoped:
        for b in scoped:
            out.append((a, b))
    return [{"a": str(a), "b": str(b), "r": subnet_answer(a, b)} for a, b in out]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    cases = [case(t) for t in texts()]
    nets = [ipaddress.ip_network(c["t"]) for c in cases if c["ok"]]
    path = os.path.join(here, "data", "network_cases.jsonl")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        for c in cases + pairs(nets):
            f.write(json.dumps(c, ensure_ascii=True) + "\n")
    ok = sum(c["ok"] for c in cases)
    print("%d texts (%d networks), written to %s" % (len(cases), ok, path))


if __name__ == "__main__":
    main()
