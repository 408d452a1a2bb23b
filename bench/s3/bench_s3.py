#!/usr/bin/python3
"""Uploads to the S3 gateway of the tests (tests/s3/ceph_gateway.py): the Assistant against
`rclone copy` and `aws s3 cp --recursive`, with 4 requests in flight each, in one run.

    bench/s3/bench_s3.py [--build DIR] [--runs N] [--big-mb MB] [--small N] [--work DIR]
                         [--cases big,small] [--tools assistant,rclone,aws]

Cases: 4 files of BIG-MB (256) and SMALL (2,000) files of 100 KB. Every run starts fresh
processes: the Assistant's run is qvshell picking the folder and asking for the upload, the
Assistant launched through its desktop entry, timed from qvshell's start to "TransferComplete"
and stopped afterwards; each reference is its command, timed to its exit. The order of the three
rotates from run to run. The objects are deleted between runs (untimed), so that every upload
goes to an empty prefix. Printed: each run's times, then per case the median time of each tool
and the median, lowest and highest over the runs of the Assistant's throughput relative to the
faster reference of the same run (above 1: the Assistant was faster).
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(ROOT, "tests", "s3"))
from ceph_gateway import CephGateway  # noqa: E402
from reference_clients import RCLONE, aws, aws_env, rclone_env  # noqa: E402

PARALLEL = 4          # the Assistant's default files (and parts) of one job at once
PART = 8 << 20        # the Assistant's part size for files up to 80 GB
THRESHOLD = 16 << 20  # the Assistant's largest single PUT
AWS_CONFIG = """[default]
s3 =
  max_concurrent_requests = %d
  multipart_threshold = %d
  multipart_chunksize = %d
""" % (PARALLEL, THRESHOLD, PART)


def make_data(work, cases, big_mb, small):
    block = os.urandom(1 << 20)
    if "big" in cases:
        os.makedirs(os.path.join(work, "data", "big"), exist_ok=True)
        for i in range(4):
            with open(os.path.join(work, "data", "big", "f%d" % i), "wb") as f:
                for _ in range(big_mb):
                    f.write(block[i:] + block[:i])
    if "small" in cases:
        os.makedirs(os.path.join(work, "data", "small"), exist_ok=True)
        for i in range(small):
            with open(os.path.join(work, "data", "small", "f%04d" % i), "wb") as f:
                start = (i * 4099) % ((1 << 20) - 102400)
                f.write(block[start:start + 102400])
    subprocess.run(["sync"], check=True)


class Assistant:
    """The Assistant reached as the page reaches it: qvshell, and the desktop entry that launches
    the built program, in a sandbox of XDG folders."""

    def __init__(self, build, work):
        self.qvshell = os.path.join(build, "tools", "qvshell", "qvshell")
        self.program = os.path.realpath(os.path.join(build, "Assistant", "qiravel-assistant"))
        for path in (self.qvshell, self.program):
            if not os.access(path, os.X_OK):
                sys.exit("bench_s3: %s is not built" % path)
        self.sandbox = os.path.join(work, "sandbox")
        self.log = os.path.join(work, "assistant.log")  # qvshell's and the Assistant's stderr
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.sandbox + "/runtime",
                        XDG_DATA_HOME=self.sandbox + "/data", XDG_DATA_DIRS=self.sandbox + "/data",
                        XDG_STATE_HOME=self.sandbox + "/state", XDG_CONFIG_HOME=self.sandbox + "/config")
        for sub in ("runtime", "data", "config/qiravel"):
            os.makedirs(os.path.join(self.sandbox, sub), mode=0o700, exist_ok=True)
        # The gateway and the relay in front of it listen on 127.0.0.1, reached only when allowed.
        with open(os.path.join(self.sandbox, "config/qiravel/assistant.conf"), "w") as conf:
            conf.write("[Allow]\naddresses=127.0.0.1\n")
        subprocess.run([os.path.join(ROOT, "scripts", "install-assistant"), self.program],
                       env=self.env, check=True, stdout=subprocess.DEVNULL)

    def upload(self, folder, gateway, prefix):
        s3 = {"endpoint": gateway["endpoint"], "region": gateway["region"], "addressing": "path",
              "credentials": {"access_key_id": gateway["access_key_id"],
                              "secret_access_key": gateway["secret_access_key"]}}
        requests = [{"type": "Request", "code": "SelectFilesToUpload"},
                    {"type": "Request", "code": "StartUpload",
                     "upload_url": "s3://%s/%s" % (gateway["bucket"], prefix), "s3": s3}]
        with open(self.log, "a") as log:
            p = subprocess.Popen([self.qvshell, "--settle", "0", "--pick", folder],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                                 env=self.env, text=True)
        # A job that hangs is ended after half an hour: qvshell killed, its output ends.
        watchdog = threading.Timer(1800, p.kill)
        watchdog.start()
        complete, failed = None, []
        try:
            p.stdin.write("".join(json.dumps(r) + "\n" for r in requests))
            p.stdin.flush()
            for line in p.stdout:
                if line.startswith("notify: ") and '"FileFailed"' in line:
                    failed.append(json.loads(line[len("notify: "):]).get("reason"))
                if line.startswith("notify: ") and '"TransferComplete"' in line:
                    complete = json.loads(line[len("notify: "):])
                    break
            p.stdin.close()
            p.stdout.close()
            p.wait(timeout=60)
        finally:
            watchdog.cancel()
            if p.poll() is None:
                p.kill()
                p.wait()
            self.stop()
        if not complete or complete.get("files_failed") != 0:
            raise RuntimeError("the Assistant did not send every file: %s %s" % (complete, failed[:3]))

    def stop(self):
        """Ends the Assistant of this sandbox, so that the next run launches a fresh one."""
        for pid in os.listdir("/proc"):
            if pid.isdigit() and self._is_ours(pid):
                for sig, seconds in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
                    try:
                        os.kill(int(pid), sig)
                    except OSError:
                        break
                    end = time.monotonic() + seconds
                    while self._is_ours(pid) and time.monotonic() < end:
                        time.sleep(0.05)
                    if not self._is_ours(pid):
                        break

    def _is_ours(self, pid):
        try:
            with open("/proc/%s/environ" % pid, "rb") as env:
                return (os.readlink("/proc/%s/exe" % pid) == self.program and
                        self.sandbox.encode() in env.read())
        except OSError:
            return False


def run_reference(name, folder, gateway, prefix, aws_config):
    if name == "rclone":
        cmd = [RCLONE, "copy", "--transfers", str(PARALLEL), "--checkers", str(PARALLEL),
               "--s3-upload-concurrency", "1", "--s3-chunk-size", "%dM" % (PART >> 20),
               "--s3-upload-cutoff", "%dM" % (THRESHOLD >> 20), folder,
               "gw:%s/%s%s" % (gateway["bucket"], prefix, os.path.basename(folder))]
        env = rclone_env(gateway)
    else:
        cmd = aws(gateway, "s3", "cp", "--recursive", folder,
                  "s3://%s/%s%s/" % (gateway["bucket"], prefix, os.path.basename(folder)))
        env = dict(aws_env(gateway), AWS_CONFIG_FILE=aws_config)
    r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=1800)
    if r.returncode != 0:
        raise RuntimeError("%s failed: %s" % (name, r.stderr.strip()[-500:]))


def delete_prefix(gateway, prefix):
    subprocess.run([RCLONE, "purge", "--transfers", "8", "--checkers", "8",
                    "gw:%s/%s" % (gateway["bucket"], prefix.rstrip("/"))],
                   env=rclone_env(gateway), capture_output=True, timeout=600)


def main():
    ap = argparse.ArgumentParser(description="S3 uploads: the Assistant against rclone and aws")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--big-mb", type=int, default=256)
    ap.add_argument("--small", type=int, default=2000)
    ap.add_argument("--work")
    ap.add_argument("--cases", default="big,small")
    ap.add_argument("--tools", default="assistant,rclone,aws")
    a = ap.parse_args()
    cases = a.cases.split(",")
    tools = a.tools.split(",")
    references = [t for t in tools if t != "assistant"]
    work = a.work or tempfile.mkdtemp(prefix="qv-bench-s3-")
    os.makedirs(work, exist_ok=True)
    assistant = Assistant(os.path.abspath(a.build), work) if "assistant" in tools else None
    aws_config = os.path.join(work, "aws-config")
    with open(aws_config, "w") as f:
        f.write(AWS_CONFIG)
    print("making the data in %s" % work, file=sys.stderr)
    make_data(work, cases, a.big_mb, a.small)
    times = {(c, t): [] for c in cases for t in tools}
    try:
        with CephGateway(os.path.join(work, "gateway")) as gw:
            g = gw.info
            for run in range(a.runs):
                for case in cases:
                    folder = os.path.join(work, "data", case)
                    order = tools[run % len(tools):] + tools[:run % len(tools)]
                    for tool in order:
                        prefix = "bench/%s-%d-%s/" % (case, run, tool)
                        start = time.monotonic()
                        if tool == "assistant":
                            assistant.upload(folder, g, prefix)
                        else:
                            run_reference(tool, folder, g, prefix, aws_config)
                        times[case, tool].append(time.monotonic() - start)
                        delete_prefix(g, prefix)
                        print("run %d %s %s %.2f s" % (run, case, tool, times[case, tool][-1]),
                              file=sys.stderr, flush=True)
    finally:
        if assistant:
            assistant.stop()
        if not a.work:
            shutil.rmtree(work, ignore_errors=True)
    label = {"big": "4 files of %d MB" % a.big_mb, "small": "%d files of 100 KB" % a.small}
    compare = assistant is not None and references
    print("| Case | " + " | ".join(tools) + " |" + (
        " Assistant's throughput / faster reference's: median (lowest, highest) |" if compare else ""))
    print("|---" * (len(tools) + 1 + bool(compare)) + "|")
    for case in cases:
        row = "| %s | %s |" % (label[case], " | ".join(
            "%.2f s" % statistics.median(times[case, t]) for t in tools))
        if compare:
            ratios = [min(times[case, r][i] for r in references) / times[case, "assistant"][i]
                      for i in range(a.runs)]
            row += " %.2f (%.2f, %.2f) |" % (statistics.median(ratios), min(ratios), max(ratios))
        print(row)
    return 0


if __name__ == "__main__":
    sys.exit(main())
