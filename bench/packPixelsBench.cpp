// Micro-benchmarks of the pixel walk: every variant usable on this processor
// on photo-sized blocks in Tk's layout, beside a memcpy of the same storage
// in the same run. After the usual report it prints each walk's time as a
// ratio to that memcpy (the median, when run with repetitions).
//
//     packPixelsBench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// Names: walk/<variant>/<layout>/<forward|reverse>/<side> for a side x side
// block, and memcpy/<side>/<bytes per pixel> for a copy of side * side *
// <bytes per pixel> bytes between buffers placed as the command's are.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <tcl.h>

#include "pixelConversion.h"

namespace {

const char *const LAYOUTS[] = {"rgba", "rgb", "bgra", "bgr", "argb", "abgr",
                               "a",    "g",   "r0",   "0",   "rgbargba"};
const int SIDES[] = {2000, 2048};

// Buffers placed as a command call places them: Tk's pixel storage comes
// from Tcl's allocator, and a byte array's bytes start 8 bytes into their
// block (after its length fields). Both are written once before timing so
// that no page is first touched inside the timed loop.
struct Buffers {
    size_t storageBytes;
    size_t outBytes;
    unsigned char *storage;
    char *outBlock;
    unsigned char *out;

    Buffers(int side, size_t bytesPerPixel)
        : storageBytes(static_cast<size_t>(side) * static_cast<size_t>(side) * 4),
          outBytes(static_cast<size_t>(side) * static_cast<size_t>(side) * bytesPerPixel),
          storage(reinterpret_cast<unsigned char *>(
              Tcl_Alloc(static_cast<unsigned int>(storageBytes)))),
          outBlock(Tcl_Alloc(static_cast<unsigned int>(outBytes + 8))),
          out(reinterpret_cast<unsigned char *>(outBlock) + 8)
    {
        for (size_t i = 0; i < storageBytes; i++) {
            storage[i] = static_cast<unsigned char>(i * 7 + (i >> 12));
        }
        std::memset(out, 0x55, outBytes);
    }
    ~Buffers()
    {
        Tcl_Free(reinterpret_cast<char *>(storage));
        Tcl_Free(outBlock);
    }
    Buffers(const Buffers &) = delete;
    Buffers &operator=(const Buffers &) = delete;
};

void benchmarkWalk(benchmark::State &state, size_t variant, const char *layout, bool reverse,
                   int side)
{
    const size_t length = std::strlen(layout);
    Buffers buffers(side, length);
    Tk_PhotoImageBlock block{};
    block.pixelPtr = buffers.storage;
    block.width = side;
    block.height = side;
    block.pitch = side * 4;
    block.pixelSize = 4;
    block.offset[0] = 0;
    block.offset[1] = 1;
    block.offset[2] = 2;
    block.offset[3] = 3;
    ChannelMap map{};
    if (buildChannelMap(layout, block, &map) != nullptr) {
        state.SkipWithError("bad layout");
        return;
    }
    for (auto _ : state) {
        packPixelsWith(variant, block, map, reverse, buffers.out);
        benchmark::DoNotOptimize(buffers.out);
        benchmark::ClobberMemory();
    }
    releaseChannelMap(&map);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buffers.outBytes));
}

void benchmarkMemcpy(benchmark::State &state, int side, size_t bytesPerPixel)
{
    Buffers buffers(side, bytesPerPixel);
    // A copy of outBytes bytes. For more than 4 bytes a pixel the photo's
    // storage is too short, so the source is a buffer of the output's size.
    std::vector<unsigned char> wide;
    const unsigned char *source = buffers.storage;
    if (bytesPerPixel > 4) {
        wide.assign(buffers.outBytes, 0x33);
        source = wide.data();
    }
    for (auto _ : state) {
        std::memcpy(buffers.out, source, buffers.outBytes);
        benchmark::DoNotOptimize(buffers.out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buffers.outBytes));
}

// The console report, then a table of each walk's time over the memcpy of
// the photo's storage of the same size (and, for layouts of more than 4
// bytes, over a memcpy of the output's size), from the medians when there
// are repetitions and from the single runs otherwise.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (single || median) {
                seconds_[run.run_name.function_name] =
                    run.GetAdjustedRealTime() / timeUnitsPerSecond(run.time_unit);
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-36s %12s %10s %12s %14s\n", "walk (median real time)", "ms",
                    "GB/s out", "x memcpy", "per byte/2000");
        for (const auto &[name, seconds] : seconds_) {
            if (name.rfind("walk/", 0) != 0) {
                continue;
            }
            // walk/<variant>/<layout>/<order>/<side>
            const size_t sideAt = name.rfind('/');
            const std::string side = name.substr(sideAt + 1);
            const size_t layoutAt = name.find('/', 5) + 1;
            const std::string layout = name.substr(layoutAt, name.find('/', layoutAt) - layoutAt);
            const size_t length = layout.size();
            const double pixels = std::stod(side) * std::stod(side);
            const double outBytes = pixels * static_cast<double>(length);
            const std::string baseline =
                "memcpy/" + side + "/" + std::to_string(length > 4 ? length : 4);
            char ratio[32] = "-";
            const auto found = seconds_.find(baseline);
            if (found != seconds_.end()) {
                std::snprintf(ratio, sizeof ratio, "%.2f%s", seconds / found->second,
                              length > 4 ? " (out)" : "");
            }
            char perByte[32] = "";
            if (side != "2000") {
                const auto other = seconds_.find(name.substr(0, sideAt) + "/2000");
                if (other != seconds_.end()) {
                    const double here = seconds / outBytes;
                    const double there = other->second / (2000.0 * 2000.0 * double(length));
                    std::snprintf(perByte, sizeof perByte, "%.2f", here / there);
                }
            }
            std::printf("%-36s %12.3f %10.2f %12s %14s\n", name.c_str(), seconds * 1e3,
                        outBytes / seconds / 1e9, ratio, perByte);
        }
        for (const auto &[name, seconds] : seconds_) {
            if (name.rfind("memcpy/", 0) == 0) {
                std::printf("%-36s %12.3f\n", name.c_str(), seconds * 1e3);
            }
        }
        std::fflush(stdout);
    }

private:
    static double timeUnitsPerSecond(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kNanosecond: return 1e9;
        case benchmark::kMicrosecond: return 1e6;
        case benchmark::kMillisecond: return 1e3;
        default: return 1.0;
        }
    }

    std::map<std::string, double> seconds_;
};

void registerBenchmarks()
{
    for (int side : SIDES) {
        for (size_t bytesPerPixel : {size_t{4}, size_t{8}}) {
            benchmark::RegisterBenchmark(
                ("memcpy/" + std::to_string(side) + "/" + std::to_string(bytesPerPixel)).c_str(),
                benchmarkMemcpy, side, bytesPerPixel)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (size_t variant = 0; variant < packVariantCount(); variant++) {
        for (const char *layout : LAYOUTS) {
            for (bool reverse : {false, true}) {
                for (int side : SIDES) {
                    const std::string name = std::string("walk/") + packVariantName(variant) +
                                             "/" + layout + (reverse ? "/reverse/" : "/forward/") +
                                             std::to_string(side);
                    benchmark::RegisterBenchmark(name.c_str(), benchmarkWalk, variant, layout,
                                                 reverse, side)
                        ->UseRealTime()
                        ->Unit(benchmark::kMillisecond);
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
