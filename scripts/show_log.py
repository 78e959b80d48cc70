#!/usr/bin/env python3
"""Prints the monitor's formatted log in its colours on a terminal.

Each record: 19-char time stamp, a space, the bold flag padded to 6, the colour
padded to 12, the message; the file is in code page 1252. Lines that are not
records continue the previous record's message.
"""
import sys

COLOURS = {16711680: "\033[34m", 255: "\033[31m", 0: ""}


def main(path):
    try:
        data = open(path, "rb").read().decode("cp1252", errors="replace")
    except OSError as e:
        print(f"({e.strerror}: {path})")
        return 0
    colour = ""
    for line in data.replace("\r\n", "\r").split("\r"):
        if not line:
            continue
        head = line[:38]
        if len(line) >= 38 and head[2] == "/" and head[19] == " " and head[26:38].strip().lstrip("-").isdigit():
            value = int(head[26:38])
            colour = COLOURS.get(value, "")
            bold = "\033[1m" if head[20:26].strip() == "True" else ""
            print(f"\033[90m{line[:19]}\033[0m {bold}{colour}{line[38:]}\033[0m")
        else:
            print(f"{' ' * 20}{colour}{line}\033[0m")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
