"""scripts/wine32, the 32-bit Wine the Windows tests run on: the shipped exe's
usage text with clean streams, files at their own paths, no mount left on the
cached root, a half-made root never taken for a good one, and the QEMU entry
in binfmt_misc present exactly while someone holds it."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winelib  # noqa: E402
from pendrel_run import PROMPT  # noqa: E402
from test_cmdline import USAGE  # noqa: E402

WINE32 = winelib.WINE32
# An entry of this test's own: the Wine scenarios running beside it keep theirs.
ENTRY_NAME = "pendrel-i386-test%d" % os.getpid()
ENTRY = "/proc/sys/fs/binfmt_misc/" + ENTRY_NAME
CACHE = os.environ.get("PENDREL_CACHE", "/var/cache/pendrel")


def wine32(args, env=None, timeout=120, **kw):
    return subprocess.run([WINE32] + list(args), env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, **kw)


def mounts_under(path):
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4] for line in f]
    return [p for p in points if p == path or p.startswith(path + "/")]


class Wine32(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="pendrel-wine32-")
        cls.env = dict(os.environ, WINEPREFIX=os.path.join(cls.tmp.name, "prefix"),
                       WINEDEBUG="-all")
        cls.env.pop("DISPLAY", None)
        cls.mode = wine32(["--mode"]).stdout.decode().strip()

    @classmethod
    def tearDownClass(cls):
        wine32(["--server", "-k"], env=cls.env)
        cls.tmp.cleanup()

    def test_usage_text_on_clean_streams(self):
        wine32(["wineboot", "-i"], env=self.env, timeout=300)
        # A new session: no console, so the exit prompt returns at once.
        run = wine32([winelib.PENDREL_EXE], env=self.env, start_new_session=True)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertEqual(run.stdout, winelib.crlf(USAGE + PROMPT))
        self.assertEqual(run.stderr, b"")
        # Nothing of the run is left mounted on the root.
        self.assertEqual(mounts_under(CACHE), [])

    def test_files_at_their_own_paths(self):
        # A file under /tmp read through Wine's Z: drive, with a relative path
        # from the current directory, which must be the same one inside.
        with open(os.path.join(self.tmp.name, "note.txt"), "w") as f:
            f.write("seen inside\n")
        run = wine32(["cmd", "/c", "type", "note.txt"], env=self.env, cwd=self.tmp.name,
                     timeout=300)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.replace(b"\r\n", b"\n"), b"seen inside\n")

    def test_half_made_root_is_not_ready(self):
        if self.mode == "native":
            self.skipTest("native 32-bit Wine: no root is used here")
        with tempfile.TemporaryDirectory(prefix="pendrel-cache-") as cache:
            root = os.path.join(cache, "wine32-bookworm-i386")
            os.makedirs(os.path.join(root, "usr", "lib", "wine"))
            wine = os.path.join(root, "usr", "lib", "wine", "wine")
            with open(wine, "w") as f:
                f.write("#!/bin/sh\n")
            os.chmod(wine, 0o755)
            env = dict(self.env, PENDREL_CACHE=cache, PENDREL_WINE32_MODE="root")
            self.assertNotEqual(wine32(["--ready"], env=env).returncode, 0)
            with open(os.path.join(root, ".pendrel-complete"), "w") as f:
                f.write("made\n")
            self.assertEqual(wine32(["--ready"], env=env).returncode, 0)


class Emulation(unittest.TestCase):
    """The binfmt entry lives as long as its holders, shared and counted."""

    def setUp(self):
        self.env = dict(os.environ, PENDREL_WINE32_MODE="qemu", PENDREL_WINE32_ENTRY=ENTRY_NAME)
        self.env.pop("PENDREL_WINE32_HOLDER", None)
        if os.geteuid() != 0:
            self.skipTest("registering in binfmt_misc needs root")
        if wine32(["--ready"], env=self.env).returncode != 0:
            self.skipTest("the i386 root or QEMU is not made (scripts/wine32 --setup)")

    def tearDown(self):
        wine32(["--cleanup"], env=self.env)
        shutil.rmtree("/run/pendrel-wine32/" + ENTRY_NAME, ignore_errors=True)

    def test_entry_lives_as_long_as_its_holders(self):
        first = subprocess.Popen([WINE32, "--hold", "sleep", "60"], env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while not os.path.exists(ENTRY) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(os.path.exists(ENTRY))
            with open(ENTRY) as f:
                self.assertIn("flags: F", f.read())
            # A second holder comes and goes: the first still needs the entry.
            second = wine32(["--hold", "cat", ENTRY], env=self.env)
            self.assertEqual(second.returncode, 0, second.stderr)
            self.assertIn(b"enabled", second.stdout)
            self.assertTrue(os.path.exists(ENTRY))
            # A holder killed outright cannot clean up; --cleanup does, once it is gone.
            first.kill()
            first.wait(timeout=10)
            self.assertTrue(os.path.exists(ENTRY))
            self.assertEqual(wine32(["--cleanup"], env=self.env).returncode, 0)
            self.assertFalse(os.path.exists(ENTRY))
        finally:
            if first.poll() is None:
                first.kill()
                first.wait(timeout=10)

    def test_i386_program_is_qemus_while_held(self):
        # binfmt_misc comes before the kernel's own ELF loader: with the entry
        # registered an i386 program is QEMU's, even on a kernel that runs it.
        root = os.path.join(CACHE, "wine32-bookworm-i386")
        sleep = "%s/lib/ld-linux.so.2 --library-path %s/lib/i386-linux-gnu %s/bin/sleep 2" % (
            root, root, root)
        script = sleep + " & sleep 0.5; readlink /proc/$!/exe; wait $!"
        run = wine32(["--hold", "bash", "-c", script], env=self.env, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.strip().endswith(b"/qemu-i386"), run.stdout)
        self.assertFalse(os.path.exists(ENTRY))


if __name__ == "__main__":
    exe = winelib.require_wine()
    if winelib.WINE != WINE32:
        print("skipped: 32-bit Wine cannot run here (scripts/wine32 --setup)")
        sys.exit(winelib.SKIP)
    unittest.main()
