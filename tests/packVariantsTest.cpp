// Differential tests of the pixel walk's variants: every variant usable on
// this processor must give exactly the reference walk's bytes, on random
// geometries and formats and on the layouts that matter most, without
// writing past the output.

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pixelConversion.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t GUARD_BYTES = 80;
constexpr unsigned char GUARD = 0x5A;

struct Case {
    int width;
    int height;
    int pitch;
    int pixelSize;
    int offsets[4];
    std::string format;
    bool reverse;
    size_t outShift;  // where the output starts in its buffer: its alignment

    std::string describe() const
    {
        std::ostringstream text;
        text << width << "x" << height << " pitch " << pitch << " pixelSize " << pixelSize
             << " offsets " << offsets[0] << "," << offsets[1] << "," << offsets[2] << ","
             << offsets[3] << " format \"" << format << "\"" << (reverse ? " reverse" : "")
             << " out+" << outShift;
        return text.str();
    }
};

// Runs one case through every variant and compares with the reference. The
// pixel storage ends exactly where the last row's last pixel does, so a walk
// that reads past the rows is caught by a sanitized build; the output is
// followed by guard bytes that no variant may touch.
void expectVariantsAgree(const Case &c, std::mt19937 &random)
{
    const size_t storageBytes =
        c.height == 0 || c.width == 0
            ? 0
            : static_cast<size_t>(c.height - 1) * static_cast<size_t>(c.pitch) +
                  static_cast<size_t>(c.width) * static_cast<size_t>(c.pixelSize);
    Bytes storage(storageBytes);
    for (unsigned char &byte : storage) {
        byte = static_cast<unsigned char>(random());
    }
    Tk_PhotoImageBlock block{};
    block.pixelPtr = storage.data();
    block.width = c.width;
    block.height = c.height;
    block.pitch = c.pitch;
    block.pixelSize = c.pixelSize;
    for (int i = 0; i < 4; i++) {
        block.offset[i] = c.offsets[i];
    }
    ChannelMap map{};
    ASSERT_EQ(buildChannelMap(c.format.c_str(), block, &map), nullptr);
    const size_t size =
        static_cast<size_t>(c.width) * static_cast<size_t>(c.height) * c.format.size();

    Bytes expected(size + GUARD_BYTES, GUARD);
    packPixelsWith(0, block, map, c.reverse, expected.data());
    for (size_t variant = 1; variant < packVariantCount(); variant++) {
        Bytes buffer(c.outShift + size + GUARD_BYTES, GUARD);
        packPixelsWith(variant, block, map, c.reverse, buffer.data() + c.outShift);
        const Bytes written(buffer.begin() + static_cast<ptrdiff_t>(c.outShift), buffer.end());
        EXPECT_EQ(written, expected) << packVariantName(variant) << ": " << c.describe();
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(c.outShift)),
                  Bytes(c.outShift, GUARD))
            << packVariantName(variant) << " wrote before the output: " << c.describe();
    }
    // packPixels picks one of the variants; it must agree too.
    Bytes chosen(size + GUARD_BYTES, GUARD);
    packPixels(block, map, c.reverse, chosen.data());
    EXPECT_EQ(chosen, expected) << "packPixels: " << c.describe();
    releaseChannelMap(&map);
}

TEST(PackVariants, ReferenceIsVariantZeroAndEveryVariantHasAName)
{
    ASSERT_GE(packVariantCount(), 1u);
    EXPECT_STREQ(packVariantName(0), "reference");
    std::vector<std::string> names;
    for (size_t variant = 0; variant < packVariantCount(); variant++) {
        const std::string name = packVariantName(variant);
        EXPECT_FALSE(name.empty());
        for (const std::string &seen : names) {
            EXPECT_NE(name, seen);
        }
        names.push_back(name);
    }
}

TEST(PackVariants, AgreeWithTheReferenceOnRandomGeometriesAndFormats)
{
    std::mt19937 random(20261211);
    const auto pick = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    const int pixelSizes[] = {1, 2, 3, 3, 4, 4, 4, 5, 6, 8};
    for (int iteration = 0; iteration < 4000; iteration++) {
        Case c{};
        c.pixelSize = pixelSizes[pick(0, 9)];
        // Mostly widths around the vector steps (4 to 64 pixels), sometimes
        // longer rows, sometimes none.
        c.width = pick(0, 9) == 0 ? pick(0, 300) : pick(1, 70);
        c.height = pick(0, 9) == 0 ? 0 : pick(1, 5);
        const int rowBytes = c.width * c.pixelSize;
        c.pitch = rowBytes + (pick(0, 1) == 0 ? 0 : pick(1, 37));
        // Channels anywhere inside the pixel, in any order, possibly shared.
        for (int &offset : c.offsets) {
            offset = pick(0, c.pixelSize - 1);
        }
        const int length = pick(1, 20);
        for (int i = 0; i < length; i++) {
            c.format += "rgba0"[pick(0, 4)];
        }
        c.reverse = pick(0, 1) == 1;
        c.outShift = static_cast<size_t>(pick(0, 63));
        expectVariantsAgree(c, random);
        if (HasFailure()) {
            return;
        }
    }
}

TEST(PackVariants, AgreeWithTheReferenceOnTkBlocksForTheCommonLayouts)
{
    // Tk's own blocks: 4 bytes a pixel, RGBA at offsets 0 to 3, rows packed.
    // The row copy of "rgba" and the shuffles of everything else, at widths
    // on both sides of every step size.
    std::mt19937 random(4);
    const char *formats[] = {"rgba", "rgb", "bgra", "bgr", "argb", "abgr", "a", "g",
                             "r0",   "0",   "rgbargba", "0000", "rrrrrrrrrrrrrrrrr",
                             "bgra0rgba0rgba0rgba0rgba0rgba0ab"};
    const int widths[] = {1, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 139, 200};
    for (const char *format : formats) {
        for (int width : widths) {
            for (bool reverse : {false, true}) {
                for (int height : {1, 3}) {
                    Case c{width, height, width * 4, 4, {0, 1, 2, 3}, format, reverse, 8};
                    expectVariantsAgree(c, random);
                }
            }
        }
    }
}

}  // namespace
