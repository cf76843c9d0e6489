#include "app/app_win32.h"

namespace vrelk {

// The help viewer is not wired up yet; the program runs without it.
bool LoadHtmlHelp() { return false; }

void initialiseHtmlHelp(DWORD_PTR& cookie)
{
    cookie = 0;
    LoadHtmlHelp();
}

void uninitialiseHtmlHelp(DWORD_PTR) {}

}  // namespace vrelk
