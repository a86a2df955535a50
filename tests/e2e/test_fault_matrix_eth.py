"""Fault matrix over the Ethernet link: the serial matrix's commands × faults,
each cell one whole run of `pendrel -eth` against talo-sim's Ethernet front
end inside a private network (netns.Lab, one per worker; nothing runs in the
machine's own namespace). Cells that the link cannot have (the upload rate
switch) are n/a."""
import contextlib
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrixlib  # noqa: E402
import netns  # noqa: E402
from pendrel_run import run_pendrel  # noqa: E402

WORKERS = 2
# Program start, the discovery's closing quiet wait (500 ms), connect and
# greeting, moving a 70 KB image over the connection.
START_MARGIN_S = 2.0


def main():
    netns.skip_unless_possible()
    if not os.access(netns.TALO_SIM, os.X_OK) or not os.path.exists(matrixlib.MKIMAGE):
        print("skipped: talo-sim or scripts/mkimage is missing")
        sys.exit(netns.SKIP)
    factor = matrixlib.time_factor()
    margin = START_MARGIN_S * factor
    # No link is needed for the usage text.
    notice = matrixlib.notice_line(lambda args: run_pendrel(args, timeout=30))

    with tempfile.TemporaryDirectory(prefix="pendrel-matrix-eth-") as directory, \
            contextlib.ExitStack() as labs:
        lab_of = [labs.enter_context(netns.Lab(controllers=1)) for _ in range(WORKERS)]

        def run_cell(worker, row, kind, expect, image):
            lab = lab_of[worker]
            flash = os.path.join(directory, "flash-%d.bin" % worker)
            if os.path.exists(flash):
                os.unlink(flash)
            before = matrixlib.file_hash(image)
            sim = lab.start_sim(0, matrixlib.sim_args(row, expect.fault, flash))
            matrixlib.favour(sim.pid)
            try:
                started = time.monotonic()
                code, out, err = lab.run_pendrel(matrixlib.pendrel_args(row, image) + ["-eth"],
                                                 timeout=expect.max_wait / 1000.0 + margin + 30)
                elapsed = time.monotonic() - started
                if expect.rebooted:
                    # It stops by itself once the host has closed after the reboot.
                    try:
                        sim.wait(timeout=5)
                    except Exception:
                        pass
            finally:
                _, sim_out = lab.stop_sim(sim)
            return matrixlib.judge_run(expect, code, out, err, elapsed, margin, image, before,
                                        sim_out.decode(errors="replace"), flash)

        print("time factor %.1f, start-up margin %.1f s" % (factor, margin))
        bad = matrixlib.run_matrix(matrixlib.ETHERNET, run_cell, WORKERS, notice, directory)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
