#!/usr/bin/python3
"""Runs the examples of the README and the manual against the fake modem.

An example is a block of shell transcript: "$ command" lines (continued on
"> " lines), each followed by the lines it prints, standard error and
standard output together as a terminal shows them. Each block runs in one
shell, so that "$ echo $?" reads the status of the command before it.

A comment right before the block says what it runs against, invisible to
the reader of the formatted text:

    <!-- fake-modem --kind standard; waits for -s -->      (Markdown)
    .\\" fake-modem --kind standard                          (mdoc)

"fake-modem" and its options start a fake modem of its own for the block;
"; port PATH" names the port the text shows (/dev/ttyUSB2 unless given),
which the commands get the fake modem's device for; "; waits for WHAT"
marks an example that needs what the tool does not do yet, expected to
fail until it does. "not run: REASON" marks one that cannot run against
the fake modem. A transcript without such a comment is an error, so that
no example escapes.

usage: examples.py --ussdq PATH --fake-modem PATH [--at-most BYTES] FILE...
"""

import argparse
import difflib
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

SHOWN_PORT = "/dev/ttyUSB2"
MD_MARKER = re.compile(r"^<!--\s*(.*?)\s*-->\s*$")
ROFF_MARKER = re.compile(r'^\.\\"\s*(.*?)\s*$')
ROFF_ESCAPES = {r"\e": "\\", r"\-": "-", r"\&": "", r"\(dq": '"', r"\(aq": "'", r"\(ga": "`"}


class Example:
    def __init__(self, where, marker, lines):
        self.where = where
        self.lines = lines
        self.fake = None
        self.port = SHOWN_PORT
        self.waits = None
        self.not_run = None
        self.error = None
        if marker is None:
            self.error = "a transcript without a comment saying what it runs against"
            return
        clauses = [c.strip() for c in marker.split(";")]
        if clauses[0].startswith("not run:"):
            self.not_run = clauses[0][len("not run:"):].strip()
            return
        words = shlex.split(clauses[0])
        if not words or words[0] != "fake-modem":
            self.error = "the comment before it is neither 'fake-modem ...' nor 'not run: ...'"
            return
        self.fake = words[1:]
        for clause in clauses[1:]:
            if clause.startswith("port "):
                self.port = clause[len("port "):].strip()
            elif clause.startswith("waits for "):
                self.waits = clause[len("waits for "):].strip()
            else:
                self.error = "an unknown clause in its comment: " + clause

    def steps(self):
        """The commands and, for each, the output the text shows."""
        steps = []
        for line in self.lines:
            if line.startswith("$ "):
                steps.append([line[2:], []])
            elif line.startswith("> ") and steps and not steps[-1][1]:
                steps[-1][0] += "\n" + line[2:]
            elif steps:
                steps[-1][1].append(line)
        return [(cmd, "".join(l + "\n" for l in out)) for cmd, out in steps]


def transcript(lines):
    return any(l.startswith("$ ") for l in lines)


def markdown_examples(path, text):
    examples, marker, block, start = [], None, None, 0
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        fence = line.startswith("```")
        if fence or (line.startswith("    ") and (i == 0 or not lines[i - 1].strip())):
            start = i + 1
            if fence:
                j = i + 1
                while j < len(lines) and not lines[j].startswith("```"):
                    j += 1
                block = lines[i + 1:j]
                i = j + 1
            else:
                j = i
                while j < len(lines) and (lines[j].startswith("    ") or not lines[j].strip()):
                    j += 1
                block = [l[4:] for l in lines[i:j]]
                while block and not block[-1].strip():
                    block.pop()
                i = j
            if transcript(block):
                examples.append(Example(f"{path}:{start}", marker, block))
            marker = None
            continue
        m = MD_MARKER.match(line)
        if m:
            marker = m.group(1)
        elif line.strip():
            marker = None
        i += 1
    return examples


def unroff(line):
    """A line of a literal display as it reads; an escape not listed is an error."""
    def escape(m):
        if m.group(0) not in ROFF_ESCAPES:
            raise ValueError("an escape the runner does not know: " + m.group(0))
        return ROFF_ESCAPES[m.group(0)]
    return re.sub(r"\\\(..|\\.", escape, line)


def manual_examples(path, text):
    examples, marker = [], None
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        m = ROFF_MARKER.match(line)
        if m:
            marker = m.group(1)
        elif line.startswith(".Bd -literal"):
            j = i + 1
            while j < len(lines) and not lines[j].startswith(".Ed"):
                j += 1
            block = [unroff(l) for l in lines[i + 1:j]]
            if transcript(block):
                examples.append(Example(f"{path}:{i + 2}", marker, block))
            marker = None
            i = j
        elif not line.startswith(".Pp"):
            marker = None
        i += 1
    return examples


def wait_for(path, process, seconds=5):
    end = time.monotonic() + seconds
    while not os.path.lexists(path):
        if process.poll() is not None or time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


def run(example, bindir):
    """The output of each step as the shell gave it, or an error."""
    steps = example.steps()
    with tempfile.TemporaryDirectory() as tmp:
        link = os.path.join(tmp, "modem")
        log = open(os.path.join(tmp, "fake-modem.log"), "w+b")
        fake = subprocess.Popen([os.path.join(bindir, "fake-modem"), "--link", link] + example.fake,
                                stdout=subprocess.DEVNULL, stderr=log)
        try:
            if not wait_for(link, fake):
                log.seek(0)
                return None, "the fake modem did not start: " + log.read().decode(errors="replace")
            script = ["exec 2>&1", "PATH=" + shlex.quote(bindir) + ":$PATH", "cd " + shlex.quote(tmp)]
            for n, (cmd, _) in enumerate(steps):
                script.append("__status=$?; printf '\\n@@step %d@@\\n'; (exit $__status)" % n)
                script.append(cmd.replace(example.port, link))
            script.append("printf '\\n@@step %d@@\\n'" % len(steps))
            try:
                done = subprocess.run(["sh", "-c", "\n".join(script)], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, timeout=60)
            except subprocess.TimeoutExpired:
                return None, "it did not end within 60 seconds"
        finally:
            fake.terminate()
            fake.wait()
            log.close()
    out = done.stdout.replace(link.encode(), example.port.encode()).replace(tmp.encode(), "TMP".encode())
    got = []
    for n in range(len(steps)):
        begin = out.index(b"@@step %d@@\n" % n) + len(b"@@step %d@@\n" % n)
        end = out.index(b"\n@@step %d@@\n" % (n + 1), begin)
        got.append(out[begin:end])
    return got, None


def differences(example, got):
    text = []
    for (cmd, want), have in zip(example.steps(), got):
        if want.encode() == have:
            continue
        have_text = have.decode("utf-8", errors="backslashreplace")
        text.append("$ " + cmd + "\n")
        text.extend(difflib.unified_diff(want.splitlines(True), have_text.splitlines(True),
                                         "the text", "the run", n=2))
        if have and not have.endswith(b"\n"):
            text.append("\n(the run's output has no line feed at its end)\n")
    return "".join(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ussdq", required=True)
    parser.add_argument("--fake-modem", required=True)
    parser.add_argument("--at-most", type=int, help="bytes each file may have")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    failed = 0
    with tempfile.TemporaryDirectory() as bindir:
        # The commands name the tool as a user does, so its messages start "ussdq:".
        os.symlink(os.path.abspath(args.ussdq), os.path.join(bindir, "ussdq"))
        os.symlink(os.path.abspath(args.fake_modem), os.path.join(bindir, "fake-modem"))
        for path in args.files:
            with open(path, encoding="utf-8") as f:
                text = f.read()
            name = os.path.basename(path)
            if args.at_most is not None and len(text.encode()) > args.at_most:
                print(f"{name}: {len(text.encode())} bytes, more than {args.at_most}")
                failed += 1
            find = manual_examples if re.search(r"\.[1-9]$", path) else markdown_examples
            ran, not_run, waiting = 0, [], []
            for ex in find(name, text):
                if ex.error:
                    print(f"{ex.where}: {ex.error}")
                    failed += 1
                    continue
                if ex.not_run is not None:
                    not_run.append(ex.not_run)
                    continue
                got, error = run(ex, bindir)
                diff = error or differences(ex, got)
                if ex.waits:
                    if diff:
                        waiting.append(ex.waits)
                    else:
                        print(f"{ex.where}: passes now: take 'waits for {ex.waits}' out of its comment")
                        failed += 1
                    continue
                ran += 1
                if diff:
                    print(f"{ex.where}: the example prints something else:\n{diff}")
                    failed += 1
            line = f"{name}: {ran} examples run"
            if not_run:
                line += f", {len(not_run)} not run ({'; '.join(not_run)})"
            if waiting:
                line += f", {len(waiting)} waiting for the tool's {', '.join(waiting)}"
            print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
