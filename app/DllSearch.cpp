#include "app/DllSearch.h"

#include <windows.h>

void RestrictDllSearch() {
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetDllDirectoryW(L"");  // also drops the current directory from the legacy order
}
