#!/usr/bin/env python3
"""The last test of a run: no password may appear in what the run left.

Reads every file under the product's log and crash-dump folders of the Wine
prefix and the captured standard output and event-log channel text of the
end-to-end tests (C:\\QuarnTestOutput, see test_support.h), and looks for each
password as UTF-8 and as UTF-16LE. The passwords are those of the run's
database server (QUARN_TEST_PASSWORDS, exported by scripts/test, one a line),
those quarnsrv stores in the prefix, and the list of the test kit
(test_passwords.txt). Exit code 1 names every file that holds one.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PASSWORDS_KEY = r"HKLM\SOFTWARE\Quarn Sandbox\quarnsrv\Passwords"


def kit_passwords():
    with open(os.path.join(HERE, "test_passwords.txt"), encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


def stored_passwords():
    """The values quarnsrv answers getPassword with (32-bit view)."""
    try:
        out = subprocess.run(["wine", "reg", "query", PASSWORDS_KEY, "/reg:32"], capture_output=True,
                             timeout=60).stdout.decode("utf-8", "replace")
    except (OSError, subprocess.TimeoutExpired):
        return []
    values = []
    for line in out.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) == 3 and parts[1] == "REG_SZ":
            values.append(parts[2])
    return values


def main():
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    drive = os.path.join(prefix, "drive_c")
    folders = [os.path.join(drive, "Quarn", "admin", "logs"), os.path.join(drive, "Quarn", "etc", "crashdumps"),
               os.path.join(drive, "QuarnTestOutput")]
    run = [p for p in os.environ.get("QUARN_TEST_PASSWORDS", "").splitlines() if p]
    # Short values would match ordinary text by chance.
    secrets = sorted({p for p in run + stored_passwords() + kit_passwords() if len(p) >= 5})
    needles = [(s, s.encode("utf-8")) for s in secrets] + [(s, s.encode("utf-16-le")) for s in secrets]
    read = 0
    found = []
    for folder in folders:
        for root, _, files in os.walk(folder):
            for name in sorted(files):
                path = os.path.join(root, name)
                try:
                    with open(path, "rb") as f:
                        data = f.read()
                except OSError as error:
                    print(f"cannot read {path}: {error}", file=sys.stderr)
                    continue
                read += 1
                hits = sorted({s for s, b in needles if b in data})
                if hits:
                    found.append(path)
                    print(f"{path} holds a password ({len(hits)} of {len(secrets)})", file=sys.stderr)
    print(f"{read} files of {', '.join(folders)} read, {len(secrets)} passwords looked for")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
