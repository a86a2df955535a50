"""Runs the built pendrel as a user would, without a controlling terminal.

The program ends every run with an exit prompt that waits for a key on the
terminal; under setsid it has none, so the prompt returns at once.
"""
import os
import subprocess

PENDREL = os.environ.get("PENDREL", "build/linux/pendrel")
PROMPT = b"\nPress any key to exit program"


def run_pendrel(args, timeout=60, wrapper=(), env=None):
    """Returns (exit code, stdout bytes, stderr bytes); fails on a hang."""
    cmd = list(wrapper) + ["setsid", "-w", PENDREL] + list(args)
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, env=env)
    return proc.returncode, proc.stdout, proc.stderr
