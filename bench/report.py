#!/usr/bin/env python3
"""Gathers the "@figure" rows the benchmarks printed into one table.

Usage: report.py OUTPUT.md FILE...   (each FILE a benchmark's captured output)
Prints the table and writes it, in Markdown, to OUTPUT.md.
"""
import platform
import subprocess
import sys


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    cores = subprocess.run(["nproc"], capture_output=True, text=True).stdout.strip() or "?"
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip() or "no wine"
    return f"{cpu}, {cores} cores, {platform.system()} {platform.release()}, {wine}"


def main():
    out, files = sys.argv[1], sys.argv[2:]
    rows = []
    for name in files:
        with open(name, encoding="utf-8", errors="replace") as f:
            for line in f:
                parts = line.rstrip("\r\n").split("\t")
                if parts[0] == "@figure" and len(parts) == 5:
                    rows.append(parts[1:])
    head = ["figure", "measured", "baseline", "target"]
    table = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    table += ["| " + " | ".join(cell or "" for cell in row) + " |" for row in rows]
    text = "\n".join(table) + "\n\nMachine: " + machine() + "\n"
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)
    print(text)
    return 0 if rows else 1


if __name__ == "__main__":
    sys.exit(main())
