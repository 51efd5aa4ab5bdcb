#include "platform/platform.h"

int wmain(int argc, WCHAR** argv) {
  (void)argc;
  (void)argv;
  ExitProcess(1);
}
