// Unit tests of the format decoding and the pixel walk on synthetic pixel
// blocks, including geometries that Tk never produces but the walk must
// honour: padded rows, pixel sizes other than 4, channels in other orders.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "pixelConversion.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A pixel block over storage of its own. Padding bytes are 0xEE so that a
// walk that strays into them shows up in the output.
struct TestBlock {
    Bytes storage;
    Tk_PhotoImageBlock block{};

    TestBlock(int width, int height, int pitch, int pixelSize, std::array<int, 4> offsets)
        : storage(static_cast<size_t>(pitch) * static_cast<size_t>(height), 0xEE)
    {
        block.pixelPtr = storage.data();
        block.width = width;
        block.height = height;
        block.pitch = pitch;
        block.pixelSize = pixelSize;
        for (int i = 0; i < 4; i++) {
            block.offset[i] = offsets[static_cast<size_t>(i)];
        }
    }

    // Sets the channels of pixel (x, y), in the order red, green, blue, alpha.
    void set(int x, int y, std::array<unsigned char, 4> rgba)
    {
        unsigned char *pixel = storage.data() + y * block.pitch + x * block.pixelSize;
        for (int i = 0; i < 4; i++) {
            pixel[block.offset[i]] = rgba[static_cast<size_t>(i)];
        }
    }
};

// A block in Tk's own layout: 4 bytes a pixel, RGBA at offsets 0 to 3.
TestBlock tkBlock(int width, int height, const Bytes &pixels)
{
    TestBlock test(width, height, width * 4, 4, {0, 1, 2, 3});
    std::copy(pixels.begin(), pixels.end(), test.storage.begin());
    return test;
}

Bytes convert(const TestBlock &test, const char *format, bool reverse = false)
{
    ChannelMap map{};
    const char *message = buildChannelMap(format, test.block, &map);
    EXPECT_EQ(message, nullptr) << "format " << format;
    Bytes out(static_cast<size_t>(test.block.width) * static_cast<size_t>(test.block.height) *
                  map.length,
              0x55);
    packPixels(test.block, map, reverse, out.data());
    releaseChannelMap(&map);
    return out;
}

TEST(BuildChannelMap, MapsLettersToTheBlocksOffsetsAndZeroToChannelZero)
{
    TestBlock test(1, 1, 8, 8, {5, 3, 7, 1});
    ChannelMap map{};
    ASSERT_EQ(buildChannelMap("rgba0aar", test.block, &map), nullptr);
    ASSERT_EQ(map.length, 8u);
    const std::vector<int32_t> entries(map.entries, map.entries + map.length);
    EXPECT_EQ(entries, (std::vector<int32_t>{5, 3, 7, 1, CHANNEL_ZERO, 1, 1, 5}));
    releaseChannelMap(&map);
}

TEST(BuildChannelMap, RejectsEveryOtherByteExactly)
{
    TestBlock test(1, 1, 4, 4, {0, 1, 2, 3});
    for (const char *format : {"R", "rgbx", "r g b", "A", "1", "rgb\x80", "-reverse", "rgba "}) {
        ChannelMap map{reinterpret_cast<int32_t *>(1), 99};
        EXPECT_STREQ(buildChannelMap(format, test.block, &map), CHANNEL_MAP_BAD_FORMAT) << format;
        EXPECT_EQ(map.entries, nullptr);
        EXPECT_EQ(map.length, 0u);
    }
}

TEST(BuildChannelMap, EmptyFormatGivesAnEmptyMapWithoutMemory)
{
    TestBlock test(2, 2, 8, 4, {0, 1, 2, 3});
    ChannelMap map{};
    ASSERT_EQ(buildChannelMap("", test.block, &map), nullptr);
    EXPECT_EQ(map.length, 0u);
    EXPECT_EQ(map.entries, nullptr);
    releaseChannelMap(&map);
}

TEST(PackPixels, TkLayoutReproducesAndReordersTheStoredBytes)
{
    const Bytes pixels{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const TestBlock test = tkBlock(3, 1, pixels);
    EXPECT_EQ(convert(test, "rgba"), pixels);
    EXPECT_EQ(convert(test, "rgb"), (Bytes{1, 2, 3, 5, 6, 7, 9, 10, 11}));
    EXPECT_EQ(convert(test, "bgr"), (Bytes{3, 2, 1, 7, 6, 5, 11, 10, 9}));
    EXPECT_EQ(convert(test, "0"), (Bytes{0, 0, 0}));
    EXPECT_EQ(convert(test, "r0"), (Bytes{1, 0, 5, 0, 9, 0}));
    EXPECT_EQ(convert(test, "aarr"), (Bytes{4, 4, 1, 1, 8, 8, 5, 5, 12, 12, 9, 9}));
}

TEST(PackPixels, PaddingBetweenRowsNeverReachesTheOutput)
{
    // Two pixels of 4 bytes in a row of 13: 5 bytes of padding per row.
    TestBlock test(2, 3, 13, 4, {0, 1, 2, 3});
    for (int y = 0; y < 3; y++) {
        for (int x = 0; x < 2; x++) {
            const auto v = static_cast<unsigned char>(10 * y + 2 * x);
            test.set(x, y, {v, static_cast<unsigned char>(v + 1), 0, 255});
        }
    }
    EXPECT_EQ(convert(test, "rg"), (Bytes{0, 1, 2, 3, 10, 11, 12, 13, 20, 21, 22, 23}));
    EXPECT_EQ(convert(test, "rg", true), (Bytes{20, 21, 22, 23, 10, 11, 12, 13, 0, 1, 2, 3}));
}

TEST(PackPixels, HonoursOtherPixelSizesAndChannelOrders)
{
    // Three bytes a pixel, stored as blue, green, red, with no alpha of its
    // own: alpha reads the red byte, as the block says.
    TestBlock bgr(2, 1, 6, 3, {2, 1, 0, 2});
    bgr.set(0, 0, {10, 20, 30, 10});
    bgr.set(1, 0, {40, 50, 60, 40});
    EXPECT_EQ(bgr.storage, (Bytes{30, 20, 10, 60, 50, 40}));
    EXPECT_EQ(convert(bgr, "rgb"), (Bytes{10, 20, 30, 40, 50, 60}));
    EXPECT_EQ(convert(bgr, "a0"), (Bytes{10, 0, 40, 0}));

    // Six bytes a pixel with channels spread out, and a padded pitch.
    TestBlock wide(2, 2, 14, 6, {4, 0, 5, 2});
    wide.set(0, 0, {1, 2, 3, 4});
    wide.set(1, 0, {5, 6, 7, 8});
    wide.set(0, 1, {9, 10, 11, 12});
    wide.set(1, 1, {13, 14, 15, 16});
    EXPECT_EQ(convert(wide, "argb"), (Bytes{4, 1, 2, 3, 8, 5, 6, 7, 12, 9, 10, 11, 16, 13, 14, 15}));
    EXPECT_EQ(convert(wide, "b", true), (Bytes{11, 15, 3, 7}));
}

TEST(PackPixels, ReverseWithOneRowEqualsForwardAndWithTwoRowsSwapsThem)
{
    const TestBlock oneRow = tkBlock(2, 1, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(convert(oneRow, "rgba", true), convert(oneRow, "rgba"));

    const TestBlock twoRows = tkBlock(1, 2, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(convert(twoRows, "rgba", true), (Bytes{5, 6, 7, 8, 1, 2, 3, 4}));
}

TEST(PackPixels, EmptyGeometryOrFormatWritesNothing)
{
    unsigned char guard = 0x77;
    TestBlock noRows(4, 0, 16, 4, {0, 1, 2, 3});
    TestBlock noColumns(0, 3, 0, 4, {0, 1, 2, 3});
    TestBlock some = tkBlock(1, 1, {1, 2, 3, 4});
    for (const TestBlock *test : {&noRows, &noColumns}) {
        for (bool reverse : {false, true}) {
            ChannelMap map{};
            ASSERT_EQ(buildChannelMap("rgba", test->block, &map), nullptr);
            packPixels(test->block, map, reverse, &guard);
            releaseChannelMap(&map);
        }
    }
    ChannelMap empty{};
    ASSERT_EQ(buildChannelMap("", some.block, &empty), nullptr);
    packPixels(some.block, empty, false, &guard);
    EXPECT_EQ(guard, 0x77);
}

}  // namespace
