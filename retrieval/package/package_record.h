#pragma once

// The record of a package: what the updater knows of the package it
// installed last (update/installed.record), and of the package it is about
// to install (update/pending.record, which the install step renames over
// the first once the package is in place). Plain text, one field per line,
// "name=value":
//   timestamp=<unix time>   the signed timestamp, when the signature had one
//   blake2b=<128 hex digits> the package's BLAKE2b-512 (what `b2sum` prints)
//   size=<bytes>            the package's size
//   etag=<text>             the server's ETag for it, as sent, when it sent one
//   last-modified=<date>    the server's Last-Modified for it, as sent, when
//                           it sent one
// Records written by earlier versions name the package by its SHA-256
// instead ("sha256=<64 hex digits>"): they are read, and match no package.
// Main thread; nothing here prints.

#include <cstdint>
#include <string>

#include "path.h"

struct PackageRecord {
  bool has_timestamp = false;
  int64_t timestamp = 0;
  std::string blake2b;  // lower-case hex; empty in an earlier version's record
  uint64_t size = 0;
  std::string etag;           // empty: none
  std::string last_modified;  // empty: none
};

// Reads and checks a record. False when it is missing, unreadable or
// damaged in any way (an unknown or repeated field, a malformed value, a
// missing line end): such a record counts as none.
bool ReadPackageRecord(const Path& path, PackageRecord* record);

// Writes the record atomically: a temporary file beside it, put on the
// disk, then renamed over `path`. False (with nothing left behind but an
// earlier record) when a step fails.
bool WritePackageRecord(const Path& path, const PackageRecord& record);

// Lower-case hexadecimal of `count` bytes.
std::string HexOf(const unsigned char* bytes, std::size_t count);
