"""pendrel.exe -eth under Wine in a private network: the Ethernet scenarios
of test_eth_program.py, test_eth_login.py and test_eth_discovery.py run with
the Windows program.

Winsock's sockets are made by the wineserver, so the network gets a prefix
whose server is started inside the programmer's namespace before any Wine
program runs, and a run goes ahead only while that server is seen to live
there (programs.Windows.network). Nothing of this test ever sends from the
machine's own network."""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import programs  # noqa: E402
import test_eth_discovery as discovery  # noqa: E402
import test_eth_login as login  # noqa: E402
import test_eth_program as whole_runs  # noqa: E402
import winelib  # noqa: E402

# All of them: once the network's prefix has booted, each is a second or
# two, and each reaches Winsock its own way (the broadcast and its replies:
# none, two, garbage, a datagram too long for the receive buffer, which
# Winsock fails with WSAEMSGSIZE; the TCP stream of the login and of a whole
# job; a peer that closes the connection or falls silent).


def main():
    netns.skip_unless_possible()
    winelib.require_wine()
    program = programs.Windows()
    checks = netns.Checks()
    try:
        with tempfile.TemporaryDirectory(prefix="pendrel-wine-eth-") as scratch:
            whole_runs.full_runs(checks, scratch, program)
            whole_runs.broken_runs(checks, scratch, program)
            login.logins(checks, program)
            discovery.discover(checks, program)
    finally:
        program.close()
    checks.finish()


if __name__ == "__main__":
    main()
