// Windows entry of the conformance probe: conformance.exe <scratch root>.
#include "platform/platform.h"
#include "tools/conformance/conformance.h"

int wmain(int argc, WCHAR** argv) {
  if (argc != 2) {
    wprintf(TEXT("usage: conformance.exe <scratch directory to create>\n"));
    return 2;
  }
  return RunConformance(argv[1]);
}
