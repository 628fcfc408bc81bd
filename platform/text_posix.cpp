#include "text.h"

#include <iconv.h>
#include <limits.h>
#include <locale.h>
#include <wchar.h>
#include <wctype.h>

#include <memory>
#include <type_traits>

#include "path.h"

bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra;
    unsigned long cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += extra + 1;
  }
  return true;
}

namespace {

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvPtr = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

bool IsAscii(const std::string& text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Restores the thread's locale when it goes.
struct ThreadLocale {
  explicit ThreadLocale(locale_t use) : previous(uselocale(use)) {}
  ~ThreadLocale() { uselocale(previous); }
  locale_t previous;
};

}  // namespace

bool LegacyChineseToUtf8(const std::string& bytes, std::string* utf8) {
  // CP936 is the Windows form of GBK (0x80 is the euro sign there).
  IconvPtr cd(iconv_open("UTF-8", "CP936"));
  if (cd.get() == reinterpret_cast<iconv_t>(-1)) {
    cd.release();
    return false;
  }
  // One or two bytes in, at most three out each.
  std::string out(bytes.size() * 3, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  char* next = &out[0];
  size_t out_left = out.size();
  if (iconv(cd.get(), &in, &in_left, &next, &out_left) == static_cast<size_t>(-1) || in_left)
    return false;
  out.resize(out.size() - out_left);
  *utf8 = std::move(out);
  return true;
}

std::string UpperCaseForNames(const std::string& utf8) {
  if (IsAscii(utf8) || !IsValidUtf8(utf8)) return UpperCaseAscii(utf8);
  // The C.UTF-8 locale carries the full Unicode case mappings, whatever
  // locale the process runs in.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (!unicode) return UpperCaseAscii(utf8);
  ThreadLocale scope(unicode);
  std::string out;
  out.reserve(utf8.size());
  mbstate_t in_state{}, out_state{};
  const char* p = utf8.data();
  size_t left = utf8.size();
  char encoded[MB_LEN_MAX];
  while (left > 0) {
    wchar_t wc;
    const size_t used = mbrtowc(&wc, p, left, &in_state);
    if (used == 0 || used > left) return UpperCaseAscii(utf8);
    const size_t made = wcrtomb(encoded, static_cast<wchar_t>(towupper_l(wc, unicode)), &out_state);
    if (made == static_cast<size_t>(-1)) return UpperCaseAscii(utf8);
    out.append(encoded, made);
    p += used;
    left -= used;
  }
  return out;
}

std::string PathToUtf8(const Path& path) { return path; }

bool PathFromUtf8(const std::string& utf8, Path* path) {
  if (!IsValidUtf8(utf8)) {
    path->clear();
    return false;
  }
  *path = utf8;
  return true;
}
