// Placeholder until the wide CRT lands.
#include <cstdlib>
#include "sim/sim.h"
FILE* _wfopen(const WCHAR*, const WCHAR*) { abort(); }
WCHAR* fgetws(WCHAR*, int, FILE*) { abort(); }
size_t wcslen(const WCHAR* s) { size_t n = 0; while (s[n]) ++n; return n; }
int wcscmp(const WCHAR*, const WCHAR*) { abort(); }
int wcsncmp(const WCHAR*, const WCHAR*, size_t) { abort(); }
WCHAR* wcscpy(WCHAR*, const WCHAR*) { abort(); }
WCHAR* wcsncpy(WCHAR*, const WCHAR*, size_t) { abort(); }
WCHAR* wcscat(WCHAR*, const WCHAR*) { abort(); }
const WCHAR* wcsstr(const WCHAR*, const WCHAR*) { abort(); }
WCHAR* wcsstr(WCHAR*, const WCHAR*) { abort(); }
const WCHAR* wcschr(const WCHAR*, WCHAR) { abort(); }
WCHAR* wcschr(WCHAR*, WCHAR) { abort(); }
int swprintf(WCHAR*, size_t, const WCHAR*, ...) { abort(); }
int wprintf(const WCHAR*, ...) { abort(); }
