#!/usr/bin/env python3
"""Replays the examples of a document (README.md or a manual page) as a reader would.

An example is marked in the text, right before its block of commands:

  README.md (Markdown)  <!-- example -->  or  <!-- example: SETUP -->
                        before an indented (4 blanks) or fenced block;
                        <!-- example output --> before a block that is the output of the
                        last command of the example before it
  manual page (roff)    .\\" example  or  .\\" example: SETUP      before .EX ... .EE

The block is a transcript: a line "$ COMMAND" is run (a trailing backslash continues it on the
next line) and the lines after it, up to the next "$ ", are its output (standard output and
error together), compared line by line without trailing blanks (a command with no lines after
it: its output is not compared); an expected line ending in " ..." matches any line that starts
with the text before it. A block without "$ " lines is a
list of commands whose output is not shown; a fenced ```python block is run by python3. Every
command must exit 0, unless the next command is "echo $?", which shows its status.

The examples of one document run in order, as a reader would follow them, in a scratch copy of
the source tree (its entries linked, `build` the build tree, without what the README's own
commands leave there: `demo`, `bench-scratch`) beside `shared` (the shared data),
with the build tree, then /usr/bin, first on PATH. Each example starts at the top of that copy; SETUP (shell
commands the reader does not see, e.g. a cd) runs first; `needs NAME...` in it skips the
example, with the reason, when a command NAME, or a Python module for python3-MODULE, is
missing. A leading
"cmake -S . -B build && cmake --build build -j2 && " is taken as done: the build is there.

  replay.py DOCUMENT BUILD-DIR SOURCE-DIR SHARED-DIR
Exit 0 all replayed as written, 1 a difference, 77 skipped (the shared data are absent).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

BUILD_PREFIX = "cmake -S . -B build && cmake --build build -j2 && "
# What the README's own commands leave in the source tree (the quick start's demo network, the
# benchmarks' data): not part of the copy, so that the examples start from the tree as shipped.
MADE_BY_A_READER = ("demo", "bench-scratch")
ROFF = [("\\-", "-"), ("\\e", "\\"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\(en", "\u2013"),
        ("\\&", ""), ("\\ ", " ")]


class Example:
    def __init__(self, where, setup):
        self.where = where  # "DOCUMENT:LINE" of the marker
        self.setup = setup
        self.commands = []  # [command, expected lines or None]


def transcript(example, lines, python=False):
    if python:
        example.commands.append(["python3 - <<'EOF_OF_EXAMPLE'\n" + "\n".join(lines) +
                                 "\nEOF_OF_EXAMPLE", None])
        return
    while lines and not lines[-1].strip():
        lines.pop()
    if not any(l.startswith("$ ") for l in lines):
        example.commands += [[l, None] for l in lines if l.strip()]
        return
    pending = None
    for line in lines:
        if pending is not None:
            pending[0] += "\n" + line
            if not line.endswith("\\"):
                pending = None
        elif line.startswith("$ "):
            example.commands.append([line[2:], None])
            if line.endswith("\\"):
                pending = example.commands[-1]
        elif example.commands:
            if example.commands[-1][1] is None:
                example.commands[-1][1] = []
            example.commands[-1][1].append(line)


def marks(path, pattern):
    """The lines of the document, and per marker line its match and the index after it."""
    text = open(path, encoding="utf-8").read().split("\n")
    return text, [(m, n + 1) for n, m in enumerate(re.match(pattern, l) for l in text) if m]


def markdown(path):
    text, found = marks(path, r"<!-- example( output)?(?:: (.*?))? -->$")
    examples = []
    for m, i in found:
        while not text[i].strip():
            i += 1
        block, python = [], text[i].startswith("```python")
        if text[i].startswith("```"):
            i += 1
            while not text[i].startswith("```"):
                block.append(text[i])
                i += 1
        else:
            while i < len(text) and (text[i].startswith("    ") or not text[i].strip()):
                block.append(text[i][4:])
                i += 1
        if m.group(1):  # the output of the last command of the example before
            while block and not block[-1].strip():
                block.pop()
            examples[-1].commands[-1][1] = block
        else:
            examples.append(Example(f"{path}:{i}", m.group(2) or ""))
            transcript(examples[-1], block, python)
    return examples


def roff(path):
    text, found = marks(path, r'\.\\" example(?:: (.*))?$')
    examples = []
    for m, i in found:
        i = text.index(".EX", i) + 1
        end = text.index(".EE", i)
        block = []
        for line in text[i:end]:
            for a, b in ROFF:
                line = line.replace(a, b)
            block.append(line)
        examples.append(Example(f"{path}:{end}", m.group(1) or ""))
        transcript(examples[-1], block)
    return examples


def matches(want, got):
    if want.endswith(" ..."):
        return got.startswith(want[:-4])
    return want == got


def main():
    doc, build, src, shared = sys.argv[1:5]
    build, src = os.path.abspath(build), os.path.abspath(src)
    examples = markdown(doc) if doc.endswith(".md") else roff(doc)
    if not examples:
        print(f"FAIL: {doc} has no example marked")
        return 1
    if not os.path.isdir(shared) and any("shared" in e.setup or any(
            "shared" in c for c, _ in e.commands) for e in examples):
        print(f"SKIP: {shared} is absent (the examples of {os.path.basename(doc)} use it)")
        return 77
    scratch = tempfile.mkdtemp(prefix="obsquilt-examples-")
    try:
        root = os.path.join(scratch, "src")
        os.mkdir(root)
        if os.path.isdir(shared):
            os.symlink(os.path.abspath(shared), os.path.join(scratch, "shared"))
        for entry in os.listdir(src):
            if entry not in (".git",) + MADE_BY_A_READER and not entry.startswith("build"):
                os.symlink(os.path.join(src, entry), os.path.join(root, entry))
        os.symlink(build, os.path.join(root, "build"))
        # The programs the examples name as a Debian system has them (/usr/bin before what a
        # user's PATH may put first, e.g. another python3).
        env = dict(os.environ, PATH=os.pathsep.join([build, "/usr/bin", os.environ["PATH"]]))
        failed = 0
        skipped = []
        for n, ex in enumerate(examples):
            out = os.path.join(scratch, f"out{n}")
            os.mkdir(out)
            script = ["cd " + root,
                      "needs() { for x; do case $x in "
                      "python3-*) python3 -c \"import ${x#python3-}\" 2>/dev/null ;; "
                      "*) command -v \"$x\" > /dev/null ;; esac || "
                      f"{{ echo \"$x\" > {out}/skip; exit 77; }}; done; }}",
                      ex.setup]
            for k, (cmd, _) in enumerate(ex.commands):
                if cmd.startswith(BUILD_PREFIX):
                    cmd = cmd[len(BUILD_PREFIX):]
                script.append(f"{{ {cmd}\n}} > {out}/{k}.out 2>&1 < /dev/null; s=$?; "
                              f"echo $s > {out}/{k}.status; (exit $s)")
            subprocess.run(["bash", "-c", "\n".join(script)], env=env, cwd=root)
            if os.path.exists(f"{out}/skip"):
                missing = open(f"{out}/skip").read().strip()
                skipped.append(f"the example at {ex.where} needs {missing}")
                continue
            for k, (cmd, want) in enumerate(ex.commands):
                shown = cmd.split("\n")[0]
                try:
                    status = int(open(f"{out}/{k}.status").read())
                    got = open(f"{out}/{k}.out", encoding="latin-1").read()
                except (OSError, ValueError):
                    print(f"FAIL {ex.where}: `{shown}` did not run")
                    failed = 1
                    break
                got = [l.rstrip() for l in got.replace("\r", "").split("\n")]
                while got and not got[-1]:
                    got.pop()
                shows_status = k + 1 < len(ex.commands) and ex.commands[k + 1][0] == "echo $?"
                if status != 0 and not shows_status:
                    print(f"FAIL {ex.where}: `{shown}` exits {status}:\n  " + "\n  ".join(got))
                    failed = 1
                if want is not None:
                    want = [l.rstrip() for l in want]
                    if len(want) != len(got) or not all(map(matches, want, got)):
                        print(f"FAIL {ex.where}: `{shown}` prints (expected, then got):")
                        print("  " + "\n  ".join(want) + "\n  ----\n  " + "\n  ".join(got))
                        failed = 1
        print(f"{len(examples) - len(skipped)} example(s) of {doc} replayed")
        for why in skipped:
            print(f"SKIP: {why}")
        return failed or (77 if skipped else 0)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
