// Resolves tarvik.inf through the platform's INF parser (setupapi) and prints what an
// installation would use, one "key: value" line each, for tests/windows/check_inf.py to
// compare. Built for Windows and run under Wine, whose setupapi is a parser we did not write.
//   inf_probe.exe PATH\tarvik.inf
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

HINF g_inf = INVALID_HANDLE_VALUE;

std::string Field(INFCONTEXT* line, DWORD index) {
  char text[1024];
  DWORD length = 0;
  if (!SetupGetStringFieldA(line, index, text, sizeof text, &length)) return "<none>";
  return text;
}

// Every line of a section as "field1,field2,...", or "<missing>" when the section is absent.
void PrintSection(const char* key, const std::string& section) {
  INFCONTEXT line;
  if (!SetupFindFirstLineA(g_inf, section.c_str(), nullptr, &line)) {
    std::printf("%s: <missing>\n", key);
    return;
  }
  do {
    std::string text;
    DWORD fields = SetupGetFieldCount(&line);
    for (DWORD i = 0; i <= fields; ++i) {
      if (i == 0 && Field(&line, 0) == "<none>") continue;  // a line without a key
      if (!text.empty()) text += ",";
      text += Field(&line, i);
    }
    std::printf("%s: %s\n", key, text.c_str());
  } while (SetupFindNextLine(&line, &line));
}

std::string Value(const std::string& section, const char* key, DWORD index = 1) {
  INFCONTEXT line;
  if (!SetupFindFirstLineA(g_inf, section.c_str(), key, &line)) return "<missing>";
  return Field(&line, index);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: inf_probe PATH.inf\n");
    return 2;
  }
  UINT errorLine = 0;
  g_inf = SetupOpenInfFileA(argv[1], nullptr, INF_STYLE_WIN4, &errorLine);
  if (g_inf == INVALID_HANDLE_VALUE) {
    std::printf("open: failed at line %u, error %lu\n", errorLine, GetLastError());
    return 1;
  }
  std::printf("signature: %s\n", Value("Version", "Signature").c_str());
  std::printf("class: %s %s\n", Value("Version", "Class").c_str(),
              Value("Version", "ClassGuid").c_str());
  std::printf("driver version: %s\n", Value("Version", "DriverVer", 2).c_str());
  PrintSection("class install (98)", Value("ClassInstall", "AddReg"));
  PrintSection("class install (NT)", Value("ClassInstall32", "AddReg"));

  INFCONTEXT maker;
  if (!SetupFindFirstLineA(g_inf, "Manufacturer", nullptr, &maker)) {
    std::printf("manufacturer: <missing>\n");
    return 1;
  }
  const std::string models = Field(&maker, 1);
  std::printf("manufacturer: %s -> %s\n", Field(&maker, 0).c_str(), models.c_str());
  INFCONTEXT model;
  if (!SetupFindFirstLineA(g_inf, models.c_str(), nullptr, &model)) {
    std::printf("model: <missing>\n");
    return 1;
  }
  const std::string install = Field(&model, 1);
  std::printf("model: %s -> %s for %s\n", Field(&model, 0).c_str(), install.c_str(),
              Field(&model, 2).c_str());

  // What the NT family installs from: the section with the platform's decoration.
  char actual[256];
  char* extension = nullptr;
  if (!SetupDiGetActualSectionToInstallA(g_inf, install.c_str(), actual, sizeof actual, nullptr,
                                         &extension)) {
    std::printf("install (NT): <unresolved>\n");
    return 1;
  }
  std::printf("install (NT): %s\n", actual);
  const std::string nt = actual;
  const std::string copy = Value(nt, "CopyFiles");
  PrintSection("copy (NT)", copy);
  char target[MAX_PATH];
  if (SetupGetTargetPathA(g_inf, nullptr, copy.c_str(), target, sizeof target, nullptr)) {
    std::printf("target folder: %s\n", target);
  }
  UINT disk = 0;
  DWORD size = 0;
  if (SetupGetSourceFileLocationA(g_inf, nullptr, "tarvik.sys", &disk, nullptr, 0, &size)) {
    char name[256];
    if (!SetupGetSourceInfoA(g_inf, disk, SRCINFO_DESCRIPTION, name, sizeof name, nullptr)) {
      std::snprintf(name, sizeof name, "<none>");
    }
    std::printf("source: disk %u, %s\n", disk, name);
  }
  INFCONTEXT service;
  if (SetupFindFirstLineA(g_inf, (nt + ".Services").c_str(), "AddService", &service)) {
    const std::string section = Field(&service, 3);
    std::printf("service (NT): %s flags %s -> %s\n", Field(&service, 1).c_str(),
                Field(&service, 2).c_str(), section.c_str());
    for (const char* key : {"ServiceType", "StartType", "ErrorControl", "ServiceBinary"}) {
      std::printf("service %s: %s\n", key, Value(section, key).c_str());
    }
  } else {
    std::printf("service (NT): <missing>\n");
  }

  // The 98/Me family reads the undecorated section.
  PrintSection("copy (98)", Value(install, "CopyFiles"));
  PrintSection("registry (98)", Value(install, "AddReg"));
  SetupCloseInfFile(g_inf);
  return 0;
}
