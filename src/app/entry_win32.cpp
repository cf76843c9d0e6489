#include "app/process_win32.h"

// The GUI entry point; declared by hand so that the engine needs no
// <windows.h>.
struct HINSTANCE__;
extern "C" int __stdcall wWinMain(HINSTANCE__* instance, HINSTANCE__*, wchar_t*, int)
{
    return vrelk::RunProcess(instance);
}
