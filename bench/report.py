#!/usr/bin/env python3
"""The table of one bench/run: reads the files the script left for each row and prints a
Markdown table, one line per row, in the order given.

    report.py ROWS_DIR ROW...

Each ROWS_DIR/ROW holds tcp1.json, tcp4.json, udp.json (iperf3 -J), ping-idle.txt and
ping-load.txt (ping -q output), and the one-line files crypto, cleartext (yes/no/?) and cpu
(seconds, absent when no process carries the row's traffic).
"""
import json
import os
import re
import sys

# The row each row's throughput and CPU per GB are compared with: rows without crypto against
# tinc without crypto, sealed rows against tinc with its default cipher and digest (and against
# tinc without crypto when their payload crossed the WAN readable).
REFERENCE = {"tinc-sealed": "tinc-sealed", "openvpn-sealed": "tinc-sealed",
             "udp-sealed": "tinc-sealed", "tcp-sealed": "tinc-sealed"}


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def read_text(path, default=""):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return default


def ping_stats(path):
    """(avg ms, max ms, loss %) from ping -q output, or None."""
    text = read_text(path)
    rtt = re.search(r"= [\d.]+/([\d.]+)/([\d.]+)/", text)
    loss = re.search(r"([\d.]+)% packet loss", text)
    if not rtt:
        return None
    return float(rtt.group(1)), float(rtt.group(2)), float(loss.group(1)) if loss else 0.0


def measure(directory):
    row = {"x1": None, "x4": None, "udp_loss": None, "moved": 0.0}
    for key, name in (("x1", "tcp1.json"), ("x4", "tcp4.json")):
        received = load_json(os.path.join(directory, name)).get("end", {}).get("sum_received")
        if received:
            row[key] = received["bits_per_second"] / 1e6
            row["moved"] += received["bytes"]
    udp = load_json(os.path.join(directory, "udp.json")).get("end", {}).get("sum")
    if udp and udp.get("packets"):
        row["udp_loss"] = udp["lost_percent"]
        row["moved"] += udp["bytes"] * (udp["packets"] - udp["lost_packets"]) / udp["packets"]
    row["idle"] = ping_stats(os.path.join(directory, "ping-idle.txt"))
    row["load"] = ping_stats(os.path.join(directory, "ping-load.txt"))
    cpu = read_text(os.path.join(directory, "cpu"))
    row["cpu"] = float(cpu) if cpu else None
    gb = row["moved"] / 1e9
    row["cpu_per_gb"] = row["cpu"] / gb if row["cpu"] is not None and gb > 0 else None
    row["crypto"] = read_text(os.path.join(directory, "crypto"), "?")
    row["cleartext"] = read_text(os.path.join(directory, "cleartext"), "?")
    return row


def number(value, digits=0):
    return "fail" if value is None else "%.*f" % (digits, value)


def ratio(value, reference):
    if value is None or reference is None or reference == 0:
        return "-"
    return "%.2fx" % (value / reference)


def main():
    directory, names = sys.argv[1], sys.argv[2:]
    rows = {name: measure(os.path.join(directory, name)) for name in names}
    print("| setup | crypto | TCP x1 Mbit/s | x1 vs ref | TCP x4 Mbit/s | UDP 200M loss % "
          "| ping idle avg ms | ping under load avg / max ms | payload readable on WAN "
          "| CPU s | GB | CPU s/GB | CPU/GB vs ref |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|---:|")
    for name in names:
        r = rows[name]
        ref_name = REFERENCE.get(name.split("@")[0], "tinc")
        crypto = r["crypto"]
        if crypto != "none" and r["cleartext"] == "yes":
            crypto += ": ran unsealed"
            ref_name = "tinc"  # what it did is compared, not what it was asked to do
        ref = rows.get(ref_name)
        idle = r["idle"]
        load = r["load"]
        load_text = "fail"
        if load:
            load_text = "%.2f / %.1f" % (load[0], load[1])
            if load[2] > 0:
                load_text += " (%.0f %% lost)" % load[2]
        cells = [
            name,
            crypto,
            number(r["x1"]),
            "-" if ref is None or ref_name == name else
            "%s %s" % (ratio(r["x1"], ref["x1"]), ref_name),
            number(r["x4"]),
            number(r["udp_loss"], 2),
            "fail" if idle is None else "%.3f" % idle[0],
            load_text,
            r["cleartext"],
            "-" if r["cpu"] is None else "%.1f" % r["cpu"],
            "%.2f" % (r["moved"] / 1e9),
            "-" if r["cpu_per_gb"] is None else "%.2f" % r["cpu_per_gb"],
            "-" if ref is None or ref_name == name else
            ratio(r["cpu_per_gb"], ref["cpu_per_gb"]),
        ]
        print("| " + " | ".join(cells) + " |")
    failed = [n for n in names if None in (rows[n]["x1"], rows[n]["x4"], rows[n]["udp_loss"])]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
