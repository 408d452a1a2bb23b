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
import tempfile
import time

REQUESTS = [
    '{"type":"Request","code":"SelectFilesToUpload"}',
    '{"type":"Request","code":"StartUpload","job":"valgrind"}',
]


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

    root = tempfile.mkdtemp(prefix='qv-valgrind-')
    try:
        for folder in ('runtime', 'data', 'src/Docs/Sub'):
            os.makedirs(os.path.join(root, folder), mode=0o700)
        for name, text in (('a.txt', 'a'), ('Sub/b.txt', 'bb'), ('Sub/c.txt', 'ccc')):
            with open(os.path.join(root, 'src/Docs', name), 'w') as file:
                file.write(text)
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(root, 'runtime'),
                   XDG_DATA_HOME=os.path.join(root, 'data'), XDG_DATA_DIRS=os.path.join(root, 'data'),
                   XDG_STATE_HOME=os.path.join(root, 'state'))
        assistant = subprocess.Popen([args.assistant, '--idle-seconds', '240'], env=env,
                                     stdout=subprocess.DEVNULL)
        try:
            folder = os.path.join(root, 'runtime', 'qiravel')
            deadline = time.monotonic() + 30
            while not (os.path.isdir(folder) and any(n.endswith('.app') for n in os.listdir(folder))):
                if time.monotonic() > deadline:
                    print('the test Assistant did not check in')
                    return 1
                time.sleep(0.05)
            command = [valgrind, '--leak-check=full', '--errors-for-leak-kinds=definite',
                       '--error-exitcode=1', '--suppressions=' + args.suppressions,
                       '--log-file=' + os.path.join(root, 'valgrind.log'),
                       args.qvshell, '--settle', '3000', '--pick', os.path.join(root, 'src/Docs')]
            shell = subprocess.run(command, env=env, input='\n'.join(REQUESTS) + '\n', text=True,
                                   capture_output=True, timeout=240)
        finally:
            assistant.kill()
            assistant.wait()
        with open(os.path.join(root, 'valgrind.log')) as file:
            report = file.read()
        results = [line for line in shell.stdout.splitlines() if line.startswith('result: ')]
        deleted = sum(line.count('"file_path"') for line in shell.stdout.splitlines()
                      if '"FilesDeletedFromUploadList"' in line)
        failures = []
        if shell.returncode != 0:
            failures.append('qvshell under valgrind exited with %d' % shell.returncode)
        if results != ['result: 1', 'result: 1']:
            failures.append('results: %s' % results)
        if deleted != 3 or '"UploadComplete"' not in shell.stdout:
            failures.append('the status events did not all come back (%d files deleted)' % deleted)
        if failures:
            print('\n'.join(failures))
            print(report)
            print(shell.stdout)
            print(shell.stderr)
            return 1
        print(report[report.find('HEAP SUMMARY'):])
        return 0
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
