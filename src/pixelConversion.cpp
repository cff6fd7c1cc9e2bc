#include "pixelConversion.h"

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

const char CHANNEL_MAP_NO_MEMORY[] = "internal memory full.";
const char CHANNEL_MAP_BAD_FORMAT[] = "invalid format character encountered.";

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

bool isEmpty(const Tk_PhotoImageBlock &block, const ChannelMap &map)
{
    return block.width <= 0 || block.height <= 0 || map.length == 0;
}

// True when the format is all zeros: the output is S zero bytes.
bool isAllZero(const ChannelMap &map)
{
    for (size_t i = 0; i < map.length; i++) {
        if (map.entries[i] >= 0) {
            return false;
        }
    }
    return true;
}

// Copies each row's pixels as they are stored, top row first: one copy in
// all when the rows are packed.
void copyRows(const Tk_PhotoImageBlock &block, unsigned char *out)
{
    const size_t rowBytes =
        static_cast<size_t>(block.width) * static_cast<size_t>(block.pixelSize);
    const auto height = static_cast<size_t>(block.height);
    if (block.pitch == static_cast<ptrdiff_t>(rowBytes)) {
        std::memcpy(out, block.pixelPtr, rowBytes * height);
        return;
    }
    for (size_t k = 0; k < height; k++, out += rowBytes) {
        std::memcpy(out, emittedRow(block, false, k), rowBytes);
    }
}

// The cases every fast walk settles before it shuffles: no output at all, a
// copy of the rows for the stored layout top down, a fill for a format of
// zeros. True when one of them did the work. Bottom up, the stored layout
// goes through the shuffles, which fetch the next row ahead; a row-by-row
// memcpy does not, and ran slower.
bool packWithoutShuffle(const Tk_PhotoImageBlock &block, const ChannelMap &map, bool reverse,
                        unsigned char *out)
{
    if (isEmpty(block, map)) {
        return true;
    }
    if (!reverse && isRowCopy(block, map)) {
        copyRows(block, out);
        return true;
    }
    if (isAllZero(map)) {
        std::memset(out, 0,
                    static_cast<size_t>(block.width) * static_cast<size_t>(block.height) *
                        map.length);
        return true;
    }
    return false;
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
        // Bottom up, the next emitted row lies below this one, where the
        // processor's own prefetching does not look: it is fetched ahead.
        const unsigned char *next = reverse && k + 1 < height ? emittedRow(block, reverse, k + 1)
                                                              : nullptr;
        size_t x = 0;
        if (rowBytes >= 16) {
            const size_t lastLoad = rowBytes - 16;
            for (; x * pixelSize <= lastLoad && static_cast<size_t>(outEnd - out) >= storeBytes;
                 x += plan.pixelsPerStep, out += step) {
                if (next != nullptr) {
                    _mm_prefetch(reinterpret_cast<const char *>(next + x * pixelSize), _MM_HINT_T0);
                }
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
    if (packWithoutShuffle(block, map, reverse, out)) {
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

// AVX-512 VBMI, first kind of step: 64 bytes of pixels in, one vpermb per
// 64 output bytes, which moves any loaded byte to any place and zeroes the
// places of zero bytes. Loads of whole vectors stay inside the row; the rest
// of a row is loaded under a mask of its pixels' bytes, and the stores that
// would pass the end of the output are masked to the bytes that belong to
// it, so rows of any width are done without a scalar tail. Does the pixels
// from x to the end of the row; returns the output's new end.
struct StepKernelAvx512 {
    size_t pixelsPerStep;
    size_t outBytesPerStep;
    size_t maskCount;
    __m512i indices[MAX_MASK_BYTES / 64];
    __mmask64 keep[MAX_MASK_BYTES / 64];
};

__attribute__((target(SNAPPHOTO_AVX512))) void buildStepKernel(const ShufflePlan &plan,
                                                              StepKernelAvx512 *kernel)
{
    kernel->pixelsPerStep = plan.pixelsPerStep;
    kernel->outBytesPerStep = plan.outBytesPerStep;
    kernel->maskCount = plan.maskCount;
    for (size_t m = 0; m < plan.maskCount; m++) {
        kernel->indices[m] = _mm512_load_si512(plan.masks + 64 * m);
        __mmask64 bits = 0;
        for (size_t b = 0; b < 64; b++) {
            if ((plan.masks[64 * m + b] & SHUFFLE_ZERO) == 0) {
                bits |= __mmask64{1} << b;
            }
        }
        kernel->keep[m] = bits;
    }
}

__attribute__((target(SNAPPHOTO_AVX512))) unsigned char *
stepRowAvx512(const StepKernelAvx512 &kernel, const unsigned char *row, size_t x, size_t width,
              size_t pixelSize, size_t length, const unsigned char *outEnd, unsigned char *out)
{
    const size_t perStep = kernel.pixelsPerStep;
    const size_t step = kernel.outBytesPerStep;
    const size_t maskCount = kernel.maskCount;
    const size_t storeBytes = maskCount * 64;
    const size_t rowBytes = width * pixelSize;
    // Whole loads and whole stores while both stay inside. (A masked load
    // costs several times a plain one, so it is kept for the row's end.)
    for (; x * pixelSize + 64 <= rowBytes && static_cast<size_t>(outEnd - out) >= storeBytes;
         x += perStep, out += step) {
        const __m512i pixels = _mm512_loadu_si512(row + x * pixelSize);
        for (size_t m = 0; m < maskCount; m++) {
            _mm512_storeu_si512(out + 64 * m, _mm512_maskz_permutexvar_epi8(
                                                  kernel.keep[m], kernel.indices[m], pixels));
        }
    }
    while (x < width) {
        const size_t count = width - x < perStep ? width - x : perStep;
        const __m512i pixels =
            _mm512_maskz_loadu_epi8(firstBytes(count * pixelSize), row + x * pixelSize);
        const size_t bytes = count * length;
        for (size_t m = 0; 64 * m < bytes; m++) {
            _mm512_mask_storeu_epi8(
                out + 64 * m, firstBytes(bytes - 64 * m),
                _mm512_maskz_permutexvar_epi8(kernel.keep[m], kernel.indices[m], pixels));
        }
        x += count;
        out += bytes;
    }
    return out;
}

// Second kind of step, for formats of up to 16 letters: 64 pixels in and
// exactly `length` whole output vectors out, with no store overlapping
// another. Each output vector is gathered by one vpermt2b from a window of
// 128 source bytes that starts at its first pixel, or, when its pixels span
// more than that (one-letter formats), by two, one per half.
constexpr size_t PERIOD_PIXELS = 64;
constexpr size_t MAX_PERIOD_LENGTH = 16;

struct PeriodKernelAvx512 {
    size_t halves;
    size_t windowEnd;  // the furthest source byte, from the period's start, that is loaded
    size_t windowStart[2 * MAX_PERIOD_LENGTH];
    __m512i indices[2 * MAX_PERIOD_LENGTH];
    __mmask64 keep[2 * MAX_PERIOD_LENGTH];
};

__attribute__((target(SNAPPHOTO_AVX512))) bool
buildPeriodKernel(const Tk_PhotoImageBlock &block, const ChannelMap &map,
                  PeriodKernelAvx512 *kernel)
{
    const auto pixelSize = static_cast<size_t>(block.pixelSize);
    const size_t length = map.length;
    if (length > MAX_PERIOD_LENGTH) {
        return false;
    }
    for (size_t halves = 1; halves <= 2; halves++) {
        const size_t part = 64 / halves;
        bool fits = true;
        kernel->halves = halves;
        kernel->windowEnd = 0;
        for (size_t w = 0; w < length * halves && fits; w++) {
            const size_t first = w * part;  // the window's first output byte in the period
            const size_t start = (first / length) * pixelSize;
            alignas(64) unsigned char index[64] = {};
            __mmask64 keep = 0;
            for (size_t t = 0; t < part; t++) {
                const size_t o = first + t;
                const int32_t entry = map.entries[o % length];
                if (entry < 0) {
                    continue;
                }
                const size_t source = (o / length) * pixelSize + static_cast<size_t>(entry) - start;
                if (source >= 128) {
                    fits = false;
                    break;
                }
                const size_t place = (w % halves) * part + t;
                index[place] = static_cast<unsigned char>(source);
                keep |= __mmask64{1} << place;
            }
            kernel->windowStart[w] = start;
            kernel->indices[w] = _mm512_load_si512(index);
            kernel->keep[w] = keep;
            kernel->windowEnd = std::max(kernel->windowEnd, start + 128);
        }
        if (fits) {
            return true;
        }
    }
    return false;
}

template <size_t LENGTH, size_t HALVES>
__attribute__((target(SNAPPHOTO_AVX512))) void
periodRowsAvx512(const Tk_PhotoImageBlock &block, const ChannelMap &map, bool reverse,
                 const PeriodKernelAvx512 &period, const StepKernelAvx512 &steps,
                 unsigned char *out)
{
    const size_t length = LENGTH != 0 ? LENGTH : map.length;
    const size_t halves = LENGTH != 0 ? HALVES : period.halves;
    const auto pixelSize = static_cast<size_t>(block.pixelSize);
    const auto width = static_cast<size_t>(block.width);
    const auto height = static_cast<size_t>(block.height);
    const size_t rowBytes = width * pixelSize;
    const unsigned char *const outEnd = out + width * height * length;
    for (size_t k = 0; k < height; k++) {
        const unsigned char *row = emittedRow(block, reverse, k);
        // The next emitted row, fetched a period at a time while this one is
        // walked. Bottom up it is essential: the processor's own prefetching
        // follows ascending addresses, and the walk jumps back two rows at
        // the end of each row (twice the time without it). Top down it
        // still gains a little.
        const unsigned char *next = k + 1 < height ? emittedRow(block, reverse, k + 1) : nullptr;
        size_t x = 0;
        for (; x + PERIOD_PIXELS <= width && x * pixelSize + period.windowEnd <= rowBytes;
             x += PERIOD_PIXELS) {
            const unsigned char *base = row + x * pixelSize;
            if (next != nullptr) {
                for (size_t b = 0; b < PERIOD_PIXELS * pixelSize; b += 64) {
                    _mm_prefetch(reinterpret_cast<const char *>(next + x * pixelSize + b),
                                 _MM_HINT_T0);
                }
            }
            for (size_t v = 0; v < length; v++, out += 64) {
                __m512i bytes = _mm512_setzero_si512();
                for (size_t h = 0; h < halves; h++) {
                    const size_t w = v * halves + h;
                    const unsigned char *window = base + period.windowStart[w];
                    bytes = _mm512_or_si512(
                        bytes, _mm512_maskz_permutex2var_epi8(
                                   period.keep[w], _mm512_loadu_si512(window),
                                   period.indices[w], _mm512_loadu_si512(window + 64)));
                }
                _mm512_storeu_si512(out, bytes);
            }
        }
        out = stepRowAvx512(steps, row, x, width, pixelSize, length, outEnd, out);
    }
}

__attribute__((target(SNAPPHOTO_AVX512))) void packPixelsAvx512(const Tk_PhotoImageBlock &block,
                                                               const ChannelMap &map,
                                                               bool reverse, unsigned char *out)
{
    if (packWithoutShuffle(block, map, reverse, out)) {
        return;
    }
    ShufflePlan plan;
    if (!buildShufflePlan(block, map, 64, &plan)) {
        packPixelsReference(block, map, reverse, out);
        return;
    }
    StepKernelAvx512 steps;
    buildStepKernel(plan, &steps);
    PeriodKernelAvx512 period;
    if (!buildPeriodKernel(block, map, &period)) {
        const auto width = static_cast<size_t>(block.width);
        const auto height = static_cast<size_t>(block.height);
        const unsigned char *const outEnd = out + width * height * map.length;
        for (size_t k = 0; k < height; k++) {
            out = stepRowAvx512(steps, emittedRow(block, reverse, k), 0, width,
                                static_cast<size_t>(block.pixelSize), map.length, outEnd, out);
        }
        return;
    }
    // The common formats with their loops unrolled.
    const size_t shape = map.length * 2 + period.halves - 1;
    switch (shape) {
    case 1 * 2 + 1: periodRowsAvx512<1, 2>(block, map, reverse, period, steps, out); break;
    case 2 * 2: periodRowsAvx512<2, 1>(block, map, reverse, period, steps, out); break;
    case 3 * 2: periodRowsAvx512<3, 1>(block, map, reverse, period, steps, out); break;
    case 4 * 2: periodRowsAvx512<4, 1>(block, map, reverse, period, steps, out); break;
    default: periodRowsAvx512<0, 0>(block, map, reverse, period, steps, out); break;
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
