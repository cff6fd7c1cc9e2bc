#include "pixelConversion.h"

#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The fast walks. Each one takes the block and the map as they come and
// hands every geometry it does not handle to the reference walk, so it gives
// the reference's bytes for every input. They read only the bytes of the
// emitted rows' pixels, [row start, row start + width * pixelSize), and write
// only the output's S bytes.
namespace {

// The start of the k-th emitted row.
const unsigned char *emittedRow(const Tk_PhotoImageBlock &block, bool reverse, size_t k)
{
    const ptrdiff_t rowIndex =
        reverse ? block.height - 1 - static_cast<ptrdiff_t>(k) : static_cast<ptrdiff_t>(k);
    return block.pixelPtr + rowIndex * block.pitch;
}

// The reference's inner loops for `count` pixels from `pixel`: the tails of
// rows that a vector step does not cover.
unsigned char *packPixelRun(const unsigned char *pixel, size_t count, size_t pixelSize,
                            const ChannelMap &map, unsigned char *out)
{
    for (size_t x = 0; x < count; x++) {
        const unsigned char *source = pixel + x * pixelSize;
        for (size_t i = 0; i < map.length; i++) {
            const int32_t entry = map.entries[i];
            *out++ = entry < 0 ? 0 : source[entry];
        }
    }
    return out;
}

// True when every channel of the map lies inside its pixel, so that the
// bytes of a row's pixels hold everything the row's output needs.
bool channelsInsidePixel(const Tk_PhotoImageBlock &block, const ChannelMap &map)
{
    for (size_t i = 0; i < map.length; i++) {
        if (map.entries[i] >= block.pixelSize) {
            return false;
        }
    }
    return true;
}

// True when the output of a pixel is its stored bytes in stored order, so
// that each emitted row is a plain copy of the row's pixels.
bool isRowCopy(const Tk_PhotoImageBlock &block, const ChannelMap &map)
{
    if (map.length != static_cast<size_t>(block.pixelSize)) {
        return false;
    }
    for (size_t i = 0; i < map.length; i++) {
        if (map.entries[i] != static_cast<int32_t>(i)) {
            return false;
        }
    }
    return true;
}

void copyRows(const Tk_PhotoImageBlock &block, bool reverse, unsigned char *out)
{
    const size_t rowBytes =
        static_cast<size_t>(block.width) * static_cast<size_t>(block.pixelSize);
    const auto height = static_cast<size_t>(block.height);
    if (block.pitch == static_cast<ptrdiff_t>(rowBytes) && (!reverse || height == 1)) {
        std::memcpy(out, block.pixelPtr, rowBytes * height);
        return;
    }
    for (size_t k = 0; k < height; k++, out += rowBytes) {
        std::memcpy(out, emittedRow(block, reverse, k), rowBytes);
    }
}

// The most mask bytes a walk keeps (on its stack): enough for formats of up
// to 32 letters on Tk's 4-byte pixels with 64-byte vectors.
constexpr size_t MAX_MASK_BYTES = 1024;
constexpr unsigned char SHUFFLE_ZERO = 0x80;

// The format compiled into byte-shuffle masks for vectors of V bytes: one
// step loads V bytes holding `pixelsPerStep` whole pixels and writes their
// `outBytesPerStep` output bytes with `maskCount` shuffles of V bytes each.
// Mask byte o of the step's output is the source byte's index within the
// loaded vector, or SHUFFLE_ZERO for a zero byte (and for the bytes past the
// step's output in the last mask).
struct ShufflePlan {
    size_t pixelsPerStep;
    size_t outBytesPerStep;
    size_t maskCount;
    alignas(64) unsigned char masks[MAX_MASK_BYTES];
};

bool buildShufflePlan(const Tk_PhotoImageBlock &block, const ChannelMap &map, size_t vectorBytes,
                      ShufflePlan *plan)
{
    if (block.pixelSize <= 0 || static_cast<size_t>(block.pixelSize) > vectorBytes ||
        !channelsInsidePixel(block, map)) {
        return false;
    }
    const auto pixelSize = static_cast<size_t>(block.pixelSize);
    const size_t length = map.length;
    plan->pixelsPerStep = vectorBytes / pixelSize;
    if (length > MAX_MASK_BYTES / plan->pixelsPerStep) {
        return false;
    }
    plan->outBytesPerStep = plan->pixelsPerStep * length;
    plan->maskCount = (plan->outBytesPerStep + vectorBytes - 1) / vectorBytes;
    if (plan->maskCount * vectorBytes > MAX_MASK_BYTES) {
        return false;
    }
    for (size_t o = 0; o < plan->maskCount * vectorBytes; o++) {
        unsigned char index = SHUFFLE_ZERO;
        if (o < plan->outBytesPerStep) {
            const int32_t entry = map.entries[o % length];
            if (entry >= 0) {
                index = static_cast<unsigned char>((o / length) * pixelSize +
                                                   static_cast<size_t>(entry));
            }
        }
        plan->masks[o] = index;
    }
    return true;
}

bool isEmpty(const Tk_PhotoImageBlock &block, const ChannelMap &map)
{
    return block.width <= 0 || block.height <= 0 || map.length == 0;
}

#if defined(__x86_64__)

// SSSE3: 16-byte steps, one pshufb per 16 output bytes. A step stores whole
// vectors, the last of which may run past the step's own output into the
// next step's (which overwrites it); near the end of the output, and in each
// row's last pixels, the scalar loop takes over.
template <size_t MASKS>
__attribute__((target("ssse3"))) void shuffleRowsSsse3(const Tk_PhotoImageBlock &block,
                                                       const ChannelMap &map, bool reverse,
                                                       const ShufflePlan &plan,
                                                       unsigned char *out)
{
    const size_t maskCount = MASKS != 0 ? MASKS : plan.maskCount;
    const auto pixelSize = static_cast<size_t>(block.pixelSize);
    const auto width = static_cast<size_t>(block.width);
    const auto height = static_cast<size_t>(block.height);
    const size_t rowBytes = width * pixelSize;
    const size_t storeBytes = maskCount * 16;
    const size_t step = plan.outBytesPerStep;
    const unsigned char *const outEnd = out + width * height * map.length;
    // The masks of small formats stay in registers; the output may alias
    // the plan as far as the compiler knows, so they are loaded once here.
    const __m128i mask0 = _mm_load_si128(reinterpret_cast<const __m128i *>(plan.masks));
    const __m128i mask1 =
        MASKS == 2 ? _mm_load_si128(reinterpret_cast<const __m128i *>(plan.masks + 16)) : mask0;
    for (size_t k = 0; k < height; k++) {
        const unsigned char *row = emittedRow(block, reverse, k);
        size_t x = 0;
        if (rowBytes >= 16) {
            const size_t lastLoad = rowBytes - 16;
            for (; x * pixelSize <= lastLoad && static_cast<size_t>(outEnd - out) >= storeBytes;
                 x += plan.pixelsPerStep, out += step) {
                const __m128i pixels =
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x * pixelSize));
                if (MASKS == 1) {
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                                     _mm_shuffle_epi8(pixels, mask0));
                } else if (MASKS == 2) {
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                                     _mm_shuffle_epi8(pixels, mask0));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16),
                                     _mm_shuffle_epi8(pixels, mask1));
                } else {
                    for (size_t m = 0; m < maskCount; m++) {
                        const __m128i mask = _mm_load_si128(
                            reinterpret_cast<const __m128i *>(plan.masks + 16 * m));
                        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * m),
                                         _mm_shuffle_epi8(pixels, mask));
                    }
                }
            }
        }
        out = packPixelRun(row + x * pixelSize, width - x, pixelSize, map, out);
    }
}

__attribute__((target("ssse3"))) void packPixelsSsse3(const Tk_PhotoImageBlock &block,
                                                      const ChannelMap &map, bool reverse,
                                                      unsigned char *out)
{
    if (isEmpty(block, map)) {
        return;
    }
    if (isRowCopy(block, map)) {
        copyRows(block, reverse, out);
        return;
    }
    ShufflePlan plan;
    if (!buildShufflePlan(block, map, 16, &plan)) {
        packPixelsReference(block, map, reverse, out);
        return;
    }
    switch (plan.maskCount) {
    case 1: shuffleRowsSsse3<1>(block, map, reverse, plan, out); break;
    case 2: shuffleRowsSsse3<2>(block, map, reverse, plan, out); break;
    default: shuffleRowsSsse3<0>(block, map, reverse, plan, out); break;
    }
}

#define SNAPPHOTO_AVX512 "avx512f,avx512bw,avx512vbmi"

__attribute__((target(SNAPPHOTO_AVX512))) inline __mmask64 firstBytes(size_t count)
{
    return count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
}

// AVX-512 VBMI: 64-byte steps, one vpermb per 64 output bytes, which moves
// any byte of the loaded vector to any place and zeroes the places of zero
// bytes. Loads take exactly the pixels' bytes and the last stores of a row
// or of the output are masked to the bytes that belong there, so rows of any
// width are done without a scalar tail.
__attribute__((target(SNAPPHOTO_AVX512))) void packPixelsAvx512(const Tk_PhotoImageBlock &block,
                                                               const ChannelMap &map,
                                                               bool reverse, unsigned char *out)
{
    if (isEmpty(block, map)) {
        return;
    }
    if (isRowCopy(block, map)) {
        copyRows(block, reverse, out);
        return;
    }
    ShufflePlan plan;
    if (!buildShufflePlan(block, map, 64, &plan)) {
        packPixelsReference(block, map, reverse, out);
        return;
    }
    const auto pixelSize = static_cast<size_t>(block.pixelSize);
    const auto width = static_cast<size_t>(block.width);
    const auto height = static_cast<size_t>(block.height);
    const size_t length = map.length;
    const size_t perStep = plan.pixelsPerStep;
    const size_t step = plan.outBytesPerStep;
    const size_t maskCount = plan.maskCount;
    const size_t storeBytes = maskCount * 64;
    const unsigned char *const outEnd = out + width * height * length;

    // The indices and, per mask, the places that take a source byte (the
    // others are zeroed).
    __m512i indices[MAX_MASK_BYTES / 64];
    __mmask64 keep[MAX_MASK_BYTES / 64];
    for (size_t m = 0; m < maskCount; m++) {
        indices[m] = _mm512_load_si512(plan.masks + 64 * m);
        __mmask64 bits = 0;
        for (size_t b = 0; b < 64; b++) {
            if ((plan.masks[64 * m + b] & SHUFFLE_ZERO) == 0) {
                bits |= __mmask64{1} << b;
            }
        }
        keep[m] = bits;
    }
    const __mmask64 stepLoad = firstBytes(perStep * pixelSize);

    for (size_t k = 0; k < height; k++) {
        const unsigned char *row = emittedRow(block, reverse, k);
        size_t x = 0;
        // Whole steps with whole stores while the output has room for them.
        for (; x + perStep <= width && static_cast<size_t>(outEnd - out) >= storeBytes;
             x += perStep, out += step) {
            const __m512i pixels = _mm512_maskz_loadu_epi8(stepLoad, row + x * pixelSize);
            for (size_t m = 0; m < maskCount; m++) {
                _mm512_storeu_si512(out + 64 * m,
                                    _mm512_maskz_permutexvar_epi8(keep[m], indices[m], pixels));
            }
        }
        // The rest of the row, in steps of at most perStep pixels, with
        // stores masked to the output's bytes.
        while (x < width) {
            const size_t count = width - x < perStep ? width - x : perStep;
            const __m512i pixels =
                _mm512_maskz_loadu_epi8(firstBytes(count * pixelSize), row + x * pixelSize);
            const size_t bytes = count * length;
            for (size_t m = 0; 64 * m < bytes; m++) {
                _mm512_mask_storeu_epi8(out + 64 * m, firstBytes(bytes - 64 * m),
                                        _mm512_maskz_permutexvar_epi8(keep[m], indices[m],
                                                                      pixels));
            }
            x += count;
            out += bytes;
        }
    }
}

#endif  // __x86_64__

// The variants, in the order in which each needs more of the processor
// than the one before, so that the usable ones are always the first few.
enum PackVariant : size_t {
    VARIANT_REFERENCE,
#if defined(__x86_64__)
    VARIANT_SSSE3,
    VARIANT_AVX512,
#endif
    VARIANT_COUNT
};

}  // namespace

size_t packVariantCount()
{
    // Asked at every call: the processor's features as the compiler's
    // run-time library recorded them at load time, a few loads and tests.
#if defined(__x86_64__)
    if (!__builtin_cpu_supports("ssse3")) {
        return VARIANT_SSSE3;
    }
    if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw") ||
        !__builtin_cpu_supports("avx512vbmi")) {
        return VARIANT_AVX512;
    }
#endif
    return VARIANT_COUNT;
}

const char *packVariantName(size_t variant)
{
    switch (variant) {
#if defined(__x86_64__)
    case VARIANT_SSSE3: return "ssse3";
    case VARIANT_AVX512: return "avx512vbmi";
#endif
    default: return "reference";
    }
}

void packPixelsWith(size_t variant, const Tk_PhotoImageBlock &block, const ChannelMap &map,
                    bool reverse, unsigned char *out)
{
    // A variant this processor cannot run is the reference walk.
    if (variant >= packVariantCount()) {
        variant = VARIANT_REFERENCE;
    }
    switch (variant) {
#if defined(__x86_64__)
    case VARIANT_SSSE3: packPixelsSsse3(block, map, reverse, out); return;
    case VARIANT_AVX512: packPixelsAvx512(block, map, reverse, out); return;
#endif
    default: packPixelsReference(block, map, reverse, out); return;
    }
}

void packPixels(const Tk_PhotoImageBlock &block, const ChannelMap &map, bool reverse,
                unsigned char *out)
{
    packPixelsWith(packVariantCount() - 1, block, map, reverse, out);
}
