#!/usr/bin/env python3
"""Runs one real-browser test: qiravel-browser in test mode on a page of tests/browser/pages,
with the test Assistant as its peer, on the X display of the caller (CTest runs it under
xvfb-run). The page checks what script sees and reports its verdict; this runner plays the user
(drags, keys) and the Assistant's late status events, and checks the plug-in's trace and system-log
lines on the browser's standard error.

usage: run_browser_test.py --build DIR [--no-sandbox] [--screenshot FILE] [--preload LIB] SCENARIO

With --preload (the ASan runtime of a sanitizer build) every process of the run loads LIB first, so
that WebKit's web processes can load the instrumented plug-in. Leak checks are then off: the
browser's own processes hold memory that WebKit and GTK never free, on stacks that pass through
the plug-in as much as anything.
"""

import queue
import re
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'support'))
from scenario import (BUNDLE, ROOT, WAIT, Failure, Sandbox, check, focus, main, stop,  # noqa: E402
                      wait_until, write_files, xdotool)

PAGES = Path(__file__).resolve().parent / 'pages'


class Run(Sandbox):
    """One browser run in a private home, data and runtime folder."""

    def __init__(self, build, sandbox, screenshot, preload=None):
        super().__init__('qv-browser-')
        self.build = Path(build)
        self.sandbox = sandbox
        self.screenshot = screenshot
        self.docs = self.home / 'Docs'
        write_files(self.home, {'Docs/a.txt': 'first file\n', 'Docs/Sub/b.txt': 'second file, one folder down\n',
                                'single.txt': 'one file\n', 'early.txt': 'dropped too early\n'})
        (self.home / 'Downloads').mkdir()
        self.record = self.root / 'requests.log'
        self.assistant_entry(self.build / 'tests' / 'assistant' / 'test_assistant', '--idle-seconds 30 --record',
                             self.record)
        if preload:
            self.env['LD_PRELOAD'] = preload
            self.env['ASAN_OPTIONS'] = ':'.join(
                [o for o in self.env.get('ASAN_OPTIONS', '').split(':') if o and not o.startswith('detect_leaks=')]
                + ['detect_leaks=0'])
        self.browser = None
        self.lines = queue.Queue()
        self.stdout = []
        self.stderr = []

    # The browser and what it says.

    def use_real_assistant(self):
        """Makes the desktop entry launch qiravel-assistant, uploading to a fresh outbox."""
        outbox = self.root / 'outbox'
        self.assistant_entry(self.build / 'Assistant' / 'qiravel-assistant', '--outbox', outbox)
        return outbox

    def start(self, page, query=None, dialogs=(), options=('--echo-system-log',)):
        script = self.root / 'dialogs.txt'
        script.write_text(''.join(line + '\n' for line in dialogs))
        url = (PAGES / page).as_uri() + ('?' + urllib.parse.urlencode(query) if query else '')
        command = [str(self.build / 'bin' / 'qiravel-browser'), '--test', '--timeout', '150',
                   '--geometry', '900x700+0+0', '--dialog-script', str(script)]
        if not self.sandbox:
            command.append('--no-sandbox')
        if self.screenshot:
            command += ['--screenshot', self.screenshot]
        self.browser = subprocess.Popen(command + list(options) + [url], env=self.env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, errors='replace')
        self.readers = [threading.Thread(target=self._read, args=stream, daemon=True)
                        for stream in ((self.browser.stdout, self.stdout, True), (self.browser.stderr, self.stderr, False))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, kept, announce):
        for line in stream:
            line = line.rstrip('\n')
            kept.append(line)
            if announce:
                self.lines.put(line)
        if announce:
            self.lines.put(None)

    def expect(self, pattern, timeout=WAIT):
        """The next line of the page's reports that matches pattern (a regular expression)."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise Failure('no line matching %r in time' % pattern)
            if line is None:
                raise Failure('the browser ended before a line matching %r' % pattern)
            if line.startswith('test: fail'):
                raise Failure('the page failed: ' + line)
            match = re.search(pattern, line)
            if match:
                return match

    def verdict(self, timeout=WAIT * 3):
        self.expect(r'^test: pass$', timeout)
        try:
            status = self.browser.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            raise Failure('the browser did not end after its verdict')
        if status != 0:
            raise Failure('the browser ended with %d after the page passed' % status)
        # Everything the browser wrote is read before the scenario looks at it.
        for reader in self.readers:
            reader.join(timeout=WAIT)

    def error_lines(self, text):
        return [line for line in self.stderr if text in line]

    def system_log(self, text):
        """The plug-in's system-log lines with text, as its echo (--echo-system-log) shows them."""
        return [line for line in self.stderr if line.startswith('syslog: ') and text in line]

    def trace(self, proc, suffix=''):
        """The plug-in view's trace lines of one method (with the given suffix)."""
        form = re.compile(r'^Plug-in: File=qvwebkitplugin\.cpp line=\d+ proc=%s %s$'
                          % (re.escape(proc), re.escape(suffix)))
        return [line for line in self.stderr if form.match(line)]

    # The Assistant and the processes of the local link.

    def requests(self):
        return self.record.read_text().splitlines() if self.record.exists() else []

    def refcons(self):
        return [int(re.search(r'navG=\d+:(\d+) ', line).group(1)) for line in self.requests()]

    def web_process_ports(self):
        return [path.name[:-len('.sock')] for path in (self.runtime / 'qiravel').glob('*.sock')
                if path.name[:-len('.sock')] not in self.assistants()]

    def send_status(self, refcon, text, targets):
        tool = self.build / 'tests' / 'browser' / 'send_status'
        subprocess.run([str(tool), str(refcon), text] + targets, env=self.env, check=True,
                       stdout=subprocess.DEVNULL, timeout=WAIT)

    # The user.

    def drag(self, items):
        """Drags the items (paths) from a drag source window onto the point the page gives next."""
        target = [int(a) for a in self.expect(r'^test: drag-target (\d+) (\d+)$').groups()]
        tool = self.build / 'tests' / 'browser' / 'drag_source'
        source = subprocess.Popen([str(tool), '1000', '50'] + [Path(item).as_uri() for item in items],
                                  env=self.env, stdout=subprocess.PIPE, text=True)
        try:
            if source.stdout.readline().strip() != 'ready':
                raise Failure('the drag source did not start')
            start = (1100, 150)
            xdotool('mousemove', '--sync', *start)
            xdotool('mousedown', '1')
            steps = 25
            for step in range(1, steps + 1):
                point = [round(a + (b - a) * step / steps) for a, b in zip(start, target)]
                xdotool('mousemove', '--sync', *point)
                time.sleep(0.04)
            # A few moves over the target, so that the page has answered the drag before the drop.
            for offset in (3, -3, 2, -2, 0):
                xdotool('mousemove', '--sync', target[0] + offset, target[1])
                time.sleep(0.1)
            xdotool('mouseup', '1')
            time.sleep(0.3)
        finally:
            stop(source)

    def press_key_in(self, key, *search):
        """Presses key in the first visible window that xdotool finds with search (its options),
        once it has been shown for a moment: acted on as it opened, a dialog sometimes closed by itself."""
        xdotool('search', '--sync', '--onlyvisible', *search)
        time.sleep(0.5)
        xdotool('key', '--window', focus(*search), key)

    # Checks common to every run, and the end.

    def play(self, case):
        """The case, then what no run may write on standard error."""
        case(self)
        for marker in ('ERROR: AddressSanitizer', 'runtime error:', 'ERROR: LeakSanitizer', 'CRITICAL **'):
            if self.error_lines(marker):
                raise Failure('standard error reports: ' + self.error_lines(marker)[0])

    def close(self, failed):
        stop(self.browser)
        if failed:
            print('--- browser standard output', file=sys.stderr)
            print('\n'.join(self.stdout), file=sys.stderr)
            print('--- browser standard error (last 120 lines)', file=sys.stderr)
            print('\n'.join(self.stderr[-120:]), file=sys.stderr)
            print('--- requests to the Assistant', file=sys.stderr)
            print('\n'.join(self.requests()), file=sys.stderr)
        super().close()


# Scenarios.

def interface(run):
    run.start('interface.html', {'file': run.home / 'single.txt'}, dialogs=['--confirm yes'] * 2)
    run.verdict()
    initialize = '-[QVWebKitPlugin Initialize:inLoggingCallback:]'
    # Two elements were used; the one met only by typeof got no view.
    check(len(run.trace('+[QVWebKitPlugin plugInViewWithArguments:]')) == 2, 'two views created')
    check(len(run.trace(initialize, 'No notification callback specified')) == 2, 'missing notification callbacks')
    check(len(run.trace(initialize, 'No logging callback specified')) == 2, 'missing logging callbacks')
    check(len(run.trace(initialize, "Notification callback = '[object Function]'")) == 2, 'notification callbacks')
    check(len(run.trace('-[QVWebKitPlugin ExecuteRequest:]')) == 14, 'ExecuteRequest trace lines')
    check(run.trace('+[QVWebKitPlugin isSelectorExcludedFromWebScript:]', "selector = 'NotifyBrowser:'"),
          'the view was asked about its other selectors')
    check('host: dialog alert Add 1 item(s) for sending?' in run.stdout, 'confirmation shown by the host')


def status(run):
    run.start('status.html', {'file': run.home / 'single.txt', 'other': run.docs / 'a.txt'},
              dialogs=['--confirm yes'] * 2)
    run.verdict()
    check('host: launch ' + BUNDLE in run.stdout, 'the host launched the Assistant')
    check(len(run.requests()) == 2, 'two requests reached the Assistant')


def pick(run):
    run.start('pick.html', {'docs': run.docs},
              dialogs=['--pick %s' % run.docs, '--download-folder %s' % (run.home / 'Downloads')])
    run.verdict()
    check('host: dialog panel Choose files and folders\u2026' in run.stdout, 'upload panel shown by the host')
    check('host: dialog panel Choose a folder' in run.stdout, 'download panel shown by the host')


def navigation(run):
    run.start('nav1.html', {'file': run.home / 'single.txt'}, dialogs=['--confirm yes'] * 3)
    run.expect(r'^test: nav1 leaving$')
    run.expect(r'^test: nav2 ready$')
    gone_a, gone_b, live = run.refcons()
    ports = run.web_process_ports()
    check(ports, 'a web process port')
    # Status events for the instances of the page that went are dropped; the live one still hears.
    for refcon in (gone_a, gone_b):
        run.send_status(refcon, '{"type":"Notification","code":"Ghost"}', ports)
    run.send_status(live, '{"type":"Notification","code":"Marker"}', ports)
    run.expect(r'^test: nav3 ready$')
    # The standard error is read on its own thread: wait for lines, never assume they are in.
    wait_until(lambda: len(run.trace('-[QVWebKitPlugin dealloc]')) == 3, 'every view deallocated')
    wait_until(lambda: len(run.system_log('Removed instance of plugin')) == 3, 'every instance unregistered')
    for refcon in (gone_a, gone_b):
        wait_until(lambda: run.system_log('Could not find plugin for refCon=%x' % refcon),
                   'event for %x dropped' % refcon)
    # With the last claim given up, no handler takes status events any more.
    run.send_status(live, '{"type":"Notification","code":"Late"}', run.web_process_ports())
    wait_until(lambda: run.system_log("Event 'Laso'/'assS' dropped: no handler"), 'the late event dropped')


def drop(run):
    run.start('drop.html', {'file': run.home / 'single.txt', 'docs': run.docs})
    run.drag([run.home / 'early.txt'])
    # Still on the page (the browser did not open the file): it hears the key.
    run.press_key_in('n', '--name', 'Qiravel Browser')
    run.drag([run.home / 'single.txt', run.docs])
    run.verdict()
    check(not [line for line in run.stdout if line.startswith('host: dialog')], 'no dialog for a drop')


def demo(run):
    """The demo page itself: a folder dropped, one row removed through the table, the rest
    uploaded by the real Assistant."""
    outbox = run.use_real_assistant()
    run.start(ROOT / 'demo' / 'index.html', {'walkthrough': 'drop'})
    run.drag([run.docs])
    run.expect(r'^test: dropped 2 files: 2 files, 40 bytes$')
    removed = run.expect(r'^test: removed (.+), left 1 file, (\d+) bytes$')
    run.verdict()
    kept = {'Docs/a.txt', 'Docs/Sub/b.txt'} - {removed.group(1)}
    check(len(kept) == 1, 'the removed row was one of the dropped files: ' + removed.group(1))
    check(int(removed.group(2)) == (run.home / next(iter(kept))).stat().st_size, 'the total after the removal')
    arrived = {str(path.relative_to(outbox)) for path in outbox.rglob('*') if path.is_file()}
    check(arrived == kept, 'the outbox holds only the kept file: %s' % sorted(arrived))
    for relative in kept:
        check((outbox / relative).read_bytes() == (run.home / relative).read_bytes(), relative + ' byte for byte')


def guide(run):
    """The page author's guide's own embedding and script examples, run as one page as written."""
    text = (ROOT / 'docs' / 'page-api.md').read_text()
    blocks = {kind: re.findall(r'^```%s\n(.*?)^```' % kind, text, re.M | re.S) for kind in ('html', 'js')}
    check(len(blocks['html']) == 1 and len(blocks['js']) == 1, 'one html and one js example in the guide')
    page = run.build.resolve() / 'tests' / 'browser' / 'guide-example.html'
    page.write_text('<!DOCTYPE html><html><head><meta charset="utf-8"><script src="%s"></script></head><body>\n'
                    '%s<script>\n'
                    'const notifications = [];\n'
                    'const handleNotification = (message) => notifications.push(message.code);\n'
                    'const showMessage = (text) => qv.report("fail: " + text);\n'
                    '%s'
                    'qv.equal(typeof response.version, "string", "the version in the response");\n'
                    'qv.equal(notifications, ["FilesAddedToUploadList"], "notifications of the pick");\n'
                    'qv.done();\n'
                    '</script></body></html>\n'
                    % ((PAGES / 'harness.js').as_uri(), blocks['html'][0], blocks['js'][0]))
    run.start(page, dialogs=['--pick %s' % run.docs])
    run.verdict()


def fallback(run):
    # The web process's own panel sometimes closes by itself within its first second under Xvfb
    # (its window is gone before the key reaches it; about one run in ten under the sanitizers):
    # such a run starts once more.
    for attempt in (1, 2):
        run.start('fallback.html', {'file': run.home / 'single.txt'}, options=['--plain-host', '--echo-system-log'])
        run.expect(r'^test: request during panel 0$')
        try:
            run.press_key_in('Escape', '--name', 'Choose files and folders')
            break
        except Failure as error:
            if attempt == 2 or 'BadWindow' not in str(error):
                raise
            print('fallback: the panel closed by itself (%s); starting again' % error, file=sys.stderr)
            stop(run.browser)
            for reader in run.readers:
                reader.join(10)
            run.lines = queue.Queue()
            del run.stdout[:], run.stderr[:]
    run.expect(r'^test: request during alert 0$')
    # The alert's default button, "Add Files".
    run.press_key_in('Return', '--classname', 'WebKitWebProcess')
    run.verdict()
    check(not [line for line in run.stdout if line.startswith('host:')], 'the host was asked nothing')
    check(not run.system_log(''), 'no settings reached the plug-in')


def errors(run):
    """What stops the browser is said in one line, with status 1; a bad command line gets the usage
    after its line, with status 2."""
    browser = str(run.build / 'bin' / 'qiravel-browser')
    cases = [
        ([browser, str(run.root / 'missing.html')], {}, 1, 'qiravel-browser: page not found: '),
        ([browser, str(PAGES / 'interface.html')], {'QIRAVEL_EXTENSIONS_DIR': str(run.root / 'none')}, 1,
         'qiravel-browser: the plug-in folder %s does not exist' % (run.root / 'none')),
        ([browser, '--dialog-script', str(run.root / 'none.txt'), str(PAGES / 'interface.html')], {}, 1,
         'qiravel-browser: cannot read the dialog script: '),
        ([browser, '--timeout'], {}, 2, 'qiravel-browser: --timeout needs a value\nusage:'),
    ]
    for command, extra, status, said in cases:
        ended = subprocess.run(command, env=dict(run.env, **extra), capture_output=True, text=True, timeout=WAIT)
        check(ended.returncode == status and ended.stderr.startswith(said) and
              (status == 2 or len(ended.stderr.splitlines()) == 1),
              'for %s: status %d, %r' % (command[1:], ended.returncode, ended.stderr))


SCENARIOS = {f.__name__: f for f in (interface, status, pick, navigation, drop, demo, guide, fallback, errors)}

if __name__ == '__main__':
    sys.exit(main(SCENARIOS, lambda a: Run(a.build, not a.no_sandbox, a.screenshot, a.preload),
                  'Runs one real-browser test.',
                  [(['--no-sandbox'], dict(action='store_true', help='run the web processes without their sandbox')),
                   (['--screenshot'], dict(help='save a PNG of the page at its verdict')),
                   (['--preload'], dict(help='a library every process of the run loads first'))]))
