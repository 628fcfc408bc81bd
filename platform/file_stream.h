#pragma once

// C stdio streams opened by native path, each owned by a FileStream that
// closes it. Any thread; every call reports through its result, none prints.

#include <cstdio>
#include <memory>

#include "path.h"

struct FileStreamCloser {
  void operator()(std::FILE* stream) const;
};
using FileStream = std::unique_ptr<std::FILE, FileStreamCloser>;

// Creates or truncates a file for binary writing (C mode "wb"). Empty when
// the file cannot be opened.
FileStream OpenFileForWriting(const Path& path);

// Flushes and closes the stream. False when buffered data could not be
// written out, so that a caller never mistakes a short file for a whole one.
bool CloseFileStream(FileStream stream);
