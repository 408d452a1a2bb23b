#!/usr/bin/env python3
"""Runs each ```session block of a guide through qvshell and compares what the page would receive.

A block starts with "$ qvshell ARGS", then holds requests ("> JSON") and the lines the page
receives. The "response:", "notify:" and "result:" lines of the block must equal qvshell's, in
order (the response only when the block shows it); its "log:" lines must appear among qvshell's
in order. Paths under /home/ada are played by a private folder holding Docs/a.txt (6 bytes),
Docs/Sub/b.txt (7 bytes) and an empty Downloads; timestamps are not compared. With --assistant,
a request that needs the Assistant launches that program, uploading to /home/ada/outbox. How many
"TransferProgress" notifications a job gets depends on time, so they are compared only in a block
that shows one.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from scenario import Sandbox, write_files  # noqa: E402

PLACEHOLDER = "/home/ada"
TIMESTAMP = re.compile(r'"timestamp": "[^"]*"')
MAIN_PREFIXES = ("response:", "notify:", "result:")


def sessions(guide):
    """Yields (line number, lines) for each session block."""
    text = open(guide, encoding="utf-8").read()
    for block in re.finditer(r"^[ \t]*```session[ \t]*\n(.*?)^[ \t]*```[ \t]*$", text, re.M | re.S):
        yield text.count("\n", 0, block.start(1)) + 1, block.group(1).split("\n")[:-1]


def make_home(sandbox, assistant):
    home = write_files(sandbox.home / "ada", {"Docs/a.txt": "hello\n", "Docs/Sub/b.txt": "world!\n"})
    (home / "Downloads").mkdir()
    write_files(sandbox.config / "qiravel", {"assistant.conf": "[Allow]\nfolders=%s\n" % home})
    if assistant:
        sandbox.assistant_entry(assistant, "--outbox", home / "outbox")
    return str(home)


def is_progress(line):
    return line.startswith("notify:") and '"code":"TransferProgress"' in line.replace(" ", "")


def localise(text, home):
    return text.replace(PLACEHOLDER, home).replace(PLACEHOLDER.replace("/", "\\/"), home.replace("/", "\\/"))


def normalise(line):
    return TIMESTAMP.sub('"timestamp": ""', line)


def run_session(qvshell, block, env, home):
    """Returns a list of differences, empty when the session matches."""
    if not block or not block[0].startswith("$ qvshell"):
        return ["the block does not start with '$ qvshell'"]
    args = [localise(arg, home) for arg in shlex.split(block[0][len("$ qvshell"):])]
    requests = [localise(line[2:], home) for line in block[1:] if line.startswith("> ")]
    expected = [normalise(localise(line, home)) for line in block[1:] if line and not line.startswith("> ")]
    # Standard error goes to a file: a launched Assistant keeps it open after qvshell ends.
    with tempfile.TemporaryFile(mode="w+") as errors:
        done = subprocess.run([qvshell, "--settle", "100"] + args, input="".join(r + "\n" for r in requests),
                              stdout=subprocess.PIPE, stderr=errors, text=True, env=env, timeout=60)
        errors.seek(0)
        if done.returncode != 0:
            return ["qvshell exited with %d: %s" % (done.returncode, errors.read().strip())]
    actual = [normalise(line) for line in done.stdout.split("\n") if line]

    shows_response = any(line.startswith("response:") for line in expected)
    shows_progress = any(is_progress(line) for line in expected)
    wanted = [line for line in expected if line.startswith(MAIN_PREFIXES)]
    got = [line for line in actual if line.startswith(MAIN_PREFIXES) and (shows_response or not line.startswith("response:"))
           and (shows_progress or not is_progress(line))]
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
    parser.add_argument("--assistant", help="the Assistant program that sessions may launch")
    parser.add_argument("guide")
    options = parser.parse_args()
    failures = 0
    count = 0
    for line_number, block in sessions(options.guide):
        count += 1
        sandbox = Sandbox("qv-sessions-", system_data=False)
        try:
            problems = run_session(options.qvshell, block, sandbox.env, make_home(sandbox, options.assistant))
        finally:
            sandbox.close()
        for problem in problems:
            print("%s:%d: %s" % (options.guide, line_number, problem))
        failures += bool(problems)
    print("%d of %d sessions match" % (count - failures, count))
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
