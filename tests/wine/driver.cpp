// Drives Vrelk.exe under Wine the way a user would. Each tests/wine/wine_*.cpp
// file adds its tests with WINE_TEST.
//
//   wine_driver.exe <Vrelk.exe> <scratch folder> <fixtures folder> [name filter]
//
// Prints one line per check and a closing "N passed, M failed" line.
#include "wine_harness.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: wine_driver <Vrelk.exe> <scratch folder> <fixtures folder> [filter]\n");
        return 2;
    }
    const wchar_t* filter = argc > 4 ? argv[4] : nullptr;
    wine_harness::Harness h(argv[1], argv[2], argv[3]);
    for (const auto& test : wine_harness::registeredTests())
        if (!filter || std::wcsstr(test.name, filter))
            h.run(test.name, test.function);
    return h.finish();
}
