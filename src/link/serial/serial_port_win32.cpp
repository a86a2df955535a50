// DCB, SetupComm and COMMTIMEOUTS on a "\\.\COMn" handle.
#include <windows.h>

#include "link/serial/serial_port.h"

namespace {

HANDLE H(SerialHandle handle) { return reinterpret_cast<HANDLE>(handle); }

SerialHandle Open(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidSerialHandle;
  return reinterpret_cast<SerialHandle>(h);
}

bool IsCharacterDevice(SerialHandle handle) { return GetFileType(H(handle)) == FILE_TYPE_CHAR; }

SerialConfigResult Configure(SerialHandle handle, int32_t baudRate, bool noCts) {
  DCB dcb;
  ZeroMemory(&dcb, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(H(handle), &dcb)) return SerialConfigResult::GetStateFailed;
  dcb.BaudRate = static_cast<DWORD>(baudRate);
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = noCts ? 0 : 1;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = TWOSTOPBITS;
  if (!SetCommState(H(handle), &dcb)) return SerialConfigResult::SetStateFailed;
  return SerialConfigResult::Ok;
}

void SetupQueues(SerialHandle handle, uint32_t receiveBytes, uint32_t sendBytes) {
  SetupComm(H(handle), receiveBytes, sendBytes);
}

bool SetTimeouts(SerialHandle handle, const SerialTimeouts& t) {
  COMMTIMEOUTS ct;
  ct.ReadIntervalTimeout = t.readInterval;
  ct.ReadTotalTimeoutMultiplier = t.readMultiplier;
  ct.ReadTotalTimeoutConstant = t.readConstant;
  ct.WriteTotalTimeoutMultiplier = t.writeMultiplier;
  ct.WriteTotalTimeoutConstant = t.writeConstant;
  return SetCommTimeouts(H(handle), &ct) != 0;
}

bool Close(SerialHandle handle) { return CloseHandle(H(handle)) != 0; }

bool Write(SerialHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  DWORD n = 0;
  BOOL ok = WriteFile(H(handle), bytes, count, &n, nullptr);
  *written = n;
  return ok != 0;
}

bool Read(SerialHandle handle, uint8_t* bytes, uint32_t count, uint32_t* got) {
  DWORD n = 0;
  BOOL ok = ReadFile(H(handle), bytes, count, &n, nullptr);
  *got = n;
  return ok != 0;
}

// WriteFile itself waits for the bytes to go out, within the write
// time-outs: nothing a completed write leaves is ours to wait for.
bool OutputPending(SerialHandle, uint32_t* bytes) {
  *bytes = 0;
  return true;
}

void DiscardOutput(SerialHandle handle) { PurgeComm(H(handle), PURGE_TXABORT | PURGE_TXCLEAR); }

}  // namespace

const SerialPortApi kSystemSerialPort = {
    .devicePath = SerialPathWindows,
    .open = Open,
    .isCharacterDevice = IsCharacterDevice,
    .configure = Configure,
    .setupQueues = SetupQueues,
    .setTimeouts = SetTimeouts,
    .close = Close,
    .write = Write,
    .read = Read,
    .outputPending = OutputPending,
    .discardOutput = DiscardOutput,
};
