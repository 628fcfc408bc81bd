#pragma once

// Text in the encodings that archive names come in. Any thread; nothing
// here prints.

#include <string>

// True for strict UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF.
bool IsValidUtf8(const std::string& text);

// Bytes in the Simplified Chinese legacy code page (936, GBK), as archivers
// on Chinese Windows write entry names, converted to UTF-8 by the system.
// False, leaving *utf8 alone, when the bytes are not valid in that code
// page.
bool LegacyChineseToUtf8(const std::string& bytes, std::string* utf8);

// The text with its ASCII letters upper-cased, every other byte kept.
inline std::string UpperCaseAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// UTF-8 text with its letters upper-cased as Windows does when it compares
// file names, so that two names Windows would take for one file give equal
// results. Only the ASCII letters of text that is not valid UTF-8 change.
std::string UpperCaseForNames(const std::string& utf8);
