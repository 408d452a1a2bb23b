#!/usr/bin/env python3
"""Benchmarks of the plug-in in qiravel-browser, each against a reference in the same run:

  execute  a page's ExecuteRequest round trip ("SetParameter", CALLS calls from page script)
           against the same number of calls of an empty native method reached the same way
  drop     a dropped folder of FILES files, from the drop event to the page's last list
           notification, against the same pick through qvshell, from the request to its result
  demo     the demo page: a folder of DEMO_FILES files picked, from the button's click to the table
           showing its total, against the same pick through qvshell; and, with the list full, the
           time to redraw the table scrolled to its middle and to remove one row

Run under an X display (xvfb-run -a -s "-screen 0 1280x1024x24"), from a RelWithDebInfo build:

  bench/browser/run_browser_bench.py --build build [--no-sandbox] [execute] [drop] [demo]
"""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / 'tests' / 'browser'))
import run_browser_test  # noqa: E402  (the test runner's browser and user)

PAGES = Path(__file__).resolve().parent / 'pages'


def median_ratio(ours, reference):
    return statistics.median(ours), statistics.median(reference), statistics.median(ours) / statistics.median(reference)


def bench_execute(args):
    run = run_browser_test.Run(args.build, not args.no_sandbox, None)
    failed = True
    try:
        run.start(PAGES / 'execute.html', {'calls': args.calls, 'rounds': args.rounds}, options=['--benchmark-reference'])
        for phase in ('unlogged', 'logged'):
            execute, empty = [], []
            for _ in range(args.rounds):
                match = run.expect(r'^test: round %s ([\d.]+) ([\d.]+)$' % phase, timeout=300)
                execute.append(float(match.group(1)))
                empty.append(float(match.group(2)))
            ours, reference, ratio = median_ratio(execute, empty)
            print('execute, %s: %d calls, median of %d rounds: ExecuteRequest %.1f ms (%.2f us/call), empty '
                  'method %.1f ms (%.2f us/call), ratio %.1f'
                  % (phase, args.calls, args.rounds, ours, ours * 1000 / args.calls, reference,
                     reference * 1000 / args.calls, ratio))
        run.verdict()
        failed = False
    finally:
        run.close(failed)


def make_folder(root, count):
    folder = root / 'Big'
    folder.mkdir()
    for index in range(count):
        (folder / ('file-%05d.txt' % index)).write_text('x' * (index % 100))
    return folder


class Shell:
    """qvshell with one instance, picking the folder on request."""

    def __init__(self, run, folder, rounds):
        self.run = run
        self.process = subprocess.Popen([str(run.build / 'tools' / 'qvshell' / 'qvshell'), '--settle', '0']
                                        + ['--pick', str(folder)] * rounds,
                                        env=run.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        bufsize=1)
        self.process.stdout.readline()  # the Initialize response

    def request(self, code):
        self.process.stdin.write('{"type":"Request","code":"%s"}\n' % code)
        self.process.stdin.flush()

    def pick(self, count):
        """The time from writing the request to reading its result; the list is reset after it."""
        start = time.perf_counter()
        self.request('SelectFilesToUpload')
        added = 0
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise run_browser_test.Failure('qvshell ended early')
            if line.startswith('notify: ') and '"FilesAddedToUploadList"' in line:
                added += line.count('"file_path"')
            if line.startswith('result: '):
                break
        elapsed = (time.perf_counter() - start) * 1000
        if added != count:
            raise run_browser_test.Failure('qvshell added %d of %d files' % (added, count))
        self.request('Reset')
        while not self.process.stdout.readline().startswith('result: '):
            pass
        return elapsed

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


def bench_drop(args):
    run = run_browser_test.Run(args.build, not args.no_sandbox, None)
    failed = True
    shell = None
    try:
        folder = make_folder(run.home, args.files)
        shell = Shell(run, folder, args.rounds)
        run.start(PAGES / 'drop.html', {'rounds': args.rounds})
        drops, picks = [], []
        # Rounds alternate between the two, so that both see the same load on the machine.
        for _ in range(args.rounds):
            picks.append(shell.pick(args.files))
            run.drag([folder])
            match = run.expect(r'^test: drop ([\d.]+) (\d+)$', timeout=300)
            if int(match.group(2)) != args.files:
                raise run_browser_test.Failure('the drop added %s of %d files' % (match.group(2), args.files))
            drops.append(float(match.group(1)))
        run.verdict()
        ours, theirs, ratio = median_ratio(drops, picks)
        print('drop: folder of %d files, median of %d: drop to last notification %.1f ms, qvshell pick %.1f ms, '
              'ratio %.2f' % (args.files, args.rounds, ours, theirs, ratio))
        print('  drops (ms): ' + ' '.join('%.1f' % t for t in drops))
        print('  qvshell picks (ms): ' + ' '.join('%.1f' % t for t in picks))
        failed = False
    finally:
        if shell:
            shell.close()
        run.close(failed)


def bench_demo(args):
    run = run_browser_test.Run(args.build, not args.no_sandbox, None)
    failed = True
    shell = None
    try:
        folder = make_folder(run.home, args.demo_files)
        shell = Shell(run, folder, args.rounds)
        run.start(run_browser_test.ROOT / 'demo' / 'index.html', {'walkthrough': 'bench', 'rounds': args.rounds},
                  dialogs=['--pick %s' % folder] * args.rounds,
                  options=['--geometry', '1100x1200+0+0', '--timeout', '1800'])
        tables, picks, scrolls, removals = [], [], [], []
        for _ in range(args.rounds):
            match = run.expect(r'^test: round ([\d.]+) (\d+) ([\d.]+) ([\d.]+)$', timeout=900)
            if int(match.group(2)) != args.demo_files:
                raise run_browser_test.Failure('the table shows %s of %d files' % (match.group(2), args.demo_files))
            tables.append(float(match.group(1)))
            scrolls.append(float(match.group(3)))
            removals.append(float(match.group(4)))
            picks.append(shell.pick(args.demo_files))
        run.verdict(timeout=900)
        ours, theirs, ratio = median_ratio(tables, picks)
        print('demo: folder of %d files, median of %d: pick to table total %.0f ms, qvshell pick %.0f ms, ratio %.2f'
              % (args.demo_files, args.rounds, ours, theirs, ratio))
        print('  with the list full: table scrolled to its middle %.1f ms, one row removed %.1f ms (medians)'
              % (statistics.median(scrolls), statistics.median(removals)))
        print('  picks to table total (ms): ' + ' '.join('%.0f' % t for t in tables))
        print('  qvshell picks (ms): ' + ' '.join('%.0f' % t for t in picks))
        failed = False
    finally:
        if shell:
            shell.close()
        run.close(failed)


def main():
    parser = argparse.ArgumentParser(description='Benchmarks of the plug-in in qiravel-browser.')
    parser.add_argument('--build', required=True, help='the build folder')
    parser.add_argument('--no-sandbox', action='store_true', help='run the web processes without their sandbox')
    parser.add_argument('--calls', type=int, default=10000)
    parser.add_argument('--files', type=int, default=10000)
    parser.add_argument('--demo-files', type=int, default=100000)
    parser.add_argument('--rounds', type=int, default=5)
    parser.add_argument('which', nargs='*', help='execute, drop, demo (all when none is named)')
    args = parser.parse_args()
    benchmarks = {'execute': bench_execute, 'drop': bench_drop, 'demo': bench_demo}
    unknown = set(args.which) - set(benchmarks)
    if unknown:
        parser.error('unknown benchmark: ' + ', '.join(sorted(unknown)))
    try:
        for which in args.which or list(benchmarks):
            benchmarks[which](args)
    except (run_browser_test.Failure, subprocess.SubprocessError) as error:
        print('FAILED: %s' % error, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
