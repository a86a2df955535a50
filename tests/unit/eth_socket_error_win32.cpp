// The fake socket table's way of leaving a socket error behind, as a failing
// Winsock call does.
#include <winsock.h>

void FakeSocketError(int error) { WSASetLastError(error); }
