#!/usr/bin/env python3
"""Every test the documentation names as the proof of a rule exists: a backticked name whose part
before the first dot is a test suite of this build must match one of its CTest names (a trailing
`*` matches the suite's cases)."""
import fnmatch
import re
import subprocess
import sys
from pathlib import Path

IGNORED = {'Suite.Test'}  # how the documents spell a name in general
FILES = ('h', 'cpp', 'js', 'py', 'md', 'json', 'txt', 'conf', 'desktop')  # AssistantLink.h is a file


def main(source, build):
    listing = subprocess.run(['ctest', '--test-dir', build, '-N'], check=True, capture_output=True, text=True).stdout
    names = set(re.findall(r'Test\s+#\d+: (\S+)', listing))
    suites = {name.split('.')[0] for name in names if '.' in name}
    missing = []
    for document in sorted(Path(source).rglob('*.md')):
        if any(part.startswith(('build', '.')) for part in document.relative_to(source).parts):
            continue
        for named in sorted(set(re.findall(r'`([A-Za-z][\w-]*\.[\w*-]+)`', document.read_text()))):
            suite, _, case = named.partition('.')
            if suite in suites and case not in FILES and named not in IGNORED and not fnmatch.filter(names, named):
                missing.append('%s: %s' % (document.relative_to(source), named))
    for line in missing:
        print('names a test that does not exist:', line)
    return 1 if missing else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))
