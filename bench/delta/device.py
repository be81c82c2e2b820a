#!/usr/bin/env python3
"""The device's side of the delta benchmark.

  device.py run OUTPUT TIMEOUT CMD...    runs CMD (the updater, under /usr/bin/time) with its output in
                                         OUTPUT; prints the seconds from its start to its "$UPDATED"
                                         line (-1 when none came), the seconds to its exit, and its exit code
  device.py moved LOG WWW                from an nginx log slice ("$bytes_sent $body_bytes_sent $status
                                         $request"), prints: bytes sent (headers included), body bytes of
                                         manifests, objects and patches, body bytes of packages, body bytes
                                         of the rest, requests, requests not answered 200, the largest
                                         zstd window of the patches and of the objects fetched
"""
import os
import subprocess
import sys
import time


def run(output, timeout, command):
    start = time.monotonic()
    updated = -1.0
    with open(output, "wb") as out:
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        deadline = start + timeout
        for line in child.stdout:
            out.write(line)
            if updated < 0 and line.startswith(b"$UPDATED"):
                updated = time.monotonic() - start
            if time.monotonic() > deadline:
                break
        try:
            code = child.wait(max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
            code = -1
    print("%.3f %.3f %d" % (updated, time.monotonic() - start, code))


def window(path):
    """The window a zstd frame asks of its decoder, from its header; 0 when it is no frame."""
    with open(path, "rb") as f:
        head = f.read(18)
    if len(head) < 6 or int.from_bytes(head[:4], "little") != 0xFD2FB528:
        return 0
    descriptor = head[4]
    fcs_flag, single, dict_flag = descriptor >> 6, (descriptor >> 5) & 1, descriptor & 3
    pos = 5
    if not single:
        wd = head[pos]
        base = 1 << (10 + (wd >> 3))
        return base + (base >> 3) * (wd & 7)
    pos += [0, 1, 2, 4][dict_flag]
    size = [1, 2, 4, 8][fcs_flag]
    value = int.from_bytes(head[pos:pos + size], "little")
    return value + 256 if size == 2 else value


def moved(log, www):
    sent = delta = package = other = requests = failed = 0
    windows = {"patches": 0, "objects": 0}
    with open(log) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 5:
                continue
            requests += 1
            sent += int(parts[0])
            body = int(parts[1])
            if parts[2] != "200":
                failed += 1
            path = parts[4].split("?")[0]
            kind = "patches" if "/patches/" in path else "objects" if "/objects/" in path else ""
            if "/manifests/" in path:
                delta += body
            elif kind:
                delta += body
                if parts[2] == "200":
                    windows[kind] = max(windows[kind], window(os.path.join(www, path.lstrip("/"))))
            elif path.endswith(".zip"):
                package += body
            else:
                other += body
    print(sent, delta, package, other, requests, failed, windows["patches"], windows["objects"])


if __name__ == "__main__":
    if sys.argv[1] == "run":
        run(sys.argv[2], float(sys.argv[3]), sys.argv[4:])
    elif sys.argv[1] == "moved":
        moved(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
