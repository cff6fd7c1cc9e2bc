// Differential fuzzing of the format decoding and the pixel walk.
//
// Each input becomes a pixel block (width, height, pitch of at least the
// row's bytes, pixel size, channel offsets inside the pixel), a format
// string of arbitrary bytes, a row order and the pixel bytes. The harness
// checks that buildChannelMap accepts exactly the strings made of "rgba0"
// and maps each letter to the block's offset, and that every walk variant
// writes exactly the bytes that the output layout prescribes, computed
// here independently, which are also those of the reference variant 0.
//
// Every buffer is allocated at exactly its size, so that AddressSanitizer
// catches a read outside the pixel rows or the channel map and a write
// past the end of the output.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "pixelConversion.h"

namespace {

[[noreturn]] void failCheck(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "pixel walk check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

bool isFormatCharacter(char c)
{
    return c == 'r' || c == 'g' || c == 'b' || c == 'a' || c == '0';
}

// The entry that a format character must decode to.
int32_t expectedEntry(char c, const Tk_PhotoImageBlock &block)
{
    switch (c) {
    case 'r': return block.offset[0];
    case 'g': return block.offset[1];
    case 'b': return block.offset[2];
    case 'a': return block.offset[3];
    default: return CHANNEL_ZERO;
    }
}

// Checks buildChannelMap on the format (as the C string that the command
// passes: up to the first zero byte) and returns the entries of the map to
// walk with. A rejected format still gives the walk a map, derived from its
// bytes, so that arbitrary entry sequences reach every variant.
std::vector<int32_t> checkedEntries(const std::string &format, const Tk_PhotoImageBlock &block)
{
    const std::string text(format.c_str());
    bool valid = true;
    for (char c : text) {
        valid = valid && isFormatCharacter(c);
    }

    ChannelMap map{reinterpret_cast<int32_t *>(&map), 12345};
    const char *message = buildChannelMap(format.c_str(), block, &map);
    std::vector<int32_t> entries;
    if (valid) {
        if (message != nullptr) {
            failCheck("valid format rejected:", text + " -> " + message);
        }
        if (map.length != text.size() || (map.length == 0) != (map.entries == nullptr)) {
            failCheck("wrong map length for", text);
        }
        for (size_t i = 0; i < map.length; i++) {
            if (map.entries[i] != expectedEntry(text[i], block)) {
                failCheck("wrong map entry for", text);
            }
        }
        entries.assign(map.entries, map.entries + map.length);
        releaseChannelMap(&map);
        if (map.entries != nullptr || map.length != 0) {
            failCheck("map not cleared on release:", text);
        }
    } else {
        if (message != CHANNEL_MAP_BAD_FORMAT) {
            failCheck("invalid format accepted:", text);
        }
        if (map.entries != nullptr || map.length != 0) {
            failCheck("map left filled after a rejected format:", text);
        }
        for (char c : format) {
            const int byte = static_cast<unsigned char>(c);
            entries.push_back(static_cast<int32_t>(byte % (block.pixelSize + 1)) - 1);
        }
    }
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);

    Tk_PhotoImageBlock block{};
    block.width = input.ConsumeIntegralInRange<int>(0, 200);
    block.height = input.ConsumeIntegralInRange<int>(0, 12);
    block.pixelSize = input.ConsumeIntegralInRange<int>(1, 12);
    block.pitch = block.width * block.pixelSize + input.ConsumeIntegralInRange<int>(0, 40);
    for (int &offset : block.offset) {
        offset = input.ConsumeIntegralInRange<int>(0, block.pixelSize - 1);
    }
    const bool reverse = input.ConsumeBool();
    const std::string format = input.ConsumeRandomLengthString(48);
    const std::vector<unsigned char> fill = input.ConsumeRemainingBytes<unsigned char>();

    // The rows end at the last byte of the last pixel: nothing beyond it is
    // allocated.
    const size_t width = static_cast<size_t>(block.width);
    const size_t height = static_cast<size_t>(block.height);
    const size_t pitch = static_cast<size_t>(block.pitch);
    const size_t pixelSize = static_cast<size_t>(block.pixelSize);
    const size_t storageSize = width == 0 || height == 0 ? 0 : (height - 1) * pitch + width * pixelSize;
    std::unique_ptr<unsigned char[]> storage(new unsigned char[storageSize]);
    for (size_t i = 0; i < storageSize; i++) {
        storage[i] = fill.empty() ? static_cast<unsigned char>(i * 131 + 7) : fill[i % fill.size()];
    }
    block.pixelPtr = storage.get();

    const std::vector<int32_t> entries = checkedEntries(format, block);
    const size_t length = entries.size();
    std::unique_ptr<int32_t[]> mapStorage(new int32_t[length]);
    std::copy(entries.begin(), entries.end(), mapStorage.get());
    const ChannelMap map{mapStorage.get(), length};

    // The output byte for emitted row k, column x and format position i is
    // at (k * width + x) * length + i.
    const size_t outputSize = width * height * length;
    std::vector<unsigned char> expected(outputSize);
    for (size_t k = 0; k < height; k++) {
        const size_t row = reverse ? height - 1 - k : k;
        for (size_t x = 0; x < width; x++) {
            const unsigned char *pixel = storage.get() + row * pitch + x * pixelSize;
            for (size_t i = 0; i < length; i++) {
                const int32_t entry = entries[i];
                expected[(k * width + x) * length + i] =
                    entry < 0 ? 0 : pixel[static_cast<size_t>(entry)];
            }
        }
    }

    for (size_t variant = 0; variant < packVariantCount(); variant++) {
        const char *name = packVariantName(variant);
        if (name == nullptr || name[0] == '\0') {
            failCheck("unnamed variant", std::to_string(variant));
        }
        std::unique_ptr<unsigned char[]> out(new unsigned char[outputSize]);
        std::memset(out.get(), 0xA5, outputSize);
        packPixelsWith(variant, block, map, reverse, out.get());
        if (outputSize != 0 && std::memcmp(out.get(), expected.data(), outputSize) != 0) {
            failCheck("wrong bytes from variant", name);
        }
    }
    return 0;
}
