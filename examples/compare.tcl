# Pixel-exact comparison of two images: the core of a visual regression
# check for a Tk program, which keeps a reference picture of a window and
# compares each new rendering with it. (With the Img extension, a photo of a
# mapped window comes from "image create photo -format window -data .w".)
#
#     tclsh compare.tcl expected.png actual.png ?listed?
#
# Prints "identical" or the number of differing pixels, the box that holds
# them and the first `listed` of them (default 10) with both colours as
# rrggbbaa. Exits 0 when the images are identical, 1 when they differ and 2
# when they cannot be compared.

package require Tk
wm withdraw .
package require snapPhoto

# Compares two photos of the same size pixel for pixel, alpha included.
# Returns a dictionary: count, the number of differing pixels; box, the
# smallest {x0 y0 x1 y1} (inclusive) that holds them, or {} when there are
# none; pixels, the first `limit` of them as {x y colourA colourB}.
proc comparePhotos {a b {limit 10}} {
    set width [image width $a]
    set height [image height $a]
    if {$width != [image width $b] || $height != [image height $b]} {
        error "the sizes differ: ${width}x$height and\
               [image width $b]x[image height $b]"
    }
    set bytesA [snapPhoto -format rgba $a]
    set bytesB [snapPhoto -format rgba $b]
    set result [dict create count 0 box {} pixels {}]
    if {$bytesA eq $bytesB} {
        return $result
    }
    # Whole rows first: most rows of a regression check are equal.
    set rowLength [expr {$width * 4}]
    set count 0
    set pixels {}
    lassign {} x0 y0 x1 y1
    for {set y 0} {$y < $height} {incr y} {
        set start [expr {$y * $rowLength}]
        set end [expr {$start + $rowLength - 1}]
        if {[string range $bytesA $start $end] eq [string range $bytesB $start $end]} {
            continue
        }
        for {set x 0} {$x < $width} {incr x} {
            set first [expr {$start + $x * 4}]
            set pixelA [string range $bytesA $first [expr {$first + 3}]]
            set pixelB [string range $bytesB $first [expr {$first + 3}]]
            if {$pixelA eq $pixelB} {
                continue
            }
            if {[incr count] <= $limit} {
                lappend pixels [list $x $y [binary encode hex $pixelA] [binary encode hex $pixelB]]
            }
            if {$count == 1} {
                lassign [list $x $y $x $y] x0 y0 x1 y1
            } else {
                set x0 [expr {min($x0, $x)}]
                set x1 [expr {max($x1, $x)}]
                set y1 $y
            }
        }
    }
    return [dict create count $count box [list $x0 $y0 $x1 $y1] pixels $pixels]
}

proc main {arguments} {
    if {[llength $arguments] ni {2 3}} {
        puts stderr "usage: tclsh compare.tcl expected.png actual.png ?listed?"
        return 2
    }
    lassign $arguments fileA fileB listed
    if {$listed eq ""} {
        set listed 10
    }
    if {[catch {
        set a [image create photo -file $fileA]
        set b [image create photo -file $fileB]
        set difference [comparePhotos $a $b $listed]
    } message]} {
        puts stderr "cannot compare: $message"
        return 2
    }
    set count [dict get $difference count]
    if {$count == 0} {
        puts "identical: [image width $a]x[image height $a] pixels"
        return 0
    }
    lassign [dict get $difference box] x0 y0 x1 y1
    puts "differ: $count of [expr {[image width $a] * [image height $a]}] pixels,\
          within x $x0..$x1, y $y0..$y1"
    foreach pixel [dict get $difference pixels] {
        lassign $pixel x y colourA colourB
        puts "  ($x,$y) $colourA $colourB"
    }
    return 1
}

exit [main $argv]
