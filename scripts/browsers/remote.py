"""Small clients of the browsers' own remote protocols, standard library only: Chromium's DevTools
protocol over --remote-debugging-pipe and Firefox's Marionette. Both offer the same few verbs:
open a tab on a URL, evaluate a script expression there (awaiting a Promise), close the tab."""

import json
import os
import socket
import subprocess
import threading
import time
from pathlib import Path

CHROMIUM = '/usr/lib/chromium/chromium'
FIREFOX = '/usr/bin/firefox-esr'
# What this closed network needs: nothing reaches out on its own.
CHROMIUM_FLAGS = ['--disable-background-networking', '--disable-component-update', '--disable-sync',
                  '--no-first-run', '--disable-quic', '--no-default-browser-check', '--password-store=basic',
                  '--disable-features=Translate,MediaRouter', '--window-size=1000,800', '--window-position=0,0']
FIREFOX_PREFS = {
    'xpinstall.signatures.required': False,
    'extensions.autoDisableScopes': 0,
    'extensions.enabledScopes': 15,
    'extensions.originControls.grantByDefault': True,
    'browser.shell.checkDefaultBrowser': False,
    'browser.startup.homepage_override.mstone': 'ignore',
    'browser.aboutwelcome.enabled': False,
    'datareporting.policy.dataSubmissionEnabled': False,
    'toolkit.telemetry.reportingpolicy.firstRun': False,
    'app.update.auto': False, 'app.update.enabled': False,
    'app.normandy.enabled': False, 'browser.discovery.enabled': False,
    'extensions.getAddons.cache.enabled': False, 'extensions.update.enabled': False,
    'network.captive-portal-service.enabled': False, 'network.connectivity-service.enabled': False,
    'browser.safebrowsing.malware.enabled': False, 'browser.safebrowsing.phishing.enabled': False,
    'browser.safebrowsing.downloads.enabled': False, 'browser.newtabpage.enabled': False,
    'browser.tabs.warnOnClose': False, 'browser.sessionstore.resume_from_crash': False,
    'network.proxy.type': 0, 'remote.prefs.recommended': True,
}


class RemoteError(Exception):
    pass


def chromium_command(profile, extension, sandbox=True):
    return [CHROMIUM, '--user-data-dir=%s' % profile, '--load-extension=%s' % extension,
            '--disable-extensions-except=%s' % extension] + CHROMIUM_FLAGS + ([] if sandbox else ['--no-sandbox'])


def firefox_profile(profile, xpi, marionette=False):
    """A fresh profile that runs the unsigned extension package xpi without asking."""
    (profile / 'extensions').mkdir(parents=True, exist_ok=True)
    target = profile / 'extensions' / Path(xpi).name
    target.write_bytes(Path(xpi).read_bytes())
    prefs = dict(FIREFOX_PREFS)
    if marionette:
        prefs['marionette.port'] = 0
    (profile / 'user.js').write_text(''.join('user_pref(%s, %s);\n' % (json.dumps(k), json.dumps(v))
                                             for k, v in prefs.items()))


class Chromium:
    """Chromium driven over the DevTools pipe (fd 3 in, fd 4 out, messages ended by NUL)."""

    def __init__(self, profile, extension, env, user=None, log=None, sandbox=True):
        to_browser, self._write = os.pipe()
        self._read, from_browser = os.pipe()

        def pipes():
            os.dup2(to_browser, 3)
            os.dup2(from_browser, 4)
        self.process = subprocess.Popen(chromium_command(profile, extension, sandbox) + ['--remote-debugging-pipe', 'about:blank'],
                                        env=env, preexec_fn=pipes, pass_fds=(3, 4), stdout=log, stderr=log, **(user or {}))
        os.close(to_browser)
        os.close(from_browser)
        self._next = 0
        self._answers = {}
        self._lock = threading.Condition()
        threading.Thread(target=self._reader, daemon=True).start()
        self._sessions = {}

    def _reader(self):
        buffer = b''
        with os.fdopen(self._read, 'rb', buffering=0) as stream:
            while True:
                chunk = stream.read(1 << 16)
                if not chunk:
                    break
                buffer += chunk
                while b'\0' in buffer:
                    text, buffer = buffer.split(b'\0', 1)
                    message = json.loads(text)
                    if 'id' in message:
                        with self._lock:
                            self._answers[message['id']] = message
                            self._lock.notify_all()
        with self._lock:
            self._answers[None] = True
            self._lock.notify_all()

    def send(self, method, params=None, session=None, timeout=120):
        with self._lock:
            self._next += 1
            ident = self._next
        message = {'id': ident, 'method': method, 'params': params or {}}
        if session:
            message['sessionId'] = session
        os.write(self._write, json.dumps(message).encode() + b'\0')
        deadline = time.monotonic() + timeout
        with self._lock:
            while ident not in self._answers:
                if None in self._answers:
                    raise RemoteError('the browser ended during ' + method)
                if not self._lock.wait(max(0, deadline - time.monotonic())):
                    raise RemoteError('no answer to %s in time' % method)
            answer = self._answers.pop(ident)
        if 'error' in answer:
            raise RemoteError('%s: %s' % (method, answer['error'].get('message')))
        return answer['result']

    def open(self, url):
        target = self.send('Target.createTarget', {'url': url})['targetId']
        self._sessions[target] = self.send('Target.attachToTarget', {'targetId': target, 'flatten': True})['sessionId']
        self._loaded(target, url)
        return target

    def navigate(self, tab, url):
        self.send('Page.navigate', {'url': url}, self._sessions[tab])
        self._loaded(tab, url)

    def _loaded(self, tab, url, timeout=60):
        deadline = time.monotonic() + timeout
        while not self.evaluate(tab, 'location.href === %s && document.readyState === "complete"' % json.dumps(url)):
            if time.monotonic() > deadline:
                raise RemoteError('%s did not load' % url)
            time.sleep(0.05)

    def evaluate(self, tab, expression, timeout=120):
        result = self.send('Runtime.evaluate', {'expression': expression, 'awaitPromise': True, 'returnByValue': True,
                                                'userGesture': True}, self._sessions[tab], timeout)
        if 'exceptionDetails' in result:
            details = result['exceptionDetails']
            raise RemoteError('script: ' + details.get('exception', {}).get('description', details.get('text', '')))
        return result['result'].get('value')

    def close(self, tab):
        self.send('Target.closeTarget', {'targetId': tab})

    def quit(self):
        try:
            self.send('Browser.close', timeout=10)
        except (RemoteError, OSError):
            pass
        _end(self.process)


class Firefox:
    """Firefox ESR driven over Marionette, on the port it writes into the profile."""

    def __init__(self, profile, xpi, env, user=None, log=None):
        firefox_profile(profile, xpi, marionette=True)
        if user:
            subprocess.run(['chown', '-R', '%d:%d' % (user['user'], user['group']), str(profile)], check=True)
        self.process = subprocess.Popen([FIREFOX, '--marionette', '--no-remote', '--profile', str(profile),
                                         'about:blank'], env=env, stdout=log, stderr=log, **(user or {}))
        port_file = profile / 'MarionetteActivePort'
        deadline = time.monotonic() + 60
        while not port_file.exists() or not port_file.read_text().strip():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RemoteError('Firefox did not open Marionette')
            time.sleep(0.1)
        self._socket = socket.create_connection(('127.0.0.1', int(port_file.read_text())), timeout=600)
        self._buffer = b''
        self._next = 0
        self._receive()
        self.send('WebDriver:NewSession', {'capabilities': {'alwaysMatch': {'timeouts': {'script': 600000}}}})
        self._current = self.send('WebDriver:GetWindowHandle')['value']
        self._first = True

    def _receive(self):
        while b':' not in self._buffer:
            self._buffer += self._recv()
        length, rest = self._buffer.split(b':', 1)
        while len(rest) < int(length):
            rest += self._recv()
        self._buffer = rest[int(length):]
        return json.loads(rest[:int(length)])

    def _recv(self):
        chunk = self._socket.recv(1 << 16)
        if not chunk:
            raise RemoteError('Marionette closed its connection')
        return chunk

    def send(self, command, params=None):
        self._next += 1
        data = json.dumps([0, self._next, command, params or {}]).encode()
        self._socket.sendall(b'%d:%s' % (len(data), data))
        while True:
            answer = self._receive()
            if answer[0] == 1 and answer[1] == self._next:
                break
        if answer[2]:
            raise RemoteError('%s: %s' % (command, answer[2].get('message') or answer[2].get('error')))
        return answer[3]

    def _switch(self, tab):
        if tab != self._current:
            self.send('WebDriver:SwitchToWindow', {'handle': tab})
            self._current = tab

    def open(self, url):
        if self._first:
            self._first = False
            tab = self._current
        else:
            tab = self.send('WebDriver:NewWindow', {'type': 'tab'})['handle']
        self._switch(tab)
        self.send('WebDriver:Navigate', {'url': url})
        return tab

    def navigate(self, tab, url):
        self._switch(tab)
        self.send('WebDriver:Navigate', {'url': url})

    def evaluate(self, tab, expression, timeout=120):
        self._switch(tab)
        script = ('const done = arguments[arguments.length - 1];\n'
                  'Promise.resolve().then(() => (%s)).then(value => done({value}),\n'
                  '    error => done({error: String(error && error.stack || error)}));' % expression)
        answer = self.send('WebDriver:ExecuteAsyncScript', {'script': script, 'args': []})['value']
        if 'error' in answer:
            raise RemoteError('script: ' + answer['error'])
        return answer.get('value')

    def close(self, tab):
        self._switch(tab)
        handles = self.send('WebDriver:CloseWindow')
        self._current = None
        if handles:
            self._switch(handles[0])

    def quit(self):
        try:
            self.send('Marionette:Quit', {'flags': ['eForceQuit']})
        except (RemoteError, OSError):
            pass
        _end(self.process)


def _end(process):
    try:
        process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


BROWSERS = {'chromium': Chromium, 'firefox': Firefox}
