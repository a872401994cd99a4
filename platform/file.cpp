// plat_fopen_write: fopen elsewhere, _wfopen on a UTF-16 copy of the name under _WIN32.
#include "platform/file.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstdlib>
#endif

FILE *plat_fopen_write(const char *utf8_path) {
#if defined(_WIN32)
  // Invalid UTF-8 fails rather than becoming U+FFFD, which would name some other file.
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8_path, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t *wide = static_cast<wchar_t *>(malloc(static_cast<size_t>(n) * sizeof(wchar_t)));
  if (wide == nullptr) return nullptr;
  FILE *f = nullptr;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8_path, -1, wide, n) == n)
    f = _wfopen(wide, L"wb");
  free(wide);
  return f;
#else
  return fopen(utf8_path, "wb");
#endif
}
