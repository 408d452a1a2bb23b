#!/usr/bin/python3
"""An S3 upload cut by SIGKILL halfway, then resumed: how many bytes are sent twice.

    bench/s3/bench_resume.py [--build DIR] [--runs N] [--mb MB] [--work DIR]

Each run uploads one file of MB (1024) megabytes through the Assistant to the S3 gateway of the
tests (tests/s3/ceph_gateway.py), reached through a relay on 127.0.0.1 that counts the bytes the
Assistant sends. `qvshell` picks the file and asks for the upload; once "TransferProgress" reports
a share of the bytes done (drawn between 40 and 60 %, so that the kill falls anywhere within a
part), the Assistant is killed with SIGKILL and started again, and `qvshell` waits for
"TransferComplete". Bytes sent twice = bytes sent by both runs (request bodies and headers) less
the file's size; the goal is at most the Assistant's requests in flight (4) times its part size
(8 MiB) = 32 MiB of bodies, allowed 1 KB more per request for the headers, which are counted too. Printed: each run's figures, then the median and the highest.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_s3 import ROOT, Assistant, CephGateway  # noqa: E402  (puts tests/s3 on the path)
from relay import Relay  # noqa: E402
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from scenario import pids  # noqa: E402

PART = 8 << 20
BOUND = 4 * PART
HEADER = 1 << 10  # per request: the headers, which the relay counts with the bodies


def assistant_pids(assistant):
    return pids(assistant.program, "XDG_RUNTIME_DIR=%s/runtime" % assistant.sandbox)


def notifications(shell):
    for line in shell.stdout:
        if line.startswith("notify: "):
            yield json.loads(line[len("notify: "):])


def one_run(assistant, gateway, relay, folder, size, prefix, share):
    s3 = {"endpoint": "http://127.0.0.1:%d" % relay.port, "region": gateway["region"],
          "addressing": "path",
          "credentials": {"access_key_id": gateway["access_key_id"],
                          "secret_access_key": gateway["secret_access_key"]}}
    requests = [{"type": "Request", "code": "SelectFilesToUpload"},
                {"type": "Request", "code": "StartUpload",
                 "upload_url": "s3://%s/%s" % (gateway["bucket"], prefix), "s3": s3}]
    relay.take()
    with open(assistant.log, "a") as log:
        shell = subprocess.Popen([assistant.qvshell, "--settle", "0", "--pick", folder],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                                 env=assistant.env, text=True)
        shell.stdin.write("".join(json.dumps(r) + "\n" for r in requests))
        shell.stdin.flush()
        events = notifications(shell)
        for event in events:
            if event["code"] == "TransferProgress" and event["bytes_done"] >= size * share:
                break
        for pid in assistant_pids(assistant):
            os.kill(pid, signal.SIGKILL)
        while assistant_pids(assistant):
            time.sleep(0.02)
        logged = os.path.getsize(assistant.log)
        # The killed process's threads may still hold its instance lock for a moment after it
        # left /proc's list: a copy started then leaves at once, and is started again.
        for _ in range(100):
            again = subprocess.Popen([assistant.program], env=assistant.env, stdout=subprocess.DEVNULL, stderr=log)
            try:
                again.wait(timeout=1)
            except subprocess.TimeoutExpired:
                break
        complete = next((e for e in events if e["code"] in ("TransferComplete", "TransferFailed")), None)
        sent = relay.take()
    shell.stdin.close()
    shell.wait(timeout=60)
    assistant.stop()
    if not complete or complete.get("files_sent") != 1:
        raise RuntimeError("the resumed upload did not complete: %s" % complete)
    with open(assistant.log) as log:
        log.seek(logged)
        kept = re.search(r"(\d+) of (\d+) parts were stored before and kept", log.read())
    return sent, kept.group(0) if kept else "no part kept"


def main():
    ap = argparse.ArgumentParser(description="bytes sent twice by an S3 upload killed and resumed")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--mb", type=int, default=1024)
    ap.add_argument("--work")
    a = ap.parse_args()
    work = a.work or tempfile.mkdtemp(prefix="qv-bench-resume-")
    os.makedirs(os.path.join(work, "data"), exist_ok=True)
    assistant = Assistant(os.path.abspath(a.build), work)
    path = os.path.join(work, "data", "big.bin")
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for i in range(a.mb):
            f.write(block[i % 4096:] + block[:i % 4096])
    size = a.mb << 20
    resent = []
    shares = random.Random(1)
    try:
        with CephGateway(os.path.join(work, "gateway")) as gw:
            relay = Relay(gw.info["endpoint"])
            for run in range(a.runs):
                prefix = "bench/resume-%d/" % run
                share = shares.uniform(0.4, 0.6)
                sent, kept = one_run(assistant, gw.info, relay, path, size, prefix, share)
                resent.append(sent - size)
                print("run %d: killed at %.0f %%; %.2f MiB sent by both runs; %s; sent twice %.2f MiB" %
                      (run, share * 100, sent / 2**20, kept, resent[-1] / 2**20), flush=True)
                gw.request("DELETE", "/%s/%sbig.bin" % (gw.info["bucket"], prefix))
    finally:
        assistant.stop()
        if not a.work:
            shutil.rmtree(work, ignore_errors=True)
    # Requests of one run: the parts, starting, listing and completing; each resumed part twice.
    headers = HEADER * 2 * (size // PART + 4)
    print("sent twice: median %.2f MiB, highest %.2f MiB; bound %.2f MiB and %.2f MiB of headers" %
          (statistics.median(resent) / 2**20, max(resent) / 2**20, BOUND / 2**20, headers / 2**20))
    return 0 if max(resent) <= BOUND + headers else 1


if __name__ == "__main__":
    sys.exit(main())
