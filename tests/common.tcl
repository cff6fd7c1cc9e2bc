# Shared set-up and helpers of the Tcl-level tests: loads Tk and the library
# under test, builds photos of known pixels, and computes the expected bytes
# slowly and independently of the library.

package require tcltest 2.5
namespace import -force tcltest::*

package require Tk
wm withdraw .

if {![info exists ::env(SNAPPHOTO_LIBRARY)]} {
    error "set SNAPPHOTO_LIBRARY to the path of the snapPhoto.so under test"
}
set ::snapLibrary [file normalize $::env(SNAPPHOTO_LIBRARY)]
if {[info commands snapPhoto] eq ""} {
    load $::snapLibrary
}

# Runs a script in the caller's frame and reports how it ended: the return
# code, the result and the first line of errorInfo (empty on success).
proc outcome {script} {
    set code [catch {uplevel 1 $script} result]
    set head [expr {$code == 1 ? [lindex [split $::errorInfo \n] 0] : ""}]
    return [list $code $result $head]
}

proc pngChunk {type data} {
    set crc [zlib crc32 $type$data]
    return [binary format I [string length $data]]$type$data[binary format I $crc]
}

# Encodes rows of {r g b a} pixels as an 8-bit RGBA PNG.
proc makePng {rows} {
    set height [llength $rows]
    set width [llength [lindex $rows 0]]
    set raw ""
    foreach row $rows {
        append raw \x00
        foreach pixel $row {
            append raw [binary format c4 $pixel]
        }
    }
    set png "\x89PNG\r\n\x1a\n"
    append png [pngChunk IHDR [binary format IIccccc $width $height 8 6 0 0 0]]
    append png [pngChunk IDAT [zlib compress $raw]]
    append png [pngChunk IEND ""]
    return $png
}

# A photo holding exactly the given rows of {r g b a} pixels.
proc photoOf {rows} {
    set photo [image create photo]
    if {[llength $rows] > 0} {
        $photo put [makePng $rows] -format png
    }
    return $photo
}

# The bytes the command must give for these pixels, computed pixel by pixel.
proc expectedBytes {rows format {reverse 0}} {
    if {$reverse} {
        set rows [lreverse $rows]
    }
    set out ""
    foreach row $rows {
        foreach pixel $row {
            foreach letter [split $format ""] {
                set value [expr {$letter eq "0" ? 0 : [lindex $pixel [string first $letter rgba]]}]
                append out [binary format c $value]
            }
        }
    }
    return $out
}

proc hex {bytes} {
    binary encode hex $bytes
}

# A 3x2 fixture with distinct values in every channel, opaque, transparent
# and partly transparent pixels.
set ::fixtureRows {
    {{255 0 0 255} {0 255 0 128} {0 0 255 0}}
    {{16 32 48 64} {1 2 3 255} {250 251 252 253}}
}
