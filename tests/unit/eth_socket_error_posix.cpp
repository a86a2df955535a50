// The fake socket table's way of leaving a socket error behind, as a failing
// BSD socket call does.
#include <cerrno>

void FakeSocketError(int error) { errno = error; }
