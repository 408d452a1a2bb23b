#!/usr/bin/env python3
"""Runs the built qiravel-nativehost over pipes as a browser does (native messaging frames on its
standard input and output), with the test Assistant as its peer, in private folders.

usage: run_nativehost_test.py --build DIR SCENARIO
"""

import json, queue, struct, subprocess, sys, threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'support'))
from scenario import Sandbox, check, main, write_files  # noqa: E402

ORIGIN = 'https://example.org'
WAIT = 30


def frame(payload):
    payload = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
    return struct.pack('=I', len(payload)) + payload


def request(code, **members):
    return {'call': 'ExecuteRequest', 'request': json.dumps(dict(type='Request', code=code, **members))}


INITIALIZE = {'call': 'Initialize', 'origin': ORIGIN}


class Run(Sandbox):
    """The sandbox without a display; its desktop entry starts the test Assistant."""

    def __init__(self, build):
        super().__init__('qv-nativehost-')
        self.build, self.record = Path(build), self.root / 'requests.log'
        self.assistant_entry(self.build / 'tests' / 'assistant' / 'test_assistant', '--idle-seconds 20 --record',
                             self.record)
        for name in ('DISPLAY', 'WAYLAND_DISPLAY'):
            self.env.pop(name, None)
        self.origins_file = self.config / 'qiravel' / 'origins.conf'

    def origins(self, text):
        write_files(self.config / 'qiravel', {'origins.conf': text})

    def folder(self, name, files):
        return write_files(self.home / name, {relative: 'x' for relative in files})

    def close(self, failed):
        if failed and (self.root / 'stderr.txt').exists():
            print((self.root / 'stderr.txt').read_text(errors='replace')[-4000:], file=sys.stderr)
        super().close()


class Host:
    """One host process. Its messages, pieces joined, queue up as (message, frames it took)."""

    def __init__(self, run, dialogs=None):
        env = dict(run.env, **({'QIRAVEL_NATIVEHOST_DIALOGS': dialogs} if dialogs is not None else {}))
        self.process = subprocess.Popen([str(run.build / 'bin' / 'qiravel-nativehost'), 'chrome-extension://x/'],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                        stderr=open(run.root / 'stderr.txt', 'ab'))
        self.messages = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        pieces = []
        while len(header := self.process.stdout.read(4)) == 4:
            payload = self.process.stdout.read(struct.unpack('=I', header)[0])
            check(len(payload) <= 1 << 20, 'a frame of %d bytes' % len(payload))
            message = json.loads(payload)
            if 'piece' not in message:
                check(not pieces, 'a message inside a run of pieces')
                self.messages.put((message, 1))
            elif pieces.append(message['piece']) or message.get('last'):
                self.messages.put((json.loads(''.join(pieces)), len(pieces)))
                pieces = []
        self.messages.put((None, 0))

    def send(self, *messages):
        self.process.stdin.write(b''.join(m if isinstance(m, bytes) else frame(m) for m in messages))
        self.process.stdin.flush()

    def message(self):
        message, frames = self.messages.get(timeout=WAIT)
        check(message is not None, 'the host ended its output')
        return message, frames

    def call(self, message):
        """Sends one call; its result and the messages that came before it."""
        self.send(message)
        before = [self.message()]
        while 'result' not in before[-1][0]:
            before.append(self.message())
        return before[-1][0]['result'], before[:-1]

    def close(self):
        """Closes the host's input; its exit status and the messages it still wrote."""
        self.process.stdin.close()
        status = self.process.wait(timeout=WAIT)
        rest = iter(lambda: self.messages.get(timeout=WAIT)[0], None)
        return status, list(rest)


def notifications(messages, code):
    return [n for n in (json.loads(m['notify']) for m, _ in messages if 'notify' in m) if n.get('code') == code]


def session(run):
    """Allowed origin: a 1,000-file pick (1.4 MB) arrives in pieces before its result; an upload
    reaches the Assistant and its status comes back; closing the input ends the host."""
    long_folder = 'F' * 250 + '/' + 'G' * 250
    big = run.folder('Big', ['%s/%04d-%s.txt' % (long_folder, i, 'n' * 180) for i in range(1000)])
    docs = run.folder('Docs', ['a.txt', 'Sub/b.txt'])
    run.origins('[Origins]\nallow=%s\n' % ORIGIN)
    host = Host(run, dialogs="--pick '%s' --pick '%s'" % (big, docs))
    response, before = host.call(INITIALIZE)
    check(json.loads(response) == {'version': '8.0.1x189', 'type': 'Response', 'code': 'Initialize',
                                   'support_dragdrop': False}, 'Initialize answered %r' % response)
    check(any('log' in m for m, _ in before), 'no log line before the Initialize result')

    result, before = host.call(request('SelectFilesToUpload'))
    added = notifications(before, 'FilesAddedToUploadList')
    check(result == 1 and [len(n['files_ul']) for n in added] == [1000], 'the big pick gave %r' % result)
    check(max(frames for m, frames in before if 'notify' in m) > 1, 'the 1,000-file batch came in one frame')
    check(host.call(request('Reset'))[0] == 1, 'Reset failed')
    result, before = host.call(request('SelectFilesToUpload'))
    check(result == 1 and len(notifications(before, 'FilesAddedToUploadList')[0]['files_ul']) == 2,
          'the small pick was not listed')
    check(host.call(request('StartUpload', url='http://127.0.0.1:9/upload'))[0] == 1, 'StartUpload failed')
    seen = []
    while not notifications(seen, 'UploadComplete'):
        seen.append(host.message())
    check(notifications(seen, 'FilesDeletedFromUploadList'), 'the sent files were not taken off')
    check(host.close() == (0, []), 'the host did not end cleanly')
    check('StartUpload' in run.record.read_text(), 'the Assistant got no upload')


def denied(run):
    """A denied origin gets "failed", then 0 for every request, and nothing else."""
    run.origins('[Origins]\ndeny=%s;\n' % ORIGIN)
    host = Host(run, dialogs="--pick '%s'" % run.folder('Docs', ['a.txt']))
    host.send(INITIALIZE, request('SelectFilesToUpload'), request('StartUpload'), INITIALIZE)
    status, messages = host.close()
    check(status == 0 and messages == [{'result': r} for r in ('failed', 0, 0, 'failed')],
          'a denied origin got %r' % messages)
    check(not run.record.exists(), 'the Assistant was reached')


def ask(run):
    """An origin in no list is asked about and remembered; without a display it is denied."""
    host = Host(run, dialogs='--confirm yes')
    check(host.call(INITIALIZE)[0] != 'failed', 'an allowed origin got "failed"')
    host.close()
    remembered = run.origins_file.read_text()
    check(ORIGIN in remembered, 'the answer was not remembered: %r' % remembered)
    for origin, allowed in ((ORIGIN, True), ('https://other.example.org', False)):
        host = Host(run)  # no display, no dialog answers
        check((host.call({'call': 'Initialize', 'origin': origin})[0] != 'failed') == allowed, origin)
        host.close()
    check(run.origins_file.read_text() == remembered, 'a question nobody saw changed the list')


def frames(run):
    """Frames that carry no call are skipped; a big frame arrives in many reads; a frame cut off by
    the end of input, or one announced over 64 MiB, ends the host with status 1."""
    run.origins('[Origins]\nallow=%s\n' % ORIGIN)
    host = Host(run)
    host.send(frame(b'\xff\xfe'), frame(b'[1,2]'), frame(b''))
    check(host.call(INITIALIZE)[0] != 'failed', 'Initialize failed')
    check(host.call(request('SetParameter', name='FileTransferLimit', value=5, pad='p' * (5 << 20)))[0] == 1,
          'a 5 MiB request was not answered')
    host.send(frame(request('Reset'))[:9])
    check(host.close()[0] == 1, 'a frame cut off ended the host with status 0')
    host = Host(run)
    host.send(struct.pack('=I', (64 << 20) + 1))
    check(host.process.wait(timeout=WAIT) == 1, 'an oversized frame ended the host with status 0')
    stderr = (run.root / 'stderr.txt').read_text(errors='replace')
    for line in ('skipped: the message is not valid UTF-8', 'ended inside a frame', 'more than 67108864'):
        check(line in stderr, 'standard error does not say %r' % line)


if __name__ == '__main__':
    sys.exit(main({f.__name__: f for f in (session, denied, ask, frames)}, lambda a: Run(a.build),
                  'Runs the native host over pipes as a browser does.'))
