/* The test plug-ins' own image format, shared by the plug-in and the Wine
   tests: a 64-byte header, possibly behind a 128-byte prefix, that says
   what the plug-in hands back. The pixels are a pattern the plug-in makes,
   so a large picture needs no large file. All numbers little-endian. */
#ifndef VRELK_TEST_PLUGIN_FORMAT_H
#define VRELK_TEST_PLUGIN_FORMAT_H

#include <stdint.h>

#define TP_MAGIC "TPLGTEST"
#define TP_HEADER_BYTES 64
/* The plug-ins append one line per call to the file this variable names. */
#define TP_LOG_VARIABLE L"SPI_TEST_LOG"

/* Field offsets in the header. */
enum {
    TP_WIDTH = 8,            /* int32: biWidth */
    TP_HEIGHT = 12,          /* int32: biHeight, negative for top-down */
    TP_BITS = 16,            /* uint16: biBitCount */
    TP_COLOURS = 18,         /* uint16: palette entries in the info block */
    TP_COMPRESSION = 20,     /* uint32: biCompression */
    TP_PIXEL_BYTES = 24,     /* int32: size of the pixel block, 0 for stride x height */
    TP_INFO_RESULT = 28,     /* int32: what GetPictureInfo returns */
    TP_PICTURE_RESULT = 32,  /* int32: what GetPicture returns */
    TP_FLAGS = 36,           /* uint32: TP_TEXT_* */
    TP_INFO_BYTES = 40,      /* int32: size of the info block, 0 for 40 + 4 x colours */
    TP_ACCEPT_NAME = 44,     /* 20 chars: only the plug-in file of this name accepts; empty: any */
    TP_ACCEPT_NAME_BYTES = 20
};

/* Where GetPictureInfo puts a text handle, if anywhere; TP_V4_HEADER:
   GetPicture's info block has a 108-byte header before the palette. */
enum { TP_TEXT_PACKED = 1, TP_TEXT_ALIGNED = 2, TP_V4_HEADER = 4 };

static inline uint8_t tpPixelByte(uint32_t index)
{
    return (uint8_t)(index * 7u + (index >> 9) + 1u);
}

/* Palette entry k: blue k, green 255 - k, red 3k. */
static inline uint8_t tpPaletteByte(uint32_t entry, uint32_t channel)
{
    switch (channel) {
    case 0: return (uint8_t)entry;
    case 1: return (uint8_t)(255u - entry);
    case 2: return (uint8_t)(entry * 3u);
    default: return 0;
    }
}

#endif
