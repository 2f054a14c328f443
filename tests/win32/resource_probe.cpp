// Reads the version resource and the manifest back from an executable and checks
// them against what the program must carry. Prints each mismatch; exits non-zero
// on any.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int gFailures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "MISMATCH", what);
  if (!ok) ++gFailures;
}

std::wstring QueryString(const std::vector<BYTE>& block, const wchar_t* path) {
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), path, &value, &length) || value == nullptr || length == 0) return {};
  return std::wstring(static_cast<const wchar_t*>(value));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: win32_resource_probe <executable>\n");
    return 2;
  }
  const wchar_t* file = argv[1];
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(file, &handle);
  std::vector<BYTE> block(size);
  Check(size > 0 && ::GetFileVersionInfoW(file, 0, size, block.data()), "has a version resource");
  if (gFailures) return 1;

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedLength = 0;
  Check(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedLength) && fixed != nullptr,
        "has fixed file information");
  if (fixed) {
    Check(fixed->dwFileVersionMS == MAKELONG(0, 1) && fixed->dwFileVersionLS == 0, "FILEVERSION 1,0,0,0");
    Check(fixed->dwProductVersionMS == MAKELONG(0, 1) && fixed->dwProductVersionLS == 0, "PRODUCTVERSION 1,0,0,0");
  }

  struct Translation {
    WORD Language;
    WORD CodePage;
  }* translation = nullptr;
  UINT translationLength = 0;
  Check(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                         &translationLength) &&
            translationLength == sizeof(Translation) && translation->Language == 0x0409 &&
            translation->CodePage == 1252,
        "Translation 0x0409, 1252 (US English, Windows Latin-1)");

  struct Value {
    const wchar_t* Name;
    const wchar_t* Expected;
  } values[] = {
      {L"FileDescription", L"Velmora Controller Configuration"},
      {L"FileVersion", L"1.0.0.0"},
      {L"ProductVersion", L"1.0.0.0"},
      {L"ProductName", L"Velmora Controller Connection Utility"},
  };
  for (const Value& v : values) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904E4\\") + v.Name;
    const std::wstring actual = QueryString(block, path.c_str());
    std::string label = "StringFileInfo 040904E4 ";
    for (const wchar_t* c = v.Name; *c; ++c) label += static_cast<char>(*c);
    Check(actual == v.Expected, label.c_str());
  }

  // The manifest, as the loader reads it: RT_MANIFEST, id 1.
  HMODULE module = ::LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  Check(module != nullptr, "loads as a resource module");
  if (module == nullptr) return 1;
  HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  Check(resource != nullptr, "has RT_MANIFEST 1");
  std::string manifest;
  if (resource) {
    const char* data = static_cast<const char*>(::LockResource(::LoadResource(module, resource)));
    manifest.assign(data, ::SizeofResource(module, resource));
  }
  ::FreeLibrary(module);
  const char* fragments[] = {
      "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
      "processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\"",
      "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
  };
  for (const char* fragment : fragments) {
    // Attributes may be wrapped: compare with runs of white space made single.
    std::string flat;
    for (char c : manifest) {
      const bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t';
      if (space && (flat.empty() || flat.back() == ' ')) continue;
      flat += space ? ' ' : c;
    }
    Check(flat.find(fragment) != std::string::npos, fragment);
  }
  return gFailures == 0 ? 0 : 1;
}
