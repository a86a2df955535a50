#include <sys/stat.h>

#include "flash/file_length.h"

bool RegularFileLength(std::FILE* file, uint64_t* length) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
  *length = static_cast<uint64_t>(st.st_size);
  return true;
}
