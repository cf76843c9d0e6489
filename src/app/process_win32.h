// The Windows program's process entry, called from wWinMain.
#pragma once

namespace vrelk {

int RunProcess(void* instance);

}  // namespace vrelk
