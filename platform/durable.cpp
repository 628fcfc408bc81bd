#include "durable.h"

#include "files.h"

bool ReadWholeFile(const Path& path, std::string* content) {
  bool missing;
  return ReadWholeFile(path, content, &missing);
}

bool WriteFileAtomically(const Path& path, const std::string& content) {
  const Path temporary = path + PATH_TEXT(".tmp");
  bool written;
  {
    DurableFile file;
    written = file.Create(temporary) && file.Append(content) && file.Flush();
  }  // closed before the rename, which Windows needs
  if (!written || !MoveReplacing(temporary, path)) {
    RemoveFileEntry(temporary);
    return false;
  }
  return true;
}
