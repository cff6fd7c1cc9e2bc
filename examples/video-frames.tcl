# Raw video frames for an encoder: a white square slides across an image,
# and each frame's pixels are written as packed rgb24, top row first, one
# frame after the other, with no header. An encoder that reads raw video
# takes them as they are, for example (the size is the image's, printed by
# this script; yuv420p needs an even width and height):
#
#     tclsh video-frames.tcl picture.png 90 |
#         ffmpeg -f rawvideo -pixel_format rgb24 -video_size 64x48 \
#                -framerate 30 -i - -c:v libx264 -pix_fmt yuv420p slide.mp4
#
#     tclsh video-frames.tcl input.png frames ?output?
#
# Without an output file the frames go to standard output. The alpha
# channel is dropped: rgb24 has none.

package require Tk
wm withdraw .
package require snapPhoto

# Draws frame `n` into `frame`: `source` with a white square, a quarter of
# the image's smaller side (at least one pixel), n pixels from the left
# edge, wrapping round, and centred vertically.
proc drawFrame {frame source n} {
    set width [image width $source]
    set height [image height $source]
    set side [expr {max(1, min($width, $height) / 4)}]
    set x [expr {$n % ($width - $side + 1)}]
    set y [expr {($height - $side) / 2}]
    $frame copy $source -compositingrule set
    $frame put white -to $x $y [expr {$x + $side}] [expr {$y + $side}]
}

proc main {arguments} {
    if {[llength $arguments] ni {2 3}} {
        puts stderr "usage: tclsh video-frames.tcl input.png frames ?output?"
        return 2
    }
    lassign $arguments input frames output
    set source [image create photo -file $input]
    set width [image width $source]
    set height [image height $source]
    set frame [image create photo -width $width -height $height]
    set channel [expr {$output eq "" ? "stdout" : [open $output w]}]
    fconfigure $channel -translation binary
    for {set n 0} {$n < $frames} {incr n} {
        drawFrame $frame $source $n
        snapPhoto -format rgb $frame pixels
        puts -nonewline $channel $pixels
    }
    if {$output ne ""} {
        close $channel
    }
    puts stderr "$frames frames, rgb24, ${width}x$height; encode with:\
                 ffmpeg -f rawvideo -pixel_format rgb24 -video_size ${width}x$height\
                 -framerate 30 -i [expr {$output eq "" ? "-" : $output}]\
                 -c:v libx264 -pix_fmt yuv420p out.mp4"
    return 0
}

exit [main $argv]
