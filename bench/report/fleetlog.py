#!/usr/bin/env python3
"""Writes a made-up access log of a fleet in the fleet's nginx log format, and its update information.

Every device asks for update.json once an hour at its own minute. Version 200 rolls out from day 5
(10 %, 50 %, then 100 %), version 300 from day 20 (20 %, then 60 %); some devices roll 300 back
and refuse it, some fail downloads for a while and a few for good, some fall silent. The first days are written in the
older format without probation and refused fields, a few lines are garbage, a few requests are not
the updater's.

Usage: fleetlog.py OUT_DIR [--devices N] [--days N] [--end ISO_TIME] [--gzip-rotations] [--old-days N]
Writes OUT_DIR/tovrel.log (and with --gzip-rotations the older days as tovrel.log.N.gz) and
OUT_DIR/update.json.
"""
import argparse
import datetime as dt
import gzip
import hashlib
import json
import os
import random


def bucket(device, version):
    return int(hashlib.sha256(f"{device}:{version}".encode()).hexdigest()[:8], 16) % 100


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--devices", type=int, default=10000)
    ap.add_argument("--days", type=int, default=30)
    ap.add_argument("--end", help="time of the last hour (default: now)")
    ap.add_argument("--gzip-rotations", action="store_true")
    ap.add_argument("--old-days", type=int, default=3, help="days at the start in the older format")
    a = ap.parse_args()
    rnd = random.Random(7)
    end = dt.datetime.fromisoformat(a.end) if a.end else dt.datetime.now(dt.timezone.utc)
    # The last hour is a whole one that has passed, so that no line lies in the future.
    end = end.replace(minute=0, second=0, microsecond=0, tzinfo=dt.timezone.utc) - dt.timedelta(hours=1)
    hours = a.days * 24
    start = end - dt.timedelta(hours=hours - 1)
    os.makedirs(a.out, exist_ok=True)

    # rollout of (version, [(from hour, percent)])
    plan = [(200, [(5 * 24, 10), (7 * 24, 50), (10 * 24, 100)]),
            (300, [(20 * 24, 20), (24 * 24, 60)])]
    plan = [(v, [(h * a.days // 30, p) for h, p in steps]) for v, steps in plan]
    sizes = {200: 48_234_496, 300: 51_380_224}

    devices = []
    for i in range(a.devices):
        d = {"id": f"kiosk-{i + 1:05d}", "minute": rnd.randrange(60), "second": rnd.randrange(60),
             "version": 100, "refused": [], "probation": "none", "state": "not_required",
             "fail_until": -1, "silent_from": hours + 1, "bad_300": rnd.random() < 0.04, "broken": rnd.random() < 0.01,
             "ip": f"10.{i // 65536}.{i // 256 % 256}.{i % 256}"}
        if rnd.random() < 0.015:
            d["silent_from"] = rnd.randrange(hours // 3, hours)
        devices.append(d)

    def percent_at(version, hour):
        p = 0
        for h, pct in dict(plan)[version]:
            if hour >= h:
                p = pct
        return p

    old_format_until = a.old_days * 24
    per_day = {}
    for hour in range(hours):
        t = start + dt.timedelta(hours=hour)
        prefix = t.strftime("%Y-%m-%dT%H:")
        day = hour // 24
        lines = per_day.setdefault(day, [])
        for d in devices:
            if hour >= d["silent_from"]:
                continue
            stamp = f"{prefix}{d['minute']:02d}:{d['second']:02d}+00:00"
            offer = None
            for version, _ in plan:
                pct = percent_at(version, hour)
                if pct and version > d["version"] and version not in d["refused"] and bucket(d["id"], version) < pct:
                    offer = version
            state = d["state"]
            extra = "" if hour < old_format_until else f" {d['probation']} {','.join(map(str, d['refused']))}"
            lines.append(f'{stamp} {d["id"]} {d["version"]} {state} "GET /update/update.json HTTP/1.1" 200 391 {d["ip"]}{extra}')
            if offer is None:
                if d["state"] not in ("error_hash", "error_info") or hour >= d["fail_until"]:
                    d["state"] = "not_required"
                if d["probation"] == "kept" and rnd.random() < 0.2:
                    d["probation"] = "none"
                continue
            if d["broken"] or rnd.random() < 0.01:
                d["state"] = rnd.choice(["error_hash", "error_info"])
                d["fail_until"] = hour + rnd.randrange(1, 48)
                continue
            if hour < d["fail_until"]:
                continue
            lines.append(f'{stamp} {d["id"]} {d["version"]} downloading "GET /update/windows-{offer}.zip HTTP/1.1" 200 '
                         f'{sizes[offer]} {d["ip"]}{extra}')
            if offer == 300 and d["bad_300"]:
                d["refused"].append(300)
                d["probation"] = "rolled_back"
                d["state"] = "error"
            else:
                d["version"] = offer
                d["probation"] = "kept"
                d["state"] = "not_required"
        if hour % 97 == 0:
            lines.append(f'{prefix}13:37+00:00 - - - "GET /robots.txt HTTP/1.1" 404 153 192.0.2.7 - -')
            lines.append(f"{prefix}13:38+00:00 truncated line")

    with open(os.path.join(a.out, "tovrel.log"), "w") as current:
        for day in sorted(per_day):
            age = a.days - 1 - day
            if a.gzip_rotations and age >= 2:
                with gzip.open(os.path.join(a.out, f"tovrel.log.{age}.gz"), "wt", compresslevel=3) as f:
                    f.write("\n".join(per_day[day]) + "\n")
            else:
                current.write("\n".join(per_day[day]) + "\n")

    info = {"windows": {"file_name": "windows-300.zip", "hash": "0" * 32,
                        "link": "https://updates.example.com/update/windows-300.zip",
                        "rollout": percent_at(300, hours - 1) or 100, "version_code": 300}}
    with open(os.path.join(a.out, "update.json"), "w") as f:
        json.dump(info, f, indent=4)


if __name__ == "__main__":
    main()
