#!/usr/bin/env python3
"""Runs each ```session block of a guide through qvshell and compares what the page would receive.

A block starts with "$ qvshell ARGS", then holds requests ("> JSON") and the lines the page
receives. The "response:", "notify:" and "result:" lines of the block must equal qvshell's, in
order (the response only when the block shows it); its "log:" lines must appear among qvshell's
in order. Paths under /home/ada are played by a private folder holding Docs/a.txt (6 bytes) and
Docs/Sub/b.txt (7 bytes); timestamps are not compared.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

PLACEHOLDER = "/home/ada"
TIMESTAMP = re.compile(r'"timestamp": "[^"]*"')
MAIN_PREFIXES = ("response:", "notify:", "result:")


def sessions(guide):
    """Yields (line number, lines) for each session block."""
    lines = open(guide, encoding="utf-8").read().split("\n")
    number = 0
    while number < len(lines):
        if lines[number].strip() == "```session":
            start = number + 1
            end = start
            while lines[end].strip() != "```":
                end += 1
            yield start + 1, lines[start:end]
            number = end
        number += 1


def make_home(root):
    home = os.path.join(root, "home", "ada")
    os.makedirs(os.path.join(home, "Docs", "Sub"))
    for path, text in (("Docs/a.txt", "hello\n"), ("Docs/Sub/b.txt", "world!\n")):
        with open(os.path.join(home, path), "w") as file:
            file.write(text)
    for folder in ("runtime", "data"):
        os.makedirs(os.path.join(root, folder), mode=0o700)
    return home


def localise(text, home):
    return text.replace(PLACEHOLDER, home).replace(PLACEHOLDER.replace("/", "\\/"), home.replace("/", "\\/"))


def normalise(line):
    return TIMESTAMP.sub('"timestamp": ""', line)


def run_session(qvshell, block, root, home):
    """Returns a list of differences, empty when the session matches."""
    if not block or not block[0].startswith("$ qvshell"):
        return ["the block does not start with '$ qvshell'"]
    args = [localise(arg, home) for arg in shlex.split(block[0][len("$ qvshell"):])]
    requests = [localise(line[2:], home) for line in block[1:] if line.startswith("> ")]
    expected = [normalise(localise(line, home)) for line in block[1:] if line and not line.startswith("> ")]
    env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(root, "runtime"),
               XDG_DATA_HOME=os.path.join(root, "data"), XDG_DATA_DIRS=os.path.join(root, "data"))
    done = subprocess.run([qvshell, "--settle", "100"] + args, input="".join(r + "\n" for r in requests),
                          capture_output=True, text=True, env=env, timeout=60)
    actual = [normalise(line) for line in done.stdout.split("\n") if line]
    if done.returncode != 0:
        return ["qvshell exited with %d: %s" % (done.returncode, done.stderr.strip())]

    shows_response = any(line.startswith("response:") for line in expected)
    wanted = [line for line in expected if line.startswith(MAIN_PREFIXES)]
    got = [line for line in actual if line.startswith(MAIN_PREFIXES) and (shows_response or not line.startswith("response:"))]
    problems = []
    if wanted != got:
        problems.append("expected:\n  " + "\n  ".join(wanted) + "\ngot:\n  " + "\n  ".join(got))
    logs = iter(line for line in actual if line.startswith("log:"))
    for line in expected:
        if line.startswith("log:") and line not in logs:
            problems.append("log line not found in order: " + line)
    unknown = [line for line in expected if not line.startswith(MAIN_PREFIXES + ("log:",))]
    problems += ["line of unknown kind: " + line for line in unknown]
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qvshell", required=True)
    parser.add_argument("guide")
    options = parser.parse_args()
    failures = 0
    count = 0
    for line_number, block in sessions(options.guide):
        count += 1
        with tempfile.TemporaryDirectory() as root:
            problems = run_session(options.qvshell, block, root, make_home(root))
        for problem in problems:
            print("%s:%d: %s" % (options.guide, line_number, problem))
        failures += bool(problems)
    print("%d of %d sessions match" % (count - failures, count))
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
