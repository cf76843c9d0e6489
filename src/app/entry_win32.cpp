#include "app/process_win32.h"
#include "convert/plugin_host_win32.h"

// The GUI entry point; declared by hand so that the engine needs no
// <windows.h>.
struct HINSTANCE__;
extern "C" int __stdcall wWinMain(HINSTANCE__* instance, HINSTANCE__*, wchar_t*, int)
{
    if (std::optional<int> hostExit = vrelk::RunPluginHostIfAsked())
        return *hostExit;
    return vrelk::RunProcess(instance);
}
