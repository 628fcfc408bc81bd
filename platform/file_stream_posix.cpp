#include "file_stream.h"

void FileStreamCloser::operator()(std::FILE* stream) const { std::fclose(stream); }

FileStream OpenFileForWriting(const Path& path) {
  return FileStream(std::fopen(path.c_str(), "wb"));
}

bool CloseFileStream(FileStream stream) {
  if (!stream) return false;
  return std::fclose(stream.release()) == 0;
}
