"""One run of Chromium or Firefox ESR with the extension loaded in a fresh profile, the native host
registered for it, the page's origin allowed, and pages served on 127.0.0.1. Used by scripts/demo,
the browser tests and the benchmarks.

A browser runs as the given unprivileged user when the caller is root (Chromium's sandbox refuses
root), with that user owning the run's folder."""

import functools
import http.server
import json
import os
import pwd
import shutil
import subprocess
import threading
from pathlib import Path

import remote

HOST_NAME = 'com.qiravel.webclient'
CHROMIUM_ID = 'edfgcjafookijoefcjjoeahaiapepolh'
FIREFOX_ID = 'webclient@qiravel.com'


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


def serve(folder):
    """Serves folder on 127.0.0.1 on a free port, in a thread; returns the server."""
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), functools.partial(QuietHandler, directory=str(folder)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def write_origins(config, allow=(), deny=()):
    folder = Path(config) / 'qiravel'
    folder.mkdir(parents=True, exist_ok=True)
    (folder / 'origins.conf').write_text('[Origins]\nallow=%s\ndeny=%s\n' % (';'.join(allow), ';'.join(deny)))


class Session:
    def __init__(self, browser, build, root, env, host, user=None):
        """browser: 'chromium' or 'firefox'; root: the run's folder (its home is root/home);
        env: the environment of the browser and so of the host; host: the native host program."""
        self.browser = browser
        self.build = Path(build)
        self.root = Path(root)
        self.home = self.root / 'home'
        self.profile = self.home / 'profile'
        self.env = dict(env, HOME=str(self.home))
        self.user = None
        if os.geteuid() == 0 and user:
            entry = pwd.getpwnam(user)
            self.user = {'user': entry.pw_uid, 'group': entry.pw_gid, 'extra_groups': []}
        self.no_sandbox = os.geteuid() == 0 and not self.user
        self.register(host)

    def register(self, host):
        if self.browser == 'chromium':
            folder = self.profile / 'NativeMessagingHosts'
            manifest = {'allowed_origins': ['chrome-extension://%s/' % CHROMIUM_ID]}
        else:
            folder = self.home / '.mozilla' / 'native-messaging-hosts'
            manifest = {'allowed_extensions': [FIREFOX_ID]}
        folder.mkdir(parents=True, exist_ok=True)
        manifest.update(name=HOST_NAME, description='Qiravel Web Client', path=str(host), type='stdio')
        (folder / (HOST_NAME + '.json')).write_text(json.dumps(manifest))

    def extension(self):
        folder = self.build / 'extension'
        return folder / 'chromium' if self.browser == 'chromium' else folder / (FIREFOX_ID + '.xpi')

    def _hand_over(self):
        """Gives the run's folder to the browser's user, with a copy of the X authority."""
        if 'XAUTHORITY' in self.env and Path(self.env['XAUTHORITY']).exists():
            copy = self.home / '.Xauthority'
            shutil.copy(self.env['XAUTHORITY'], copy)
            self.env['XAUTHORITY'] = str(copy)
        if self.user:
            os.chmod(self.root, 0o755)
            subprocess.run(['chown', '-R', '%d:%d' % (self.user['user'], self.user['group']), str(self.root)],
                           check=True)

    def start(self, log=None):
        """The browser under remote control."""
        self._hand_over()
        if self.browser == 'chromium':
            return remote.Chromium(self.profile, self.extension(), self.env, self.user, log, not self.no_sandbox)
        return remote.Firefox(self.profile, self.extension(), self.env, self.user, log)

    def open(self, url, log=None):
        """The browser for a person, on url; returns the process."""
        self._hand_over()
        if self.browser == 'chromium':
            command = remote.chromium_command(self.profile, self.extension(), not self.no_sandbox)
        else:
            remote.firefox_profile(self.profile, self.extension())
            command = [remote.FIREFOX, '--no-remote', '--profile', str(self.profile)]
        return subprocess.Popen(command + [url], env=self.env, stdout=log, stderr=log, **(self.user or {}))
