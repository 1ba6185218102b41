// The control of the planted-library test: loads a library by name the way a
// program without a narrowed search does, from its own folder first.
#include <windows.h>

int wmain(int argc, wchar_t** argv) { return argc > 1 && LoadLibraryW(argv[1]) ? 0 : 1; }
