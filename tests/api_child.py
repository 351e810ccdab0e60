"""Runs operations of the provider API subsystem in a child interpreter whose
`send_to_api` is replaced, through the module namespace, by a stand-in that
hands out prepared answers and records the queries it was given."""

import json

from conftest import run_python

# Defines ANSWERS (a list, one per expected request) before the stand-in is set.
PRELUDE = """
import io, json, os, stat, sys, zipfile
import marnu_tails_client as m

{setup}

QUERIES = []

def stand_in(query):
    QUERIES.append(query)
    return ANSWERS.pop(0)

m.send_to_api = stand_in

def tree(root="/tmp"):
    entries = {{}}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(directory, name)
            info = os.lstat(path)
            entry = {{"mode": stat.S_IMODE(info.st_mode)}}
            if stat.S_ISLNK(info.st_mode):
                entry["kind"] = "link"
            elif stat.S_ISDIR(info.st_mode):
                entry["kind"] = "dir"
            else:
                entry["kind"] = "file"
                with open(path, "rb") as f:
                    entry["data"] = f.read().decode("latin-1")
            entries[os.path.relpath(path, root)] = entry
    return entries

outcome = {{}}
try:
    outcome["result"] = repr({call})
except Exception as failure:
    outcome["error"] = type(failure).__name__
    outcome["message"] = str(failure)
sys.stdout.flush()
outcome["queries"] = QUERIES
{inspect}
sys.stderr.write("\\n" + json.dumps(outcome))
"""


def run_api(call, answers=None, *, setup="", inspect="", stdin=b"", isolate=False):
    """Runs the expression `call` in a child and returns (stdout bytes, outcome).

    `answers` is a list of stand-in answers (bytes or 0); `setup` may define
    ANSWERS itself and prepare the child before the call; `inspect` runs
    after it and may add entries to `outcome` (tree() lists /tmp)."""
    if answers is not None:
        setup = f"ANSWERS = {answers!r}\n{setup}"
    code = PRELUDE.format(setup=setup, call=call, inspect=inspect)
    completed = run_python(code, stdin, isolate=isolate)
    last_line = completed.stderr.decode("utf-8", "replace").rsplit("\n", 1)[-1]
    try:
        outcome = json.loads(last_line)
    except ValueError:
        raise AssertionError(f"the child failed: {completed.stderr.decode('utf-8', 'replace')}")
    return completed.stdout, outcome


def envelope(data):
    """A JSON answer of the provider whose "data" is `data`."""
    return json.dumps({"data": data}).encode()
