#!/usr/bin/env python3
"""Runs one case of the extension's table in Chromium or Firefox ESR: the browser with the
extension in a fresh profile, the real native host and the real Assistant, pages served on
127.0.0.1, all in a private home on the X display of the caller (CTest runs it under xvfb-run).
As root, the browser runs as the unprivileged user qiravel-test (made here when missing), so that
Chromium's sandbox stays on.

usage: run_extension_test.py --build DIR --browser chromium|firefox CASE
"""

import json
import re
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'support'))
from scenario import ROOT, Sandbox, check, focus, main, pids, wait_until, write_files, xdotool  # noqa: E402
sys.path.insert(0, str(ROOT / 'scripts' / 'browsers'))
import remote  # noqa: E402
import session  # noqa: E402

USER = 'qiravel-test'
PAGES = '/tests/extension/pages/'
BIG_FILES = 1000


class Run(Sandbox):
    """The run's home (with Docs/a.txt and Docs/Sub/b.txt), its Assistant and its browser."""

    def __init__(self, build, browser):
        base = {'PATH': '/usr/bin:/bin', 'DISPLAY': os.environ.get('DISPLAY', ''), 'LANG': 'C.UTF-8'}
        if os.environ.get('XAUTHORITY'):
            base['XAUTHORITY'] = os.environ['XAUTHORITY']
        super().__init__('qv-ext-', base)
        self.build = Path(build).resolve()
        if os.geteuid() == 0:
            if subprocess.run(['id', USER], capture_output=True).returncode != 0:
                subprocess.run(['useradd', '--system', '--create-home', '--home-dir', '/var/lib/' + USER,
                               '--shell', '/usr/sbin/nologin', USER], check=True)
            self.build = self.reachable_build()
        self.docs = write_files(self.home / 'Docs', {'a.txt': 'first file\n',
                                                     'Sub/b.txt': 'second file, one folder down\n'})
        self.outbox = self.root / 'outbox'
        self.assistant_entry(self.build / 'Assistant' / 'qiravel-assistant', '--outbox', self.outbox)
        self.site = self.root / 'site'
        self.site.mkdir()
        for part in ('demo', 'tests'):
            (self.site / part).symlink_to(ROOT / part)
        self.server = session.serve(self.site)
        port = self.server.server_address[1]
        self.origin = 'http://127.0.0.1:%d' % port
        self.denied = 'http://localhost:%d' % port
        session.write_origins(self.config, allow=[self.origin], deny=[self.denied])
        self.host = self.build / 'bin' / 'qiravel-nativehost'
        self.session = session.Session(browser, self.build, self.root, self.env, self.host, USER)
        self.log = open(self.root / 'browser.log', 'w')
        self.browser = None

    def reachable_build(self):
        """The build folder, or a copy of what the browser's user runs from it when that user cannot
        reach it (a checkout below a private home, say)."""
        host = self.build / 'bin' / 'qiravel-nativehost'
        if subprocess.run(['runuser', '-u', USER, '--', 'test', '-x', str(host)]).returncode == 0:
            return self.build
        copy = self.root / 'build'
        (copy / 'bin').mkdir(parents=True)
        (copy / 'Assistant').mkdir()
        shutil.copy2(host, copy / 'bin')
        shutil.copy2(self.build / 'Assistant' / 'qiravel-assistant', copy / 'Assistant')
        shutil.copytree(self.build / 'extension', copy / 'extension')
        return copy

    def play(self, case):
        """Answers the host's dialogs as the case's row says, and plays it on the started browser."""
        function, dialogs = case
        if dialogs is not None:
            big = make_big(self) if '{big}' in dialogs else ''
            self.session.env['QIRAVEL_NATIVEHOST_DIALOGS'] = dialogs.format(docs="'%s'" % self.docs,
                                                                            big="'%s'" % big)
        self.browser = self.session.start(self.log)
        function(self, self.browser)

    def page(self, name, origin=None, query=''):
        return (origin or self.origin) + PAGES + name + query

    def js(self, tab, expression, timeout=120):
        return self.browser.evaluate(tab, expression, timeout)

    def hosts(self):
        """The pids of this run's native hosts."""
        return pids(self.host, 'XDG_RUNTIME_DIR=%s' % self.runtime)

    def close(self, failed):
        if self.browser:
            self.browser.quit()
        self.server.shutdown()
        self.log.close()
        if failed:
            print('--- browser log (last 80 lines)', file=sys.stderr)
            print(''.join((self.root / 'browser.log').read_text(errors='replace').splitlines(True)[-80:]),
                  file=sys.stderr)
        super().close()


def same_tree(one, other):
    files = sorted(p.relative_to(one) for p in one.rglob('*') if p.is_file())
    return files and files == sorted(p.relative_to(other) for p in other.rglob('*') if p.is_file()) and \
        all((one / f).read_bytes() == (other / f).read_bytes() for f in files)


def picked(run, browser, count=1):
    """count tabs of plugin.html, each started and with its pick made."""
    tabs = [browser.open(run.page('plugin.html')) for _ in range(count)]
    for tab in tabs:
        run.js(tab, 'start()')
        check(run.js(tab, 'request("SelectFilesToUpload")') == 1, 'the pick answers 1')
    return tabs


# The cases. Each gets the run and its started browser; a Failure says what went wrong.

def initialize(run, browser):
    tab = browser.open(run.page('plugin.html'))
    check(run.js(tab, 'request("Reset")') == 0, 'a request before Initialize answers 0')
    response = json.loads(run.js(tab, 'start()'))
    check(response['code'] == 'Initialize' and response['type'] == 'Response' and
          response['support_dragdrop'] is False and isinstance(response['version'], str), response)
    check(run.js(tab, 'request("SetParameter", {name: "Colour"})') == 0, 'an unknown parameter answers 0')
    levels = run.js(tab, 'logs.map(text => JSON.parse(text).code)')
    check('ERROR' in levels, 'the failed request logged an error: %s' % levels)
    check(run.js(tab, 'thisValues.every(value => value === 0)'), 'callbacks called with this 0')


def gtk_pick(run, browser):
    tab = browser.open(run.page('plugin.html'))
    run.js(tab, 'start().then(() => { window.pick = request("SelectFilesToUpload"); })')
    focus('--name', 'Choose files and folders')
    time.sleep(0.5)
    xdotool('key', 'ctrl+l')
    time.sleep(0.5)
    xdotool('type', '--delay', '20', str(run.docs / 'a.txt'))
    time.sleep(0.5)
    xdotool('key', 'Return')
    check(run.js(tab, 'pick') == 1, 'the pick answers 1')
    added = json.loads(run.js(tab, 'notes[0]'))
    check([e['file_path'] for e in added['files_ul']] == [str(run.docs / 'a.txt')], added)


def order(run, browser):
    tab = browser.open(run.page('plugin.html'))
    outcome = run.js(tab, '''start().then(() => {
        const done = [];
        let inner;
        notes.length = 0;
        plugin.Initialize(text => { notes.push(text); inner = inner || request("Reset").then(r => done.push("inner " + r)); });
        return request("SelectFilesToUpload").then(r => { done.push("outer " + r + " after " + notes.length); return inner; })
            .then(() => done);
    })''')
    check(outcome == ['outer 1 after 1', 'inner 1'], outcome)


def big_notification(run, browser):
    tab, = picked(run, browser)
    sizes = run.js(tab, 'notes.map(text => [text.length, JSON.parse(text).files_ul.length])')
    check(sizes and sizes[0][0] > 1048576 and sizes[0][1] == BIG_FILES, 'a notification over 1 MiB: %s' % sizes)


def two_tabs(run, browser):
    tabs = picked(run, browser, 2)
    removal = {'files_ul': [{'file_path': str(run.docs / 'a.txt'), 'relative_path': 'Docs/', 'size': 11.0}]}
    for tab in tabs:
        check(run.js(tab, 'request("DeleteFilesFromUploadList", %s)' % json.dumps(removal)) == 1,
              'each tab removes the file from its own list')
    for tab in tabs:
        counts = run.js(tab, 'notes.map(text => JSON.parse(text).files_ul.length)')
        check(counts == [2, 1], 'each tab its own list: %s' % counts)


def closed_tab(run, browser):
    keep = browser.open(run.page('plugin.html'))
    tab, = picked(run, browser)
    check(run.js(tab, 'request("StartUpload", {job: "gone"})') == 1, 'the upload was handed over')
    check(len(run.hosts()) == 1, 'one host for the tab')
    browser.close(tab)
    wait_until(lambda: not run.hosts() and same_tree(run.docs, run.outbox / 'Docs'),
               'host gone and Docs in the outbox', 30, 0.2)
    check(run.js(keep, 'document.title') == 'plug-in', 'the other tab lives on')


def status(run, browser):
    tabs = picked(run, browser, 2)
    check(run.js(tabs[0], 'request("StartUpload", {job: "first"})') == 1, 'the upload was handed over')
    wait_until(lambda: run.js(tabs[0], 'codes().includes("TransferComplete")'), 'the uploading tab hears the end',
               step=0.1)
    jobs = run.js(tabs[0], 'notes.map(text => JSON.parse(text)).filter(m => m.job).map(m => m.job)')
    check(set(jobs) == {'first'}, jobs)
    time.sleep(1)
    check(run.js(tabs[1], 'codes()') == ['FilesAddedToUploadList'], 'the other tab heard nothing of it')


def forged(run, browser):
    tab = browser.open(run.page('forge.html', query='?frame=' + run.page('forge-frame.html', run.denied)))
    run.js(tab, 'ready', 30)
    response = run.js(tab, 'plugin.Initialize(text => notes.push(text))')
    check(json.loads(response)['code'] == 'Initialize', 'the page reaches its element')
    check(run.js(tab, 'plugin.ExecuteRequest(JSON.stringify({type: "Request", code: "SelectFilesToUpload"}))') == 1,
          'the pick answers 1')
    codes = run.js(tab, 'notes.map(text => JSON.parse(text).code)')
    check(codes == ['FilesAddedToUploadList'] and len(json.loads(run.js(tab, 'notes[0]'))['files_ul']) == 2,
          'the forged limit did not apply: %s' % codes)
    check(run.js(tab, 'forgedAnswers.length') == 0, 'no answer went to a forged channel')


def denied(run, browser):
    tab = browser.open(run.page('plugin.html', run.denied))
    check(run.js(tab, 'start()') == 'failed', 'a denied origin gets "failed"')
    check(run.js(tab, 'request("Reset")') == 0, 'and 0 for its requests')
    check(run.js(tab, 'notes.length + logs.length') == 0, 'and nothing else')


def demo(run, browser):
    import demo as demo_driver
    check(demo_driver.walk_through(browser, run.origin + '/demo/index.html?walkthrough', 240), 'the walk-through')
    check(same_tree(run.docs, run.outbox / 'Docs'), 'Docs arrived byte for byte')


def guide(run, browser):
    """The guide's example for Chromium and Firefox, as written, on its embedding example."""
    text = (ROOT / 'docs' / 'page-api.md').read_text()
    html = re.findall(r'^```html\n(.*?)^```', text, re.M | re.S)
    script = re.findall(r'^```javascript\n(.*?)^```', text, re.M | re.S)
    check(len(html) == 1 and len(script) == 1, 'one html and one javascript example in the guide')
    (run.site / 'guide.html').write_text(
        '<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>\n%s<script>\n'
        'const notifications = [], messages = [];\n'
        'const handleNotification = message => notifications.push(message.code);\n'
        'const showMessage = text => messages.push(text);\n'
        'window.example = (async () => {\n%s\nreturn [typeof response.version, notifications, messages];\n})();\n'
        '</script></body></html>\n' % (html[0], script[0]))
    tab = browser.open(run.origin + '/guide.html')
    outcome = run.js(tab, 'example')
    check(outcome == ['string', ['FilesAddedToUploadList'], []], outcome)


def make_big(run):
    """A folder whose 1,000 files, with long paths, make one notification of about 1.4 MB."""
    folder = '/'.join(letter * 200 for letter in 'abc')
    return write_files(run.home / 'Big', {'%s/%04d%s' % (folder, i, 'f' * 200): 'x' for i in range(BIG_FILES)})


# case: (function, answers of the host's dialogs, or None for the real GTK dialogs)
CASES = {
    'initialize': (initialize, ''),
    'gtk-pick': (gtk_pick, None),
    'order': (order, '--pick {docs}'),
    'big-notification': (big_notification, '--pick {big}'),
    'two-tabs': (two_tabs, '--pick {docs}'),
    'closed-tab': (closed_tab, '--pick {docs}'),
    'status': (status, '--pick {docs}'),
    'forged': (forged, '--pick {docs}'),
    'denied': (denied, ''),
    'demo': (demo, '--pick {docs} --pick {docs}'),
    'guide': (guide, '--pick {docs}'),
}


if __name__ == '__main__':
    sys.exit(main(CASES, lambda a: Run(a.build, a.browser), 'Runs one case of the extension tests.',
                  [(['--browser'], dict(choices=sorted(remote.BROWSERS), required=True))], [remote.RemoteError]))
