// talo-sim's front ends. Each takes the arguments after its subcommand and
// returns the process exit code: 0 after a clean run, 1 when the host made a
// mistake the controller noticed, 2 for a usage or set-up failure.
#pragma once

int RunSerialFrontEnd(int argc, char** argv);
int RunEthernetFrontEnd(int argc, char** argv);
