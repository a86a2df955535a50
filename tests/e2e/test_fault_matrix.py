"""Fault matrix over the serial link: every command of a run × every fault
talo-sim can inject, each cell one whole run of pendrel against talo-sim on a
pseudo-terminal, judged against matrixlib's model of the run (exact output,
exit code, time bound, data file, simulator's host faults and flash)."""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrixlib  # noqa: E402
from pendrel_run import run_pendrel  # noqa: E402
from simlib import Sim, require_sim  # noqa: E402

WORKERS = 2
START_MARGIN_S = 1.5  # program start, opening the port, moving a 70 KB image over the pseudo-terminal


def main():
    require_sim()
    if not os.path.exists(matrixlib.MKIMAGE):
        print("skipped: scripts/mkimage is missing")
        sys.exit(77)
    factor = matrixlib.time_factor()
    margin = START_MARGIN_S * factor
    notice = matrixlib.notice_line(lambda args: run_pendrel(args, timeout=30))

    with tempfile.TemporaryDirectory(prefix="pendrel-matrix-") as directory:
        def run_cell(worker, row, kind, expect, image):
            flash = os.path.join(directory, "flash-%d.bin" % worker)
            if os.path.exists(flash):
                os.unlink(flash)
            before = matrixlib.file_hash(image)
            sim = Sim("serial", matrixlib.sim_args(row, expect.fault, flash))
            matrixlib.favour(sim.process.pid)
            try:
                started = time.monotonic()
                # A hang shows as a SLOW cell, not a stuck matrix.
                code, out, err = run_pendrel(matrixlib.pendrel_args(row, image) + ["-p" + sim.port],
                                             timeout=expect.max_wait / 1000.0 + margin + 30)
                elapsed = time.monotonic() - started
                # A rebooted or dropped controller ends by itself; otherwise the
                # host is gone and every frame it sent has been answered.
                sim.wait(timeout=5 if expect.rebooted or kind == "drop" else 0.2)
            finally:
                sim.stop()
            return matrixlib.judge_run(expect, code, out, err, elapsed, margin, image, before,
                                        sim.output(), flash)

        print("time factor %.1f, start-up margin %.1f s" % (factor, margin))
        bad = matrixlib.run_matrix(matrixlib.SERIAL, run_cell, WORKERS, notice, directory)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
