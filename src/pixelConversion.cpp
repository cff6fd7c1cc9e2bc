#include "pixelConversion.h"

#include <cstring>
#include <limits>

const char *const CHANNEL_MAP_NO_MEMORY = "internal memory full.";
const char *const CHANNEL_MAP_BAD_FORMAT = "invalid format character encountered.";

namespace {

// The channel offset for one format character, or false if the character
// is not one of "rgba0". Compared exactly: no case folding.
bool channelForCharacter(char c, const Tk_PhotoImageBlock &block, int32_t *entry)
{
    switch (c) {
    case 'r': *entry = block.offset[0]; return true;
    case 'g': *entry = block.offset[1]; return true;
    case 'b': *entry = block.offset[2]; return true;
    case 'a': *entry = block.offset[3]; return true;
    case '0': *entry = CHANNEL_ZERO; return true;
    default: return false;
    }
}

}  // namespace

const char *buildChannelMap(const char *format, const Tk_PhotoImageBlock &block,
                            ChannelMap *map)
{
    map->entries = nullptr;
    map->length = 0;

    const size_t length = std::strlen(format);
    if (length == 0) {
        return nullptr;
    }
    // Tcl's allocator takes an unsigned int; a map that cannot be asked for
    // cannot be had either.
    const uint64_t bytes = static_cast<uint64_t>(length) * sizeof(int32_t);
    if (bytes > std::numeric_limits<unsigned int>::max()) {
        return CHANNEL_MAP_NO_MEMORY;
    }
    auto *entries =
        reinterpret_cast<int32_t *>(Tcl_AttemptAlloc(static_cast<unsigned int>(bytes)));
    if (entries == nullptr) {
        return CHANNEL_MAP_NO_MEMORY;
    }
    for (size_t i = 0; i < length; i++) {
        if (!channelForCharacter(format[i], block, &entries[i])) {
            Tcl_Free(reinterpret_cast<char *>(entries));
            return CHANNEL_MAP_BAD_FORMAT;
        }
    }
    map->entries = entries;
    map->length = length;
    return nullptr;
}

void releaseChannelMap(ChannelMap *map)
{
    if (map->entries != nullptr) {
        Tcl_Free(reinterpret_cast<char *>(map->entries));
    }
    map->entries = nullptr;
    map->length = 0;
}

namespace {

void packPixelsReference(const Tk_PhotoImageBlock &block, const ChannelMap &map, bool reverse,
                         unsigned char *out)
{
    if (block.width <= 0 || block.height <= 0 || map.length == 0) {
        return;
    }
    for (int y = 0; y < block.height; y++) {
        // Rows are addressed by index, never by stepping a pointer, so no
        // address before the first row or past the last one is formed.
        const ptrdiff_t rowIndex = reverse ? block.height - 1 - y : y;
        const unsigned char *pixel = block.pixelPtr + rowIndex * block.pitch;
        for (int x = 0; x < block.width; x++, pixel += block.pixelSize) {
            for (size_t i = 0; i < map.length; i++) {
                const int32_t entry = map.entries[i];
                *out++ = entry < 0 ? 0 : pixel[entry];
            }
        }
    }
}

}  // namespace

size_t packVariantCount()
{
    return 1;
}

const char *packVariantName(size_t /*variant*/)
{
    return "reference";
}

void packPixelsWith(size_t /*variant*/, const Tk_PhotoImageBlock &block, const ChannelMap &map,
                    bool reverse, unsigned char *out)
{
    packPixelsReference(block, map, reverse, out);
}

void packPixels(const Tk_PhotoImageBlock &block, const ChannelMap &map, bool reverse,
                unsigned char *out)
{
    packPixelsReference(block, map, reverse, out);
}
