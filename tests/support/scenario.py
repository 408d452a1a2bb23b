"""What the scenario drivers share: Failure and check, a sandbox of private XDG folders with the
Assistant's desktop entry, the processes of a run, the X display, and main(), which plays one case
of a driver's table. A driver imports it after putting this folder first on sys.path."""

import argparse
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
ROOT = Path(__file__).resolve().parents[2]
BUNDLE = 'com.qiravel.Assistant'
WAIT = 60


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def wait_until(condition, what, timeout=WAIT, step=0.05):
    """The first true value of condition, asked every step seconds."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise Failure('not in time: ' + what)
        time.sleep(step)
    return value


def write_files(folder, files):
    """Writes files ({relative path: text}) below folder, and returns folder."""
    for relative, text in files.items():
        path = Path(folder) / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return Path(folder)


class Sandbox:
    """A private home, runtime, data, config, cache and state folder, with env pointing every XDG
    variable at them: a run sees neither the user's settings nor another run's Assistant. base is
    the environment to start from (the caller's by default); system_data keeps the system's data
    folders (themes, icons, schemas) after the private one."""

    def __init__(self, prefix, base=None, system_data=True):
        self.root = Path(tempfile.mkdtemp(prefix=prefix))
        self.home, self.runtime, self.data = self.root / 'home', self.root / 'runtime', self.root / 'data'
        self.config = self.root / 'config'
        self.home.mkdir()
        self.runtime.mkdir(mode=0o700)
        (self.data / 'applications').mkdir(parents=True)
        self.env = dict(os.environ if base is None else base, HOME=str(self.home),
                        XDG_RUNTIME_DIR=str(self.runtime), XDG_DATA_HOME=str(self.data),
                        XDG_DATA_DIRS=str(self.data) + (':/usr/local/share:/usr/share' if system_data else ''),
                        XDG_CONFIG_HOME=str(self.config), XDG_CACHE_HOME=str(self.root / 'cache'),
                        XDG_STATE_HOME=str(self.root / 'state'), GSETTINGS_BACKEND='memory', NO_AT_BRIDGE='1',
                        # No session bus: none is started for the run (through the X display),
                        # so no later run on the display finds one that outlived its folders.
                        DBUS_SESSION_BUS_ADDRESS='disabled:')
        for name in ('QIRAVEL_RUNTIME_DIR', 'QIRAVEL_NATIVEHOST_DIALOGS'):
            self.env.pop(name, None)

    def assistant_entry(self, *command):
        """The desktop entry through which the run's programs launch the Assistant: command."""
        (self.data / 'applications' / (BUNDLE + '.desktop')).write_text(
            '[Desktop Entry]\nType=Application\nName=Qiravel Assistant\nExec=%s\n' % ' '.join(map(str, command)))

    def assistants(self):
        """The serial numbers of the Assistants checked in, which name their check-in files."""
        return {path.name[:-len('.app')] for path in (self.runtime / 'qiravel').glob('*.app')}

    def play(self, case):
        """Plays one case of the driver's table on this run."""
        case(self)

    def close(self, failed=False):
        # A launched Assistant is no child of the run; the second half of its serial is its pid.
        for serial in self.assistants():
            try:
                os.kill(int(serial.split('-')[1]), signal.SIGTERM)
            except (OSError, ValueError, IndexError):
                pass
        shutil.rmtree(self.root, ignore_errors=True)


def stop(process, timeout=20):
    """Ends process: asked first, killed when it has not ended after timeout seconds."""
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def pids(program, entry):
    """The pids of the processes that run program with entry (NAME=value) in their environment."""
    found = []
    for folder in Path('/proc').iterdir():
        try:
            if folder.name.isdigit() and os.readlink(folder / 'exe') == str(program) and \
                    entry.encode() in (folder / 'environ').read_bytes().split(b'\0'):
                found.append(int(folder.name))
        except OSError:
            pass
    return found


def xdotool(*arguments):
    done = subprocess.run(['xdotool'] + [str(a) for a in arguments], timeout=WAIT, capture_output=True, text=True)
    check(done.returncode == 0, 'xdotool %s: %s' % (' '.join(map(str, arguments)), done.stderr.strip()))
    return done.stdout


def focus(*search):
    """Focuses the first visible window that xdotool finds with search (its options); its id."""
    window = xdotool('search', '--sync', '--onlyvisible', *search).split()[0]
    xdotool('windowfocus', '--sync', window)
    return window


def main(cases, start, description, options=(), errors=()):
    """Plays the case of cases named on the command line on the run that start(arguments) makes,
    and closes the run; 1 when the case failed. options: the driver's own arguments, as
    (flags, keywords) of add_argument; errors: the driver's exceptions that fail a case."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument('--build', required=True, help='the build folder')
    for flags, keywords in options:
        parser.add_argument(*flags, **keywords)
    parser.add_argument('case', choices=sorted(cases))
    arguments = parser.parse_args()
    run = start(arguments)
    failed = True
    try:
        run.play(cases[arguments.case])
        failed = False
    except (Failure, queue.Empty, subprocess.SubprocessError, *errors) as error:
        print('FAILED %s: %s' % (arguments.case, str(error) or repr(error)), file=sys.stderr)
    finally:
        run.close(failed)
    return 1 if failed else 0
