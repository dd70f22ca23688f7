// The platform facts on Windows, through the Win32 calls (wide-character, converted to UTF-8).
#include "platform.h"

// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build (cmake/KmqWindows.cmake).
#include <windows.h>

#include <vector>

namespace fbsdk_internal {
namespace {

std::string Utf8(const wchar_t* pText, int pLength) {
  if (pLength <= 0) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, pText, pLength, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, pText, pLength, &text[0], size, nullptr, nullptr);
  return text;
}

// The full path of a module (NULL: the program), however long.
std::string ModulePath(HMODULE pModule) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(pModule, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::string();
    if (length < buffer.size()) return Utf8(buffer.data(), static_cast<int>(length));
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

size_t LastSeparator(const std::string& pPath) { return pPath.find_last_of("\\/"); }

}  // namespace

std::string ExecutableFolder() {
  const std::string exe = ModulePath(nullptr);
  const size_t separator = LastSeparator(exe);
  return separator == std::string::npos ? "." : exe.substr(0, separator);
}

std::string TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);  // Ends with a backslash.
  std::string text = length > 0 ? Utf8(buffer, static_cast<int>(length)) : std::string(".\\");
  if (text.back() != '\\' && text.back() != '/') text += '\\';
  return text;
}

std::string ComputerName() {
  wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(buffer, &length)) return std::string();
  return Utf8(buffer, static_cast<int>(length));
}

std::string ModuleFileNameOf(const void* pAddress) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(pAddress), &module)) {
    return std::string();
  }
  const std::string path = ModulePath(module);
  const size_t separator = LastSeparator(path);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace fbsdk_internal
