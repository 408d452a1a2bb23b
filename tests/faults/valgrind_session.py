#!/usr/bin/env python3
"""Runs qvshell under valgrind through one scripted session: a folder picked in the scripted
upload panel, uploaded to the test Assistant, whose status events come back and empty the list.
Fails on any invalid access or definite leak valgrind reports; exits 77 (skipped) without
valgrind."""
import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from scenario import Failure, Sandbox, stop, wait_until, write_files  # noqa: E402

REQUESTS = [
    '{"type":"Request","code":"SelectFilesToUpload"}',
    '{"type":"Request","code":"StartUpload","job":"valgrind"}',
]


def session(args, valgrind, sandbox):
    docs = write_files(sandbox.root / 'src' / 'Docs', {'a.txt': 'a', 'Sub/b.txt': 'bb', 'Sub/c.txt': 'ccc'})
    log = sandbox.root / 'valgrind.log'
    assistant = subprocess.Popen([args.assistant, '--idle-seconds', '240'], env=sandbox.env,
                                 stdout=subprocess.DEVNULL)
    try:
        wait_until(sandbox.assistants, 'the test Assistant checked in', 30)
        command = [valgrind, '--leak-check=full', '--errors-for-leak-kinds=definite',
                   '--error-exitcode=1', '--suppressions=' + args.suppressions, '--log-file=%s' % log,
                   args.qvshell, '--settle', '3000', '--pick', str(docs)]
        shell = subprocess.run(command, env=sandbox.env, input='\n'.join(REQUESTS) + '\n', text=True,
                               capture_output=True, timeout=240)
    finally:
        stop(assistant)
    report = log.read_text()
    results = [line for line in shell.stdout.splitlines() if line.startswith('result: ')]
    deleted = sum(line.count('"file_path"') for line in shell.stdout.splitlines()
                  if '"FilesDeletedFromUploadList"' in line)
    failures = [what for failed, what in (
        (shell.returncode != 0, 'qvshell under valgrind exited with %d' % shell.returncode),
        (results != ['result: 1', 'result: 1'], 'results: %s' % results),
        (deleted != 3 or '"UploadComplete"' not in shell.stdout,
         'the status events did not all come back (%d files deleted)' % deleted)) if failed]
    if failures:
        print('\n'.join(failures + [report, shell.stdout, shell.stderr]))
        return 1
    print(report[report.find('HEAP SUMMARY'):])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--qvshell', required=True)
    parser.add_argument('--assistant', required=True)
    parser.add_argument('--suppressions', required=True)
    args = parser.parse_args()
    valgrind = shutil.which('valgrind')
    if not valgrind:
        print('valgrind is not installed; skipped')
        return 77
    sandbox = Sandbox('qv-valgrind-', system_data=False)
    try:
        return session(args, valgrind, sandbox)
    except Failure as failure:
        print(failure)
        return 1
    finally:
        sandbox.close()


if __name__ == '__main__':
    sys.exit(main())
