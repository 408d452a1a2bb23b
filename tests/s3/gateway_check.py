#!/usr/bin/python3
"""Checks the shared S3 gateway with the reference clients: the user's signed writes and reads
arrive byte for byte, and the role's temporary credentials write only under the role's prefix.

    gateway_check.py --dir DIR      (DIR as given to `ceph_gateway.py start`)
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ceph_gateway import CephGateway  # noqa: E402
from reference_clients import RCLONE, aws, aws_env, rclone_env  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    gw = CephGateway.attach(ap.parse_args().dir)
    with tempfile.TemporaryDirectory(prefix="qiravel-s3-check-") as work:
        failures = check(gw, work)
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


def check(gw, work):
    g, bucket, prefix = gw.info, gw.info["bucket"], gw.info["prefix"]
    temp = gw.assume_role()
    src = os.path.join(work, "src")
    with open(src, "wb") as f:
        f.write(os.urandom(9 << 20))  # above the aws CLI's multipart threshold
    s3 = "s3://%s/" % bucket

    # (client, credentials, key, write allowed)
    cases = [
        ("aws", None, "check/aws key é+=!", True),
        ("rclone", None, "check/rclone (1)", True),
        ("aws", temp, prefix + "check/aws", True),
        ("rclone", temp, prefix + "check/rclone", True),
        ("aws", temp, "outside/aws", False),
        ("rclone", temp, "outside/rclone", False),
    ]
    failures = []
    for client, creds, key, allowed in cases:
        back = os.path.join(work, "back")
        if client == "aws":
            env = aws_env(g, creds)
            put = aws(g, "s3", "cp", src, s3 + key)
            get = aws(g, "s3", "cp", s3 + key, back)
        else:
            env = rclone_env(g, creds)
            put = [RCLONE, "copyto", "--retries", "1", "--low-level-retries", "1", src,
                   "gw:%s/%s" % (bucket, key)]
            get = [RCLONE, "copyto", "gw:%s/%s" % (bucket, key), back]
        r = subprocess.run(put, env=env, capture_output=True, text=True, timeout=120)
        what = "%s %s %r" % (client, "temporary" if creds else "user", key)
        if (r.returncode == 0) != allowed:
            failures.append("%s: write %s (%s)" % (what, "refused" if allowed else "accepted",
                                                   r.stderr.strip()[-300:]))
            continue
        if allowed:
            subprocess.run(get, env=env, capture_output=True, timeout=120)
            with open(src, "rb") as a, open(back, "rb") as b:
                if a.read() != b.read():
                    failures.append("%s: read back differs" % what)
            os.unlink(back)
    print("%d of %d cases passed" % (len(cases) - len(failures), len(cases)))
    return failures


if __name__ == "__main__":
    sys.exit(main())
