/* An import filter for the format of test_plugin_format.h, and, built with
   other definitions or export lists, its broken variants: among them ones
   that fault in IsSupported or GetPicture, never return from DllMain,
   GetPluginInfo, IsSupported or GetPicture, or leave a thread behind in
   GetPicture that ends the process while the host serves the next file.
   Every call is logged with its arguments to the file named by
   TP_LOG_VARIABLE. */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "test_plugin_format.h"

#ifdef TP_ARCHIVE
#define TP_KIND "00AM"
#else
#define TP_KIND "00IN"
#endif

/* The faulting variants write here; the compiler cannot know it is null,
   so the fault is a real write and not a trap instruction. */
static int* volatile nowhere = NULL;

typedef int(__stdcall* ProgressProc)(int number, int denominator, long userData);

static char selfName[MAX_PATH];
static HLOCAL handedInfo;
static HLOCAL handedBits;
static HGLOBAL handedText;
#ifdef TP_EXIT_LATER
/* Set when the host turns to its next file; the library is pinned, so the
   thread left behind still has code to run then. */
static HANDLE nextFileBegun;
#endif

static void logLine(const char* format, ...)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(TP_LOG_VARIABLE, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    int used = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (used < 0 || used >= (int)sizeof line - 1)
        used = (int)sizeof line - 2;
    line[used++] = '\n';
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line, (DWORD)used, &written, NULL);
    CloseHandle(file);
}

static const char* fate(HLOCAL handle)
{
    if (!handle)
        return "none";
    return LocalFlags(handle) == LMEM_INVALID_HANDLE ? "freed" : "held";
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH] = "";
        GetModuleFileNameA(instance, path, MAX_PATH);
        const char* slash = strrchr(path, '\\');
        lstrcpynA(selfName, slash ? slash + 1 : path, MAX_PATH);
        logLine("attach\t%s", selfName);
#ifdef TP_FAIL_MAIN
        return FALSE;
#endif
#ifdef TP_HANG_MAIN
        Sleep(INFINITE);
#endif
    } else if (reason == DLL_PROCESS_DETACH) {
        logLine("detach\t%s\tinfo=%s\tbits=%s\ttext=%s", selfName, fate(handedInfo), fate(handedBits),
                fate(handedText));
    }
    return TRUE;
}

static uint32_t u32At(const uint8_t* bytes, int at)
{
    return (uint32_t)bytes[at] | (uint32_t)bytes[at + 1] << 8 | (uint32_t)bytes[at + 2] << 16 |
           (uint32_t)bytes[at + 3] << 24;
}

static int32_t s32At(const uint8_t* bytes, int at) { return (int32_t)u32At(bytes, at); }
static uint16_t u16At(const uint8_t* bytes, int at) { return (uint16_t)(bytes[at] | bytes[at + 1] << 8); }

static void putU32(uint8_t* bytes, int at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[at + i] = (uint8_t)(value >> (8 * i));
}

/* Reads the header at `offset` of the file the host names. */
static int readHeader(LPCSTR path, long offset, uint8_t header[TP_HEADER_BYTES])
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD got = 0;
    BOOL read = SetFilePointer(file, offset, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                ReadFile(file, header, TP_HEADER_BYTES, &got, NULL);
    CloseHandle(file);
    return read && got == TP_HEADER_BYTES && memcmp(header, TP_MAGIC, 8) == 0;
}

int __stdcall GetPluginInfo(int infoNumber, LPSTR buffer, int length)
{
    int zeroed = 1;
    for (int i = 0; i < length; i++)
        zeroed &= buffer[i] == 0;
    logLine("GetPluginInfo\t%s\t%d\t%d\t%s", selfName, infoNumber, length, zeroed ? "zeroed" : "dirty");
#ifdef TP_HANG_INFO
    Sleep(INFINITE);
#endif
#ifdef TP_EXIT_LATER
    if (nextFileBegun) {
        SetEvent(nextFileBegun);
        Sleep(INFINITE);
    }
#endif
    if (infoNumber != 0 || length < 4)
        return 0;
    memcpy(buffer, TP_KIND, 4);
    return 4;
}

int __stdcall IsSupported(LPCSTR path, const void* data)
{
    const uint8_t* head = (const uint8_t*)data;
    char acceptName[TP_ACCEPT_NAME_BYTES + 1] = "";
    memcpy(acceptName, head + TP_ACCEPT_NAME, TP_ACCEPT_NAME_BYTES);
    int accepted = memcmp(head, TP_MAGIC, 8) == 0 && (!acceptName[0] || lstrcmpiA(acceptName, selfName) == 0);
    logLine("IsSupported\t%s\t%s\t%02X%02X%02X%02X\t%d", selfName, path, head[0], head[1], head[2], head[3],
            accepted);
#ifdef TP_CRASH_SUPPORTED
    *nowhere = accepted;
#endif
#ifdef TP_HANG_SUPPORTED
    Sleep(INFINITE);
#endif
    return accepted;
}

int __stdcall GetPictureInfo(LPCSTR path, long offset, unsigned flag, void* record)
{
    uint8_t header[TP_HEADER_BYTES];
    int opened = readHeader(path, offset, header);
    int result = opened ? s32At(header, TP_INFO_RESULT) : 6;
    logLine("GetPictureInfo\t%s\t%s\t%ld\t%u\topen=%d\t%d", selfName, path, offset, flag, opened, result);
    if (!opened)
        return result;
    /* left, top, width, height, two densities, colour depth; the text
       handle right behind them (packed) or at the next 4-byte boundary. */
    uint8_t* info = (uint8_t*)record;
    memset(info, 0, 22);
    putU32(info, 8, u32At(header, TP_WIDTH));
    putU32(info, 12, u32At(header, TP_HEIGHT));
    info[20] = header[TP_BITS];
    const uint32_t flags = u32At(header, TP_FLAGS);
    if (flags & (TP_TEXT_PACKED | TP_TEXT_ALIGNED)) {
        handedText = GlobalAlloc(GMEM_MOVEABLE, 16);
        putU32(info, flags & TP_TEXT_PACKED ? 22 : 24, (uint32_t)(uintptr_t)handedText);
    }
    return result;
}

static HLOCAL infoBlock(const uint8_t* header)
{
    const uint32_t colours = u16At(header, TP_COLOURS);
    const uint32_t headerSize = u32At(header, TP_FLAGS) & TP_V4_HEADER ? 108 : 40;
    const int32_t asked = s32At(header, TP_INFO_BYTES);
    const uint32_t size = asked > 0 ? (uint32_t)asked : headerSize + 4 * colours;
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size);
    uint8_t* bytes = block ? (uint8_t*)LocalLock(block) : NULL;
    if (!bytes)
        return block;
    uint8_t full[40] = {0};
    putU32(full, 0, headerSize);
    putU32(full, 4, u32At(header, TP_WIDTH));
    putU32(full, 8, u32At(header, TP_HEIGHT));
    full[12] = 1;
    full[14] = header[TP_BITS];
    full[15] = header[TP_BITS + 1];
    putU32(full, 16, u32At(header, TP_COMPRESSION));
    putU32(full, 24, 2835);
    putU32(full, 28, 2835);
    memcpy(bytes, full, size < 40 ? size : 40);
    for (uint32_t k = 0; k < colours && headerSize + 4 * k + 4 <= size; k++)
        for (uint32_t c = 0; c < 4; c++)
            bytes[headerSize + 4 * k + c] = tpPaletteByte(k, c);
    LocalUnlock(block);
    return block;
}

static HLOCAL pixelBlock(const uint8_t* header)
{
    const int32_t width = s32At(header, TP_WIDTH);
    const int32_t height = s32At(header, TP_HEIGHT);
    const uint64_t rowBytes = ((uint64_t)(width < 0 ? -width : width) * u16At(header, TP_BITS) + 7) / 8;
    const uint64_t whole = (rowBytes + 3) / 4 * 4 * (uint64_t)(height < 0 ? -height : height);
    const int32_t asked = s32At(header, TP_PIXEL_BYTES);
    const uint64_t size = asked > 0 ? (uint64_t)asked : whole;
    if (size == 0 || size > 0x7FFFFFFF)
        return NULL;
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, (SIZE_T)size);
    uint8_t* bytes = block ? (uint8_t*)LocalLock(block) : NULL;
    if (!bytes)
        return block;
    for (uint32_t i = 0; i < (uint32_t)size; i++)
        bytes[i] = tpPixelByte(i);
    LocalUnlock(block);
    return block;
}

#ifdef TP_EXIT_LATER
/* Outlives the call that started it, as a filter's worker thread may, and
   ends the process while the host is busy with another file. */
static DWORD WINAPI endProcessLater(void* unused)
{
    (void)unused;
    WaitForSingleObject(nextFileBegun, INFINITE);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

static void leaveThreadBehind(void)
{
    HMODULE self = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCWSTR)(void*)endProcessLater, &self);
    if (!nextFileBegun)
        nextFileBegun = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, endProcessLater, NULL, 0, NULL);
    if (thread)
        CloseHandle(thread);
}
#endif

int __stdcall GetPicture(LPCSTR path, long offset, unsigned flag, HLOCAL* info, HLOCAL* bits, ProgressProc progress,
                         long userData)
{
    uint8_t header[TP_HEADER_BYTES];
    int opened = readHeader(path, offset, header);
#if defined(TP_CRASH_PICTURE)
    logLine("GetPicture\t%s\t%s\tfaults", selfName, path);
    *nowhere = opened;
#elif defined(TP_HANG_PICTURE)
    logLine("GetPicture\t%s\t%s\tspins", selfName, path);
    for (volatile int spinning = 1; spinning;) {
    }
#endif
    int first = progress ? progress(0, 1, userData) : -1;
    int result = opened ? s32At(header, TP_PICTURE_RESULT) : 6;
    if (opened) {
        handedInfo = *info = infoBlock(header);
        handedBits = *bits = pixelBlock(header);
    }
    int last = progress ? progress(1, 1, userData) : -1;
    logLine("GetPicture\t%s\t%s\t%ld\t%u\t%ld\tprogress=%d,%d\topen=%d\t%d", selfName, path, offset, flag, userData,
            first, last, opened, result);
#ifdef TP_EXIT_LATER
    leaveThreadBehind();
#endif
    return result;
}
