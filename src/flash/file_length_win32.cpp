// _fstat64: the 32-bit runtime's plain _fstat and _filelength stop at 2 GB.
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "flash/file_length.h"

bool RegularFileLength(std::FILE* file, uint64_t* length) {
  struct _stat64 st;
  if (_fstat64(_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG || st.st_size < 0) return false;
  *length = static_cast<uint64_t>(st.st_size);
  return true;
}
