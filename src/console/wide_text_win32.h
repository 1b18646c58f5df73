// Text between the program's UTF-8 strings and the UTF-16 of Windows' wide
// calls, which take every name (files, users, ports) as the user wrote it,
// whatever the ANSI code page.
#pragma once

#include <windows.h>

#include <string>

// `text` for a wide call. Text that is not valid UTF-8 (from a call that
// gives the ANSI code page, such as getenv) is taken in that code page.
inline std::wstring WideText(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  UINT codePage = CP_UTF8;
  int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (length == 0) {
    codePage = CP_ACP;
    length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  }
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], length);
  return wide;
}

// The UTF-8 of a wide string.
inline std::string Utf8Text(const wchar_t* wide, int length = -1) {
  if (length < 0) length = lstrlenW(wide);
  if (length == 0) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, length, &text[0], size, nullptr, nullptr);
  return text;
}
