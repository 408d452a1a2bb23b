#!/usr/bin/env python3
"""Runs the built qiravel-nativehost over pipes as a browser does: native messaging frames on its
standard input and output, with the test Assistant as its peer in a private home, runtime and data
folder. One scenario per run.

usage: run_nativehost_test.py --build DIR SCENARIO
"""

import argparse
import json
import os
import queue
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

BUNDLE = 'com.qiravel.Assistant'
ORIGIN = 'https://example.org'
LIMIT = 1024 * 1024
WAIT = 30


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def frame(payload):
    if not isinstance(payload, bytes):
        payload = json.dumps(payload).encode()
    return struct.pack('=I', len(payload)) + payload


def request(code, **members):
    return {'call': 'ExecuteRequest', 'request': json.dumps(dict(type='Request', code=code, **members))}


class Run:
    """A private home, runtime and data folder, and a desktop entry that starts the test Assistant."""

    def __init__(self, build):
        self.build = Path(build)
        self.root = Path(tempfile.mkdtemp(prefix='qv-nativehost-'))
        self.home = self.root / 'home'
        self.home.mkdir()
        runtime = self.root / 'runtime'
        runtime.mkdir(mode=0o700)
        data = self.root / 'data'
        (data / 'applications').mkdir(parents=True)
        self.config = self.root / 'config'
        self.record = self.root / 'requests.log'
        (data / 'applications' / (BUNDLE + '.desktop')).write_text(
            '[Desktop Entry]\nType=Application\nName=Qiravel Assistant (test)\nExec=%s --idle-seconds 20 --record %s\n'
            % (self.build / 'tests' / 'assistant' / 'test_assistant', self.record))
        self.env = dict(os.environ, HOME=str(self.home), XDG_RUNTIME_DIR=str(runtime), XDG_DATA_HOME=str(data),
                        XDG_DATA_DIRS='%s:/usr/share' % data, XDG_CONFIG_HOME=str(self.config),
                        GSETTINGS_BACKEND='memory', NO_AT_BRIDGE='1', DBUS_SESSION_BUS_ADDRESS='disabled:')
        for name in ('QIRAVEL_RUNTIME_DIR', 'QIRAVEL_NATIVEHOST_DIALOGS', 'DISPLAY', 'WAYLAND_DISPLAY'):
            self.env.pop(name, None)

    def origins(self, text=None):
        path = self.config / 'qiravel' / 'origins.conf'
        if text is None:
            return path.read_text() if path.exists() else ''
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)

    def folder(self, name, files):
        """Files (relative path -> text) below a new folder of the home."""
        top = self.home / name
        for relative, text in files.items():
            (top / relative).parent.mkdir(parents=True, exist_ok=True)
            (top / relative).write_text(text)
        return top


class Host:
    """One qiravel-nativehost process; its output frames are read as they come."""

    def __init__(self, run, dialogs=None):
        env = dict(run.env)
        if dialogs is not None:
            env['QIRAVEL_NATIVEHOST_DIALOGS'] = dialogs
        self.stderr = open(run.root / 'host-stderr.txt', 'ab')
        self.process = subprocess.Popen([str(run.build / 'bin' / 'qiravel-nativehost'), 'chrome-extension://test/'],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr, env=env)
        self.frames = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        out = self.process.stdout
        while True:
            header = out.read(4)
            if len(header) < 4:
                self.frames.put(None if not header else b'<partial header>')
                return
            (length,) = struct.unpack('=I', header)
            self.frames.put(out.read(length))

    def send(self, *messages):
        for message in messages:
            self.process.stdin.write(message if isinstance(message, bytes) else frame(message))
        self.process.stdin.flush()

    def message(self):
        """The next message, its pieces joined; (message, number of frames it took)."""
        text, frames = '', 0
        while True:
            try:
                payload = self.frames.get(timeout=WAIT)
            except queue.Empty:
                raise Failure('no message from the host in time')
            check(payload is not None, 'the host ended its output')
            check(len(payload) <= LIMIT, 'a frame of %d bytes, over the browsers\' limit' % len(payload))
            message = json.loads(payload.decode('utf-8'))
            frames += 1
            if 'piece' not in message:
                check(frames == 1, 'a message inside a run of pieces')
                return message, 1
            text += message['piece']
            if message.get('last'):
                return json.loads(text), frames

    def call(self, message):
        """Sends one call; returns its result and the messages that came before it."""
        self.send(message)
        before = []
        while True:
            answer, frames = self.message()
            if 'result' in answer:
                return answer['result'], before
            before.append((answer, frames))

    def close(self):
        """Closes the host's input; its exit status and whatever it still wrote."""
        self.process.stdin.close()
        status = self.process.wait(timeout=WAIT)
        rest = []
        while True:
            payload = self.frames.get(timeout=WAIT)
            if payload is None:
                return status, rest
            rest.append(json.loads(payload))


def notifications(messages, code=None):
    texts = [json.loads(m['notify']) for m, _ in messages if 'notify' in m]
    return [n for n in texts if code is None or n.get('code') == code]


def scenario_session(run):
    """An allowed origin: a 1,000-file pick (1.4 MB) arrives in pieces before its result; an upload reaches the
    Assistant and its status comes back; closing the input ends the host, the upload goes on."""
    long_folder = 'F' * 250 + '/' + 'G' * 250
    big = run.folder('Big', {'%s/%04d-%s.txt' % (long_folder, i, 'n' * 180): 'x' for i in range(1000)})
    docs = run.folder('Docs', {'a.txt': 'first\n', 'Sub/b.txt': 'second\n'})
    run.origins('[Origins]\nallow=%s\n' % ORIGIN)
    host = Host(run, dialogs="--pick '%s' --pick '%s'" % (big, docs))

    response, before = host.call({'call': 'Initialize', 'origin': ORIGIN})
    check(json.loads(response) == {'version': '8.0.1x189', 'type': 'Response', 'code': 'Initialize',
                                   'support_dragdrop': False}, 'Initialize answered %r' % response)
    check(any('log' in m for m, _ in before), 'no log line before the Initialize result')

    result, before = host.call(request('SelectFilesToUpload'))
    added = notifications(before, 'FilesAddedToUploadList')
    check(result == 1 and len(added) == 1 and len(added[0]['files_ul']) == 1000,
          'the big pick gave %r with %d batches' % (result, len(added)))
    check(max(frames for m, frames in before if 'notify' in m) > 1, 'the 1,000-file batch came in one frame')

    check(host.call(request('Reset'))[0] == 1, 'Reset failed')
    result, before = host.call(request('SelectFilesToUpload'))
    check(result == 1 and len(notifications(before, 'FilesAddedToUploadList')[0]['files_ul']) == 2,
          'the small pick was not listed')
    result, before = host.call(request('StartUpload', url='http://127.0.0.1:9/upload'))
    check(result == 1, 'StartUpload answered %r' % result)
    seen = []
    while not any(n.get('code') == 'UploadComplete' for n in seen):
        seen += notifications([host.message()])
    check(any(n.get('code') == 'FilesDeletedFromUploadList' for n in seen), 'the sent files were not taken off')

    status, rest = host.close()
    check(status == 0 and not rest, 'the host ended with %r after %r' % (status, rest))
    check('StartUpload' in run.record.read_text(), 'the Assistant got no upload')


def scenario_denied(run):
    """A denied origin gets "failed", then 0 for every request, and nothing else."""
    run.origins('[Origins]\ndeny=%s;\n' % ORIGIN)
    docs = run.folder('Docs', {'a.txt': 'first\n'})
    host = Host(run, dialogs="--pick '%s'" % docs)
    host.send({'call': 'Initialize', 'origin': ORIGIN}, request('SelectFilesToUpload'),
              request('StartUpload'), {'call': 'Initialize', 'origin': ORIGIN})
    status, messages = host.close()
    check(status == 0, 'the host ended with %r' % status)
    check(messages == [{'result': 'failed'}, {'result': 0}, {'result': 0}, {'result': 'failed'}],
          'a denied origin got %r' % messages)
    check(not run.record.exists(), 'the Assistant was reached')


def scenario_ask(run):
    """An origin in no list is asked about once and remembered; without a display it is denied."""
    host = Host(run, dialogs='--confirm yes')
    response, _ = host.call({'call': 'Initialize', 'origin': ORIGIN})
    check(response != 'failed', 'an allowed origin got "failed"')
    host.close()
    check(ORIGIN in run.origins(), 'the answer was not remembered: %r' % run.origins())

    remembered = run.origins()
    for origin, expected in ((ORIGIN, True), ('https://other.example.org', False)):
        host = Host(run)  # no display, no dialog answers
        response, _ = host.call({'call': 'Initialize', 'origin': origin})
        check((response != 'failed') == expected, '%s got %r' % (origin, response))
        host.close()
    check(run.origins() == remembered, 'a question nobody saw changed the list')


def scenario_frames(run):
    """Frames that carry no call are skipped; a big frame arrives in many reads; a frame cut off by
    the end of input, or one announced over 64 MiB, ends the host with status 1."""
    run.origins('[Origins]\nallow=%s\n' % ORIGIN)
    host = Host(run)
    host.send(frame(b'\xff\xfe'), frame(b'[1,2]'), frame(b''))
    check(host.call({'call': 'Initialize', 'origin': ORIGIN})[0] != 'failed', 'Initialize failed')
    check(host.call(request('SetParameter', name='FileTransferLimit', value=5, pad='p' * (5 << 20)))[0] == 1,
          'a 5 MiB request was not answered')
    host.send(frame(request('Reset'))[:9])
    status, _ = host.close()
    check(status == 1, 'a frame cut off ended the host with %r' % status)

    host = Host(run)
    host.send(struct.pack('=I', (64 << 20) + 1))
    status = host.process.wait(timeout=WAIT)
    check(status == 1, 'an oversized frame ended the host with %r' % status)
    stderr = (run.root / 'host-stderr.txt').read_text(errors='replace')
    for line in ('is skipped: the message is not valid UTF-8', 'the input ended inside a frame',
                 'more than 67108864'):
        check(line in stderr, 'standard error does not say %r' % line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True)
    parser.add_argument('scenario', choices=['session', 'denied', 'ask', 'frames'])
    args = parser.parse_args()
    run = Run(args.build)
    try:
        globals()['scenario_' + args.scenario](run)
    except (Failure, subprocess.TimeoutExpired) as failure:
        print('FAIL %s: %s' % (args.scenario, failure))
        print((run.root / 'host-stderr.txt').read_text(errors='replace')[-4000:])
        print('(kept: %s)' % run.root)
        return 1
    shutil.rmtree(run.root, ignore_errors=True)
    print('PASS %s' % args.scenario)
    return 0


if __name__ == '__main__':
    sys.exit(main())
