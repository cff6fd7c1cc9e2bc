# Whole-command benchmark of snapPhoto on real Tk photos, beside a plain
# copy of the same bytes (the benchCopy command, one memcpy into a variable's
# value in place), Tk's own exports, and Pillow's ImageTk.getimage when
# Python's Pillow with ImageTk is installed. Prints medians and ratios, all
# measured in this one run. Needs a display (use xvfb-run):
#
#     xvfb-run -a tclsh8.6 bench/snapPhotoBench.tcl build/snapPhoto.so build/bench/benchCopy.so
#
# Times are wall-clock medians, over rounds, of the mean of a few calls;
# ratios are taken against a baseline measured in rounds interleaved with
# the case's own, so that a change in the machine's load hits both alike.

package require Tk
wm withdraw .

if {[llength $argv] < 2} {
    puts stderr "usage: snapPhotoBench.tcl snapPhoto.so benchCopy.so ?rounds?"
    exit 2
}
lassign $argv snapLibrary copyLibrary rounds
if {$rounds eq ""} {
    set rounds 9
}
load [file normalize $snapLibrary]
load [file normalize $copyLibrary] Benchcopy

set layouts {rgba rgb bgra bgr argb abgr a g r0 0 rgbargba}
set sides {2000 2048}

# A photo of side x side opaque pixels of varied colours.
proc makePhoto {side} {
    set pattern ""
    for {set i 0} {$i < 251} {incr i} {
        append pattern [binary format ccc [expr {$i * 7}] [expr {$i * 13}] [expr {$i * 29}]]
    }
    set bytes [expr {$side * $side * 3}]
    set pixels [string range [string repeat $pattern [expr {$bytes / 753 + 1}]] 0 $bytes-1]
    set photo [image create photo -width $side -height $side]
    $photo put "P6\n$side $side\n255\n$pixels" -format ppm
    return $photo
}

proc median {values} {
    set sorted [lsort -real $values]
    return [lindex $sorted [expr {[llength $sorted] / 2}]]
}

# Median microseconds per call of `script` (run in the caller's frame), and
# of `baseline` with its rounds interleaved, as {case baseline}. Each round
# times `count` calls after one call that is not timed.
proc measurePair {script baseline count} {
    set caseTimes {}
    set baseTimes {}
    for {set r 0} {$r < $::rounds} {incr r} {
        uplevel 1 $script
        lappend caseTimes [lindex [uplevel 1 [list time $script $count]] 0]
        if {$baseline ne ""} {
            uplevel 1 $baseline
            lappend baseTimes [lindex [uplevel 1 [list time $baseline $count]] 0]
        }
    }
    list [median $caseTimes] [expr {$baseline eq "" ? 0 : [median $baseTimes]}]
}

proc row {args} {
    puts [format "%-40s %12s %12s %10s %8s" {*}$args]
}

proc ms {us} {
    format %.3f [expr {$us / 1000.0}]
}

# Pillow's ImageTk.getimage(photo).tobytes() on a photo of the same size, in
# a Python process of its own; empty when Pillow or its ImageTk is missing.
proc pillowMicroseconds {side} {
    set script {
import statistics, sys, time, tkinter
from PIL import ImageTk
side, rounds = int(sys.argv[1]), int(sys.argv[2])
root = tkinter.Tk()
root.withdraw()
pattern = bytes(b for i in range(251) for b in ((i * 7) & 255, (i * 13) & 255, (i * 29) & 255))
size = side * side * 3
pixels = (pattern * (size // len(pattern) + 1))[:size]
photo = tkinter.PhotoImage(width=side, height=side)
root.tk.call(photo.name, "put", b"P6\n%d %d\n255\n" % (side, side) + pixels, "-format", "ppm")
assert len(ImageTk.getimage(photo).tobytes()) == side * side * 4
times = []
for _ in range(rounds):
    start = time.perf_counter()
    for _ in range(3):
        ImageTk.getimage(photo).tobytes()
    times.append((time.perf_counter() - start) / 3 * 1e6)
print(statistics.median(times))
}
    if {[catch {exec python3 -c "import tkinter, PIL.ImageTk" 2>@1}]} {
        return ""
    }
    return [exec python3 -c $script $side $::rounds]
}

proc benchSide {side} {
    set photo [makePhoto $side]
    set storage [snapPhoto -format rgba $photo]
    set wide [snapPhoto -format rgbargba $photo]
    set copied [string repeat x 1]
    set copied [snapPhoto -format rgba $photo]
    set out [snapPhoto -format rgba $photo]
    set perByte {}

    puts "\n== ${side}x$side photo: into an existing variable (in place), ms"
    row case snapPhoto memcpy ratio target
    foreach layout $::layouts {
        foreach reverse {{} -reverse} {
            set length [string length $layout]
            set source [expr {$length > 4 ? "wide" : "storage"}]
            lassign [measurePair "snapPhoto -format $layout $reverse $photo out" \
                                 "benchCopy \$$source copied" 20] case base
            set ratio [expr {$case / $base}]
            set target [expr {$length > 4 ? "1.5 out" : "1.3"}]
            row "$layout [expr {$reverse eq {} ? {forward} : {reverse}}]" \
                [ms $case] [ms $base] [format %.2f $ratio] $target
            dict set ::perByte "$layout$reverse" $side [expr {$case / ($side * $side * $length)}]
        }
    }

    puts "\n== ${side}x$side photo: as the result, ms"
    row case snapPhoto memcpy ratio target
    lassign [measurePair "snapPhoto -format rgba $photo" "benchCopy \$storage copied" 10] case base
    row "rgba result" [ms $case] [ms $base] [format %.2f [expr {$case / $base}]] 2.5
    set rgbaResult $case
    lassign [measurePair "snapPhoto -format rgb $photo" "" 10] rgbResult
    row "rgb result" [ms $rgbResult] "" "" ""

    puts "\n== ${side}x$side photo: others' exports against snapPhoto as the result"
    row case "their ms" "snapPhoto" speedup target
    set saved $::rounds
    set ::rounds 3
    lassign [measurePair "$photo data -format ppm" "" 1] ppm
    set ::rounds $saved
    row "Tk data -format ppm vs rgb" [ms $ppm] [ms $rgbResult] \
        [format %.1f [expr {$ppm / $rgbResult}]] 3

    set pillow [pillowMicroseconds $side]
    if {$pillow eq ""} {
        row "Pillow getimage().tobytes()" "skipped: no Pillow ImageTk" "" "" ""
    } else {
        row "Pillow getimage().tobytes() vs rgba" [ms $pillow] [ms $rgbaResult] \
            [format %.1f [expr {$pillow / $rgbaResult}]] 10
    }

    # Tk's list-of-colours export and a per-pixel get loop are far slower;
    # they run on a smaller photo and are scaled by the pixel count.
    set small [image create photo -width 200 -height 200]
    $small copy $photo -from 0 0 200 200
    set scale [expr {double($side * $side) / (200 * 200)}]
    set saved $::rounds
    set ::rounds 3
    lassign [measurePair "$small data" "" 1] data
    set ::rounds $saved
    set data [expr {$data * $scale}]
    row "Tk data (scaled) vs rgb" [ms $data] [ms $rgbResult] \
        [format %.0f [expr {$data / $rgbResult}]] ""
    set getLoop {
        for {set y 0} {$y < 200} {incr y} {
            for {set x 0} {$x < 200} {incr x} {
                $small get $x $y
            }
        }
    }
    set begin [clock microseconds]
    eval $getLoop
    set get [expr {([clock microseconds] - $begin) * $scale}]
    row "Tk get loop (scaled) vs rgb" [ms $get] [ms $rgbResult] \
        [format %.0f [expr {$get / $rgbResult}]] ""
    image delete $small $photo
}

puts "snapPhoto whole-command benchmark; [exec uname -srm]; [lindex [split [exec grep -m1 {model name} /proc/cpuinfo] :] 1]"
puts "medians of $rounds rounds; memcpy = benchCopy, one memcpy into a variable's value in place"
foreach side $sides {
    benchSide $side
}

puts "\n== 2048x2048 against 2000x2000, time per output byte into a variable"
row layout "2048/2000" "" "" target
foreach key [dict keys $perByte] {
    set sizes [dict get $perByte $key]
    row $key [format %.2f [expr {[dict get $sizes 2048] / [dict get $sizes 2000]}]] "" "" "<= 1"
}

puts "\n== 1x1 photo, microseconds per call (1000 calls a round)"
row case "us" "" "" target
set tiny [image create photo -width 1 -height 1]
$tiny put {{#0a0b0c}}
lassign [measurePair "snapPhoto $tiny" "" 1000] result
row "rgb as the result" [format %.2f $result] "" "" 2
set tinyOut ""
lassign [measurePair "snapPhoto -format rgba $tiny tinyOut" "" 1000] variable
row "rgba into a variable" [format %.2f $variable] "" "" 2
