#!/usr/bin/env python3
"""The user guide's synopsis of tavrin-cli (Linux and Windows) names every
command the program has and every option each command's --help shows.
Usage: synopsis_test.py PROGRAM USER_GUIDE"""
import re
import subprocess
import sys

program, guide = sys.argv[1], sys.argv[2]


def help_of(*args):
    return subprocess.run([program, *args, "--help"], capture_output=True, text=True,
                          check=True).stdout


commands = re.findall(r"^  ([a-z][a-z-]*) ", help_of().split("Subcommands:")[1], re.M)
failures = 0
text = open(guide, encoding="utf-8").read()
for name in ("tavrin-cli", "tavrin-cli.exe"):
    # A command's synopsis: its line and the lines indented under it.
    synopsis = {}
    current = None
    for line in text.split("\n"):
        m = re.match(r"^    " + re.escape(name) + r" ([a-z][a-z-]*)(.*)$", line)
        if m and m.group(1) not in synopsis:  # the first, not the examples after it
            current = m.group(1)
            synopsis[current] = m.group(2)
        elif current and re.match(r"^ {10,}\[", line):
            synopsis[current] += line
        else:
            current = None
    for command in commands:
        if command not in synopsis:
            print(f"FAIL: no synopsis of {name} {command}")
            failures += 1
            continue
        for option in re.findall(r"^  (?:-\w,)?(--[a-z][a-z-]*)", help_of(command), re.M):
            if option != "--help" and not re.search(re.escape(option) + r"\b", synopsis[command]):
                print(f"FAIL: the synopsis of {name} {command} lacks {option}")
                failures += 1
sys.exit(1 if failures else 0)
