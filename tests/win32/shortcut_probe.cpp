// Reads a shell shortcut (.lnk) back through the system's own IShellLink and prints
// what it points at, one "key=value" line each: target, arguments, working folder,
// icon and description. Exits 1 when the file is no shortcut the system can read.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <string>

namespace {

void Print(const char* key, const wchar_t* value) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(size > 0 ? static_cast<std::size_t>(size) : 1u, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8.data(), size, nullptr, nullptr);
  std::printf("%s=%s\n", key, utf8.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: shortcut_probe <file.lnk>\n", stderr);
    return 2;
  }
  if (FAILED(::CoInitialize(nullptr))) return 1;
  int code = 1;
  IShellLinkW* link = nullptr;
  if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
      if (SUCCEEDED(file->Load(argv[1], STGM_READ))) {
        wchar_t text[MAX_PATH * 2] = {};
        int icon = 0;
        if (SUCCEEDED(link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH))) Print("target", text);
        text[0] = 0;
        link->GetArguments(text, MAX_PATH * 2);
        Print("arguments", text);
        text[0] = 0;
        link->GetWorkingDirectory(text, MAX_PATH * 2);
        Print("working", text);
        text[0] = 0;
        link->GetIconLocation(text, MAX_PATH * 2, &icon);
        Print("icon", text);
        text[0] = 0;
        link->GetDescription(text, MAX_PATH * 2);
        Print("description", text);
        code = 0;
      }
      file->Release();
    }
    link->Release();
  }
  ::CoUninitialize();
  return code;
}
