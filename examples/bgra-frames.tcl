# Frames as 32-bit Windows bitmaps: blue, green, red, alpha bytes with the
# rows from the bottom up, the layout that a BI_RGB device-independent
# bitmap and an OpenGL texture of format GL_BGRA (origin at the bottom
# left) both take. Every frame is converted into the same variable, whose
# byte array is reused from the second frame on.
#
#     tclsh bgra-frames.tcl input.png directory ?frames?
#
# Writes directory/frame000.bmp, frame001.bmp, ...: the input scrolled one
# more pixel to the left in each frame, wrapping round (default: as many
# frames as the image is wide, a whole turn).

package require Tk
wm withdraw .
package require snapPhoto

# The 54 bytes before the pixels of a bottom-up 32-bit BI_RGB bitmap.
proc bmpHeader {width height} {
    set pixelBytes [expr {$width * $height * 4}]
    set fileHeader [binary format a2issi BM [expr {54 + $pixelBytes}] 0 0 54]
    # A positive height means bottom-up rows; 2835 pixels a metre is 72 dpi.
    set infoHeader [binary format iiissiiiiii \
                        40 $width $height 1 32 0 $pixelBytes 2835 2835 0 0]
    return $fileHeader$infoHeader
}

# Draws frame `n` into `frame`: `source` scrolled n pixels to the left.
proc drawFrame {frame source n} {
    set width [image width $source]
    set shift [expr {$width == 0 ? 0 : $n % $width}]
    $frame copy $source -from $shift 0 -to 0 0 -compositingrule set
    if {$shift > 0} {
        $frame copy $source -from 0 0 $shift [image height $source] \
            -to [expr {$width - $shift}] 0 -compositingrule set
    }
}

proc main {arguments} {
    if {[llength $arguments] ni {2 3}} {
        puts stderr "usage: tclsh bgra-frames.tcl input.png directory ?frames?"
        return 2
    }
    lassign $arguments input directory frames
    set source [image create photo -file $input]
    set width [image width $source]
    set height [image height $source]
    if {$frames eq ""} {
        set frames $width
    }
    file mkdir $directory
    set frame [image create photo -width $width -height $height]

    # Counts the writes of the variable: the first frame creates it, every
    # later one is packed straight into its byte array, which is no write.
    set ::stores 0
    trace add variable pixels write {apply {args {incr ::stores}}}

    for {set n 0} {$n < $frames} {incr n} {
        drawFrame $frame $source $n
        snapPhoto -format bgra -reverse $frame pixels
        # (An OpenGL program would now hand $pixels to glTexSubImage2D with
        # GL_BGRA and GL_UNSIGNED_BYTE.)
        set channel [open [file join $directory [format frame%03d.bmp $n]] wb]
        puts -nonewline $channel [bmpHeader $width $height]
        puts -nonewline $channel $pixels
        close $channel
    }
    puts "$frames frames of ${width}x$height in $directory; the frame variable\
          was stored $::stores time(s) and reused in place for the others"
    return 0
}

exit [main $argv]
