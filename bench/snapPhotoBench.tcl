# Whole-command benchmark of snapPhoto on real Tk photos, beside a plain
# copy of the same bytes (the benchCopy command: one memcpy into a variable's
# value in place, through the same call overhead), Tk's own exports, and
# Pillow's ImageTk.getimage when Debian's python3-pil.imagetk is installed.
# Prints medians and ratios, all measured in this one run. Needs a display:
#
#     xvfb-run -a tclsh8.6 bench/snapPhotoBench.tcl build/snapPhoto.so \
#         build/bench/benchCopy.so ?rounds?
#
# Times are wall-clock medians over rounds of the mean of a few calls. The
# cases that are compared with each other have their rounds interleaved, so
# that a change in the machine's load hits them alike.

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

# The median microseconds per call of each script, run in the caller's
# frame. Each round runs every script once untimed, then times `count`
# calls of it, the scripts one after another.
proc measure {scripts count {roundCount ""}} {
    if {$roundCount eq ""} {
        set roundCount $::rounds
    }
    set times [lrepeat [llength $scripts] {}]
    for {set r 0} {$r < $roundCount} {incr r} {
        set i 0
        foreach script $scripts {
            uplevel 1 $script
            lset times $i end+1 [lindex [uplevel 1 [list time $script $count]] 0]
            incr i
        }
    }
    return [lmap caseTimes $times {median $caseTimes}]
}

proc row {args} {
    puts [format "%-22s %10s %10s %10s %10s %10s %10s" {*}$args]
}

proc ms {us} {
    format %.3f [expr {$us / 1000.0}]
}

proc ratio {a b} {
    format %.2f [expr {double($a) / $b}]
}

# Pillow's ImageTk.getimage(photo).tobytes() on a photo of the same size, in
# a Python process of its own (Debian's python3, for which the package is
# built); empty when Pillow or its ImageTk is missing.
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
    set python [expr {[file executable /usr/bin/python3] ? "/usr/bin/python3" : "python3"}]
    if {[catch {exec $python -c "import tkinter, PIL.ImageTk" 2>@1}]} {
        return ""
    }
    return [exec $python -c $script $side $::rounds]
}

puts "snapPhoto whole-command benchmark: [exec uname -srm],\
      [string trim [lindex [split [exec grep -m1 {model name} /proc/cpuinfo] :] 1]],\
      [exec nproc] cores, load [lindex [exec cat /proc/loadavg] 0]"
puts "medians of $rounds rounds; memcpy = benchCopy of the photo's storage\
      (of the output's size for formats of more than 4 letters)"

foreach side $sides {
    set photo($side) [makePhoto $side]
    set storage$side [snapPhoto -format rgba $photo($side)]
    set wide$side [snapPhoto -format rgbargba $photo($side)]
    set copied$side [snapPhoto -format rgba $photo($side)]
    set out$side [snapPhoto -format rgba $photo($side)]
}

puts "\n== Into an existing variable (in place), ms; target: x memcpy <= 1.3 (<= 1.5 past 4 letters)"
row layout "2000 ms" "x memcpy" "2048 ms" "x memcpy" "per byte" ""
row "" "" "" "" "" "2048/2000" ""
foreach layout $layouts {
    foreach reverse {{} -reverse} {
        set source [expr {[string length $layout] > 4 ? "wide" : "storage"}]
        set scripts {}
        foreach side $sides {
            lappend scripts "snapPhoto -format $layout $reverse $photo($side) out$side" \
                "benchCopy \$$source$side copied$side"
        }
        lassign [measure $scripts 10] snap2000 copy2000 snap2048 copy2048
        row "$layout [expr {$reverse eq {} ? {forward} : {reverse}}]" \
            [ms $snap2000] [ratio $snap2000 $copy2000] [ms $snap2048] [ratio $snap2048 $copy2048] \
            [ratio [expr {$snap2048 / 2048.0 / 2048}] [expr {$snap2000 / 2000.0 / 2000}]] ""
    }
}

foreach side $sides {
    puts "\n== ${side}x$side photo as the result, and others' exports"
    lassign [measure [list "snapPhoto -format rgba $photo($side)" \
                          "benchCopy \$storage$side copied$side" \
                          "snapPhoto -format rgb $photo($side)"] 10] rgba copy rgb
    puts "snapPhoto -format rgba as the result: [ms $rgba] ms = [ratio $rgba $copy] x memcpy\
          ([ms $copy] ms; target <= 2.5)"
    puts "snapPhoto -format rgb as the result:  [ms $rgb] ms"
    lassign [measure [list "$photo($side) data -format ppm" \
                          "snapPhoto -format rgb $photo($side)"] 1 3] ppm rgbAgain
    puts "Tk data -format ppm: [ms $ppm] ms = [ratio $ppm $rgbAgain] x snapPhoto rgb\
          ([ms $rgbAgain] ms in the same rounds; target >= 3)"
    set pillow [pillowMicroseconds $side]
    if {$pillow eq ""} {
        puts "Pillow ImageTk.getimage(photo).tobytes(): skipped, no Pillow ImageTk"
    } else {
        puts "Pillow ImageTk.getimage(photo).tobytes(): [ms $pillow] ms =\
              [ratio $pillow $rgba] x snapPhoto rgba as the result (target >= 10)"
    }
    # Tk's list-of-colours export and a per-pixel get loop are far slower;
    # they run on a 200x200 corner of the photo, scaled by the pixel count.
    set small [image create photo -width 200 -height 200]
    $small copy $photo($side) -from 0 0 200 200
    set scale [expr {double($side * $side) / (200 * 200)}]
    lassign [measure [list "$small data"] 1 3] data
    set data [expr {$data * $scale}]
    puts "Tk data (200x200, scaled): [ms $data] ms = [ratio $data $rgb] x snapPhoto rgb"
    set begin [clock microseconds]
    for {set y 0} {$y < 200} {incr y} {
        for {set x 0} {$x < 200} {incr x} {
            $small get $x $y
        }
    }
    set get [expr {([clock microseconds] - $begin) * $scale}]
    puts "Tk get loop (200x200, scaled): [ms $get] ms = [ratio $get $rgb] x snapPhoto rgb"
    image delete $small
}

puts "\n== 1x1 photo, microseconds per call (1000 calls a round; target <= 2)"
set tiny [image create photo -width 1 -height 1]
$tiny put {{#0a0b0c}}
set tinyOut [snapPhoto -format rgba $tiny]
lassign [measure [list "snapPhoto $tiny" "snapPhoto -format rgba $tiny tinyOut"] 1000] \
    result variable
puts "rgb as the result: [format %.2f $result] us; rgba into a variable: [format %.2f $variable] us"
exit 0
