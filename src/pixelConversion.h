// Pixel conversion: decoding a format string into a channel map, and
// packing a Tk photo's pixel block into bytes in that layout.
//
// This unit needs nothing of Tcl but its allocator, and nothing of Tk but
// the layout of Tk_PhotoImageBlock, so it can be tested on blocks that Tk
// itself never produces.

#ifndef SNAPPHOTO_PIXELCONVERSION_H
#define SNAPPHOTO_PIXELCONVERSION_H

#include <cstddef>
#include <cstdint>

#include <tk.h>

// A ChannelMap entry that stands for a constant zero byte in the output.
constexpr int32_t CHANNEL_ZERO = -1;

// One entry per format character, in format order: the byte offset of that
// channel within a source pixel, or CHANNEL_ZERO. The entries are owned by
// the command call that built the map and released with releaseChannelMap.
struct ChannelMap {
    int32_t *entries;
    size_t length;
};

// The messages with which buildChannelMap can fail.
extern const char CHANNEL_MAP_NO_MEMORY[];
extern const char CHANNEL_MAP_BAD_FORMAT[];

// Decodes `format` against the channel offsets of `block`. Returns nullptr
// on success, with `map` filled in, or one of the messages above; on failure
// nothing is left for the caller to release. An empty format gives a map of
// length 0 that holds no memory.
const char *buildChannelMap(const char *format, const Tk_PhotoImageBlock &block,
                            ChannelMap *map);

// Releases what buildChannelMap obtained. Safe on an empty map.
void releaseChannelMap(ChannelMap *map);

// Writes block.width * block.height * map.length bytes to `out`: pixel after
// pixel, row after row, rows from the top down or, with `reverse`, from the
// bottom up. `out` must hold exactly that many bytes. Cannot fail.
void packPixels(const Tk_PhotoImageBlock &block, const ChannelMap &map, bool reverse,
                unsigned char *out);

// The walk comes in variants: variant 0 is the plain reference walk, one
// table read and one byte copy per output byte, that works for any block;
// further variants are faster walks usable on this processor. Every variant
// gives exactly the reference's bytes for every input (a variant that does
// not handle some geometry or format falls back to the reference), so tests
// and benchmarks can run each of them. packPixels uses the best one.
size_t packVariantCount();
const char *packVariantName(size_t variant);
void packPixelsWith(size_t variant, const Tk_PhotoImageBlock &block, const ChannelMap &map,
                    bool reverse, unsigned char *out);

#endif  // SNAPPHOTO_PIXELCONVERSION_H
