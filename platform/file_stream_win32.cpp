#include <stdio.h>

#include "file_stream.h"

void FileStreamCloser::operator()(std::FILE* stream) const { fclose(stream); }

// The wide open reaches every Unicode path; the narrow one only the ANSI
// code page's.
FileStream OpenFileForWriting(const Path& path) { return FileStream(_wfopen(path.c_str(), L"wb")); }

bool CloseFileStream(FileStream stream) {
  if (!stream) return false;
  return fclose(stream.release()) == 0;
}
