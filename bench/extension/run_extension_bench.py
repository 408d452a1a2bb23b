#!/usr/bin/env python3
"""Benchmarks of the plug-in through the browser extension, ours against a reference, alternating
in fresh browser processes (one pair per round):

  execute  CALLS ExecuteRequest round trips from page script through the extension to the real
           native host ("Reset"), against the same calls to the echo host (bench/extension/
           EchoHost.cpp), in the same browser
  demo     the demo page in Chromium: a folder of DEMO_FILES files picked, from the button's click
           to the table showing its total, against the same page in qiravel-browser

Run under an X display (xvfb-run -a -s "-screen 0 1280x1024x24"), from a RelWithDebInfo build:

  bench/extension/run_extension_bench.py --build build [--browser chromium|firefox] [execute] [demo]
"""

import argparse
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / 'tests' / 'extension'))
sys.path.insert(0, str(ROOT / 'tests' / 'browser'))
sys.path.insert(0, str(ROOT / 'bench' / 'browser'))
sys.path.insert(0, str(ROOT / 'tests' / 'support'))
import run_browser_test  # noqa: E402
import run_extension_test  # noqa: E402
from run_browser_bench import make_folder  # noqa: E402
from scenario import Failure, wait_until  # noqa: E402


def summary(name, ours, reference, unit):
    ratios = [a / b for a, b in zip(ours, reference)]
    print('%s: median %.3f %s against %.3f %s, ratio %.2f (pairs from %.2f to %.2f)'
          % (name, statistics.median(ours), unit, statistics.median(reference), unit,
             statistics.median(ratios), min(ratios), max(ratios)))
    print('  ours: ' + ' '.join('%.3f' % t for t in ours))
    print('  reference: ' + ' '.join('%.3f' % t for t in reference))


def in_extension(args, host, measure, dialogs=''):
    """measure(run, browser) in a fresh browser whose native host is host (None: the real one)."""
    run = run_extension_test.Run(args.build, args.browser)
    failed = True
    try:
        run.session.register(host or run.host)
        run.session.env['QIRAVEL_NATIVEHOST_DIALOGS'] = dialogs
        run.browser = run.session.start(run.log)
        value = measure(run, run.browser)
        failed = False
        return value
    finally:
        run.close(failed)


def round_trips(args):
    def measure(run, browser):
        tab = browser.open(run.page('plugin.html'))
        run.js(tab, 'start()')
        return run.js(tab, '''(async () => {
            const text = JSON.stringify({type: "Request", code: "Reset"});
            const started = performance.now();
            for (let i = 0; i < %d; i++)
                await plugin.ExecuteRequest(text);
            return (performance.now() - started) / %d;
        })()''' % (args.calls, args.calls), 600)
    return measure


def bench_execute(args):
    ours, reference = [], []
    for _ in range(args.rounds):
        reference.append(in_extension(args, Path(args.build).resolve() / 'bench' / 'extension' / 'echo_host',
                                       round_trips(args)))
        ours.append(in_extension(args, None, round_trips(args)))
    summary('execute in %s, %d calls per round' % (args.browser, args.calls), ours, reference, 'ms/call')


def demo_round(args):
    def measure(run, browser):
        tab = browser.open(run.origin + '/demo/index.html?walkthrough=bench&rounds=1')
        line = wait_until(lambda: run.js(tab, '(window.walkthroughReports || []).find(l => /^(round|fail)/.test(l))'),
                          'the round', 900)
        fields = line.split()
        if fields[0] != 'round' or int(fields[2]) != args.demo_files:
            raise Failure('the page reported: ' + line)
        return float(fields[1])
    return measure


def bench_demo(args):
    ours, reference = [], []
    # One folder for every round of both, readable by the browsers' user.
    shared = Path(tempfile.mkdtemp(prefix='qv-bench-'))
    shared.chmod(0o755)
    folder = make_folder(shared, args.demo_files)
    try:
        for _ in range(args.rounds):
            ours.append(in_extension(args, None, demo_round(args), "--pick '%s'" % folder))
            reference.append(in_qiravel_browser(args, folder))
    finally:
        shutil.rmtree(shared, ignore_errors=True)
    summary('demo, pick of %d files to the table total, Chromium against qiravel-browser' % args.demo_files,
            ours, reference, 'ms')


def in_qiravel_browser(args, folder):
    """The demo page's pick of folder in a fresh qiravel-browser."""
    run = run_browser_test.Run(args.build, True, None)
    failed = True
    # The web process's sandbox sees the run's home, not the shared folder: it is lent for the round.
    lent = run.home / folder.name
    folder.rename(lent)
    try:
        run.start(run_browser_test.ROOT / 'demo' / 'index.html', {'walkthrough': 'bench', 'rounds': 1}, dialogs=['--pick %s' % lent],
                  options=['--geometry', '1100x1200+0+0', '--timeout', '900'])
        match = run.expect(r'^test: round ([\d.]+) (\d+) ', timeout=900)
        if int(match.group(2)) != args.demo_files:
            raise Failure('the table shows %s files' % match.group(2))
        run.verdict(timeout=900)
        failed = False
        return float(match.group(1))
    finally:
        lent.rename(folder)
        run.close(failed)


def main():
    parser = argparse.ArgumentParser(description='Benchmarks of the plug-in through the browser extension.')
    parser.add_argument('--build', required=True)
    parser.add_argument('--browser', choices=['chromium', 'firefox'], default='chromium')
    parser.add_argument('--calls', type=int, default=500)
    parser.add_argument('--demo-files', type=int, default=100000)
    parser.add_argument('--rounds', type=int, default=5)
    parser.add_argument('which', nargs='*', help='execute, demo (both when none is named)')
    args = parser.parse_args()
    benchmarks = {'execute': bench_execute, 'demo': bench_demo}
    try:
        for which in args.which or list(benchmarks):
            if which == 'demo':
                args.browser = 'chromium'
            benchmarks[which](args)
    except Failure as error:
        print('FAILED: %s' % error, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
