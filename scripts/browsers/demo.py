#!/usr/bin/env python3
"""The demo page in Chromium or Firefox ESR with the extension, for scripts/demo: serves demo/ on
127.0.0.1, allows that origin in a fresh configuration folder and opens the page in a fresh
profile. With --walkthrough the page walks itself through under remote control and its reports
are printed; the status is 0 when it passed.

usage: demo.py --browser chromium|firefox --build DIR --work DIR [--walkthrough]"""

import argparse
import os
import sys
import time
from pathlib import Path

import session

DEMO = Path(__file__).resolve().parents[2] / 'demo'


def walk_through(browser, url, timeout=300):
    tab = browser.open(url)
    seen = 0
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        reports = browser.evaluate(tab, 'window.walkthroughReports || []')
        for line in reports[seen:]:
            print('   page: ' + line, flush=True)
            if line == 'pass' or line.startswith('fail'):
                return line == 'pass'
        seen = len(reports)
        time.sleep(0.2)
    print('   page: no verdict in time', flush=True)
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--browser', choices=['chromium', 'firefox'], required=True)
    parser.add_argument('--build', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('--walkthrough', action='store_true')
    args = parser.parse_args()
    server = session.serve(DEMO)
    origin = 'http://127.0.0.1:%d' % server.server_address[1]
    work = Path(args.work)
    home = Path.home()
    env = dict(os.environ, XDG_CONFIG_HOME=str(work / 'config'),
               XDG_DATA_HOME=os.environ.get('XDG_DATA_HOME', str(home / '.local' / 'share')))
    session.write_origins(work / 'config', allow=[origin])
    run = session.Session(args.browser, args.build, work / args.browser, env,
                          Path(args.build).resolve() / 'bin' / 'qiravel-nativehost')
    log = open(work / 'browser.log', 'w')
    if not args.walkthrough:
        run.open(origin + '/index.html', log).wait()
        return 0
    browser = run.start(log)
    try:
        return 0 if walk_through(browser, origin + '/index.html?walkthrough') else 1
    finally:
        browser.quit()


if __name__ == '__main__':
    sys.exit(main())
