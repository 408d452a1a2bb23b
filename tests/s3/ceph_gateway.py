#!/usr/bin/python3
"""A throwaway S3 server for tests: Ceph's RADOS Gateway on a single-node cluster on 127.0.0.1.

One monitor, one OSD keeping its objects in memory (memstore), the cluster's own authentication
off, and the gateway (beast frontend) with one S3 user, one bucket and an STS role whose policy
allows object access only under one prefix of that bucket. Every daemon runs as an ordinary
process in its own session; all files live in one folder. Starting takes about 10 s (3 s of
CPU) on 2 busy cores.

As a command (one gateway shared by all S3 tests, e.g. a ctest FIXTURES_SETUP/CLEANUP pair):

    tests/s3/ceph_gateway.py start --dir DIR     # prints the gateway's JSON, also in DIR/gateway.json
    tests/s3/ceph_gateway.py assume-role --dir DIR [--seconds N]   # prints temporary credentials
    tests/s3/ceph_gateway.py stop --dir DIR      # ends every process started, removes DIR

gateway.json: {"endpoint": "http://127.0.0.1:PORT", "region", "access_key_id",
"secret_access_key", "bucket", "prefix" (the role's prefix, ending in "/"), "role_arn", "dir"}.
assume-role prints {"access_key_id", "secret_access_key", "session_token", "expiration"}.
"start" on a DIR whose gateway still runs stops that one first. A wrong secret is answered 403
"SignatureDoesNotMatch" for the user's keys, "InvalidAccessKeyId" for temporary ones.

From Python:

    with CephGateway(dir) as gw:      # or gw = CephGateway(dir); gw.start(); ...; gw.stop()
        gw.info["endpoint"]; gw.assume_role(); gw.request("GET", "/bucket/key")
"""

import argparse
import datetime
import hashlib
import hmac
import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
import uuid
import xml.etree.ElementTree as ET

REGION = "default"
BUCKET = "qiravel-tests"
ROLE_PREFIX = "granted/"
USER = "qiravel-tester"
ROLE = "prefix-writer"
START_TIMEOUT = 120  # seconds for the whole start; each step also has its own bound
STATE_FILE = "gateway.json"


class GatewayError(RuntimeError):
    pass


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sign_v4(method, url, access_key, secret_key, region=REGION, service="s3", body=b"",
            headers=None, session_token=None):
    """Returns the headers of an AWS Signature Version 4 request (path as given, query sorted)."""
    parts = urllib.parse.urlsplit(url)
    now = datetime.datetime.now(datetime.timezone.utc)
    amz_date, day = now.strftime("%Y%m%dT%H%M%SZ"), now.strftime("%Y%m%d")
    payload_hash = hashlib.sha256(body).hexdigest()
    hdrs = {"host": parts.netloc, "x-amz-date": amz_date, "x-amz-content-sha256": payload_hash}
    if session_token:
        hdrs["x-amz-security-token"] = session_token
    hdrs.update({k.lower(): v for k, v in (headers or {}).items()})
    query = "&".join(sorted(
        "%s=%s" % (urllib.parse.quote(k, safe="-_.~"), urllib.parse.quote(v, safe="-_.~"))
        for k, v in urllib.parse.parse_qsl(parts.query, keep_blank_values=True)))
    names = sorted(hdrs)
    canonical = "\n".join([method, parts.path or "/", query,
                           "".join("%s:%s\n" % (n, str(hdrs[n]).strip()) for n in names),
                           ";".join(names), payload_hash])
    scope = "%s/%s/%s/aws4_request" % (day, region, service)
    to_sign = "\n".join(["AWS4-HMAC-SHA256", amz_date, scope,
                         hashlib.sha256(canonical.encode()).hexdigest()])
    key = ("AWS4" + secret_key).encode()
    for part in (day, region, service, "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    signature = hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()
    hdrs["authorization"] = "AWS4-HMAC-SHA256 Credential=%s/%s, SignedHeaders=%s, Signature=%s" % (
        access_key, scope, ";".join(names), signature)
    del hdrs["host"]
    return hdrs


class CephGateway:
    def __init__(self, directory=None):
        self.dir = os.path.abspath(directory) if directory else None
        self.info = {}
        self._pids = {}

    # -- public -----------------------------------------------------------------------------

    def start(self):
        if self.dir is None:
            self.dir = tempfile.mkdtemp(prefix="qiravel-s3-")
        elif os.path.exists(os.path.join(self.dir, STATE_FILE)):
            CephGateway.attach(self.dir).stop()
        os.makedirs(self.dir, exist_ok=True)
        self._deadline = time.monotonic() + START_TIMEOUT
        self.timings = []  # (step, seconds since the start)
        t0 = time.monotonic()
        try:
            for step in (self._configure, self._start_monitor, self._start_osd,
                         self._start_gateway, self._make_user_bucket_role):
                step()
                self.timings.append((step.__name__.lstrip("_"), time.monotonic() - t0))
        except BaseException as e:
            logs = self._log_tails()
            self.stop(remove=False)
            if isinstance(e, Exception):
                raise GatewayError("%s: %s\n(files kept in %s)\n%s"
                                   % (type(e).__name__, e, self.dir, logs)) from e
            raise
        self._save()
        return self.info

    @classmethod
    def attach(cls, directory):
        """The gateway described by DIR/gateway.json (started by another process)."""
        gw = cls(directory)
        with open(os.path.join(gw.dir, STATE_FILE)) as f:
            state = json.load(f)
        gw._pids = state.pop("pids", {})
        gw.info = state
        return gw

    def stop(self, remove=True):
        """Kills every daemon (nothing of a throwaway cluster needs a clean shutdown) and removes
        the folder."""
        for name in ("radosgw", "osd", "mon"):
            pid = self._pids.get(name)
            if pid and self._is_ours(pid):
                try:
                    os.killpg(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        for name, pid in self._pids.items():
            if not self._wait_gone(pid, 10):
                print("ceph_gateway: %s (%d) outlived SIGKILL" % (name, pid), file=sys.stderr)
        self._pids = {}
        if remove and self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def assume_role(self, seconds=900, session="tests"):
        """Temporary credentials for the role (session token included)."""
        form = urllib.parse.urlencode({
            "Action": "AssumeRole", "Version": "2011-06-15", "RoleArn": self.info["role_arn"],
            "RoleSessionName": session, "DurationSeconds": str(seconds)}).encode()
        status, body = self.request("POST", "/", body=form, service="sts", headers={
            "content-type": "application/x-www-form-urlencoded"})
        if status != 200:
            raise GatewayError("AssumeRole answered %d: %s" % (status, body.decode(errors="replace")))
        creds = {el.tag.split("}")[-1]: el.text for el in ET.fromstring(body).iter()}
        return {"access_key_id": creds["AccessKeyId"], "secret_access_key": creds["SecretAccessKey"],
                "session_token": creds["SessionToken"], "expiration": creds["Expiration"]}

    def request(self, method, path, body=b"", headers=None, service="s3", credentials=None):
        """A signed request to the gateway; returns (status, body). PATH is sent as given."""
        creds = credentials or self.info
        url = self.info["endpoint"] + path
        hdrs = sign_v4(method, url, creds["access_key_id"], creds["secret_access_key"],
                       self.info["region"], service, body, headers, creds.get("session_token"))
        req = urllib.request.Request(url, data=body if method in ("PUT", "POST") else None,
                                     method=method, headers=hdrs)
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                return r.status, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- steps ------------------------------------------------------------------------------

    def _path(self, *names):
        return os.path.join(self.dir, *names)

    def _configure(self):
        for sub in ("mon", "osd", "run", "log"):
            os.makedirs(self._path(sub), exist_ok=True)
        self.fsid = str(uuid.uuid4())
        self.mon_port = _free_port()
        d = self.dir
        with open(self._path("ceph.conf"), "w") as f:
            f.write(f"""[global]
fsid = {self.fsid}
mon_host = v2:127.0.0.1:{self.mon_port}
public_addr = 127.0.0.1
ms_bind_msgr1 = false
ms_mon_client_mode = crc
auth_cluster_required = none
auth_service_required = none
auth_client_required = none
keyring = /dev/null
run_dir = {d}/run
admin_socket = {d}/run/$name.asok
pid_file =
log_file = {d}/log/$name.log
log_to_stderr = false
err_to_stderr = true
mon_cluster_log_file = {d}/log/cluster.log
osd_pool_default_size = 1
osd_pool_default_min_size = 1
osd_pool_default_pg_num = 8
osd_pool_default_pgp_num = 8
osd_pool_default_pg_autoscale_mode = off
osd_crush_chooseleaf_type = 0
mon_allow_pool_size_one = true
mon_warn_on_pool_no_redundancy = false
mon_max_pg_per_osd = 1000
paxos_propose_interval = 0.1
[mon.a]
mon_data = {d}/mon
[osd.0]
osd_data = {d}/osd
osd_objectstore = memstore
memstore_device_bytes = 8589934592
# The in-memory store's own count of used bytes goes wrong once objects are deleted, and the OSD
# then takes itself for full and drops every write; count the placement groups' bytes instead.
fake_statfs_for_testing = 8589934592
[client.rgw]
rgw_data = {d}/rgw
rgw_dns_name = localhost
rgw_sts_key = {secrets.token_hex(8)}
rgw_s3_auth_use_sts = true
# Users before sessions: a user's request with a wrong secret is answered SignatureDoesNotMatch,
# as AWS answers it, not AccessDenied (a session's with a wrong secret: InvalidAccessKeyId).
rgw_s3_auth_order = local, sts
rgw_enable_usage_log = false
# The objects live in memory: give deleted ones back within seconds, not hours.
rgw_gc_obj_min_wait = 1
rgw_gc_processor_period = 5
rgw_gc_processor_max_time = 5
""")

    def _run(self, *args, timeout=30):
        """Runs a Ceph tool against this cluster; returns its standard output."""
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise GatewayError("start took longer than %d s" % START_TIMEOUT)
        cmd = [args[0], "-c", self._path("ceph.conf")] + list(args[1:])
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=min(timeout, left),
                           stdin=subprocess.DEVNULL)
        if r.returncode != 0:
            raise GatewayError("%s failed (%d): %s" % (" ".join(cmd), r.returncode,
                                                        (r.stderr or r.stdout).strip()))
        return r.stdout

    def _spawn(self, name, *args):
        with open(self._path("log", name + ".stderr"), "ab") as err:
            p = subprocess.Popen([args[0], "-f", "-c", self._path("ceph.conf")] + list(args[1:]),
                                 stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                 start_new_session=True)
        self._pids[name] = p.pid
        self._save()  # so that "stop" from another process finds it even if start fails later
        return p

    def _wait(self, what, check, limit, proc=None):
        end = min(time.monotonic() + limit, self._deadline)
        while time.monotonic() < end:
            if proc is not None and proc.poll() is not None:
                return False
            try:
                if check():
                    return True
            except (GatewayError, subprocess.SubprocessError, OSError):
                pass
            time.sleep(0.25)
        raise GatewayError("timed out after %d s waiting for %s" % (limit, what))

    def _start_monitor(self):
        self._run("monmaptool", "--create", "--fsid", self.fsid,
                  "--addv", "a", "[v2:127.0.0.1:%d]" % self.mon_port, self._path("monmap"))
        self._run("ceph-mon", "--mkfs", "-i", "a", "--monmap", self._path("monmap"))
        proc = self._spawn("mon", "ceph-mon", "-i", "a")
        if not self._wait("the monitor's quorum",
                          lambda: self._run("ceph", "--connect-timeout", "5", "mon", "stat",
                                            timeout=10), 40, proc):
            raise GatewayError("ceph-mon exited with %s" % proc.returncode)

    def _start_osd(self):
        osd_uuid = str(uuid.uuid4())
        osd_id = self._run("ceph", "osd", "new", osd_uuid).strip()
        if osd_id != "0":
            raise GatewayError("expected OSD id 0, the monitor gave %r" % osd_id)
        self._run("ceph-osd", "-i", "0", "--mkfs", "--osd-uuid", osd_uuid, timeout=60)

        def up():
            dump = json.loads(self._run("ceph", "osd", "dump", "--format", "json", timeout=10))
            return any(o["osd"] == 0 and o["up"] for o in dump["osds"])
        # With the cluster's authentication off, the OSD sometimes exits at once ("wrong
        # fsid"); a second start works.
        for attempt in range(5):
            proc = self._spawn("osd", "ceph-osd", "-i", "0")
            if self._wait("the OSD to come up", up, 40, proc):
                return
            print("ceph_gateway: ceph-osd exited with %s, starting it again" % proc.returncode,
                  file=sys.stderr)
        raise GatewayError("ceph-osd exited %d times in a row (last status %s)"
                           % (attempt + 1, proc.returncode))

    def _start_gateway(self):
        # The free port may be taken before the gateway binds it: then it exits, try another.
        for attempt in range(3):
            self.rgw_port = _free_port()
            proc = self._spawn("radosgw", "radosgw", "-n", "client.rgw", "--rgw-frontends",
                               "beast endpoint=127.0.0.1:%d" % self.rgw_port)

            def answers():
                with socket.create_connection(("127.0.0.1", self.rgw_port), timeout=1) as s:
                    s.sendall(b"GET / HTTP/1.0\r\n\r\n")
                    return s.recv(12).startswith(b"HTTP/")
            if self._wait("the gateway on port %d" % self.rgw_port, answers, 60, proc):
                return
        raise GatewayError("radosgw exited %d times in a row (last status %s)"
                           % (attempt + 1, proc.returncode))

    def _make_user_bucket_role(self):
        access, secret = "QV" + secrets.token_hex(9).upper(), secrets.token_urlsafe(30)
        self._run("radosgw-admin", "-n", "client.rgw", "user", "create", "--uid", USER,
                  "--display-name", "Qiravel tests", "--access-key", access, "--secret", secret)
        trust = {"Version": "2012-10-17", "Statement": [{
            "Effect": "Allow", "Action": ["sts:AssumeRole"],
            "Principal": {"AWS": ["arn:aws:iam:::user/%s" % USER]}}]}
        role = json.loads(self._run("radosgw-admin", "-n", "client.rgw", "role", "create",
                                    "--role-name", ROLE, "--path", "/",
                                    "--assume-role-policy-doc", json.dumps(trust)))
        policy = {"Version": "2012-10-17", "Statement": [
            {"Effect": "Allow", "Action": ["s3:PutObject", "s3:GetObject", "s3:DeleteObject",
                                           "s3:AbortMultipartUpload", "s3:ListMultipartUploadParts"],
             "Resource": ["arn:aws:s3:::%s/%s*" % (BUCKET, ROLE_PREFIX)]},
            {"Effect": "Allow", "Action": ["s3:ListBucket", "s3:ListBucketMultipartUploads"],
             "Resource": ["arn:aws:s3:::%s" % BUCKET],
             "Condition": {"StringLike": {"s3:prefix": ROLE_PREFIX + "*"}}}]}
        self._run("radosgw-admin", "-n", "client.rgw", "role-policy", "put", "--role-name", ROLE,
                  "--policy-name", "prefix-only", "--policy-doc", json.dumps(policy))
        self.info = {"endpoint": "http://127.0.0.1:%d" % self.rgw_port, "region": REGION,
                     "access_key_id": access, "secret_access_key": secret, "bucket": BUCKET,
                     "prefix": ROLE_PREFIX, "role_arn": role["Arn"], "dir": self.dir}
        # The user's keys reach the gateway through the cluster; retry until they are known.
        self._wait("the bucket to be created",
                   lambda: self.request("PUT", "/" + BUCKET)[0] == 200, 30)

    # -- bookkeeping ------------------------------------------------------------------------

    def _save(self):
        tmp = self._path(STATE_FILE + ".tmp")
        with open(tmp, "w") as f:
            json.dump(dict(self.info, pids=self._pids, dir=self.dir), f, indent=1)
        os.replace(tmp, self._path(STATE_FILE))

    def _is_ours(self, pid):
        """True while PID is a daemon of this folder's cluster (guards against reused ids)."""
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return self._path("ceph.conf").encode() in f.read().split(b"\0")
        except OSError:
            return False

    def _wait_gone(self, pid, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:  # reaps it when it is our child; otherwise its parent does
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass
            if not self._is_ours(pid):
                return True
            time.sleep(0.1)
        return False

    def _log_tails(self):
        out = []
        for name in sorted(os.listdir(self._path("log"))) if os.path.isdir(self._path("log")) else []:
            with open(self._path("log", name), errors="replace") as f:
                lines = f.readlines()[-15:]
            if lines:
                out.append("--- %s (last lines)\n%s" % (name, "".join(lines)))
        return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("command", choices=["start", "stop", "assume-role"])
    ap.add_argument("--dir", required=True, help="the gateway's folder (made by start)")
    ap.add_argument("--seconds", type=int, default=900, help="lifetime of assume-role's credentials")
    a = ap.parse_args()
    try:
        if a.command == "start":
            gw = CephGateway(a.dir)
            info = gw.start()
            print("ceph_gateway: " + ", ".join("%s %.1f s" % t for t in gw.timings), file=sys.stderr)
        elif a.command == "stop":
            if os.path.exists(os.path.join(a.dir, STATE_FILE)):
                CephGateway.attach(a.dir).stop()
            return 0
        else:
            info = CephGateway.attach(a.dir).assume_role(a.seconds)
    except GatewayError as e:
        print("ceph_gateway %s: %s" % (a.command, e), file=sys.stderr)
        return 1
    print(json.dumps(info, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
