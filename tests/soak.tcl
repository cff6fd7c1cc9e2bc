# A long run of the command: 100,000 calls that take turns delivering into
# the result, into a new variable and in place into an existing value, over
# photos of several sizes and formats. Every output is checked, and the
# process's resident memory must stay steady: after a warm-up that lets
# Tcl's allocator fill its pools, it may grow by no more than a small bound.
#
# Run on its own (not by the normal suite), as all.tcl -file soak.tcl.
# SNAPPHOTO_NO_RSS skips the memory bound, for sanitized builds whose
# allocator holds freed memory back on purpose.

source [file join [file dirname [info script]] common.tcl]

testConstraint rss [expr {![info exists ::env(SNAPPHOTO_NO_RSS)] && [file readable /proc/self/status]}]

proc residentKilobytes {} {
    set file [open /proc/self/status]
    set status [read $file]
    close $file
    regexp -line {^VmRSS:\s+(\d+) kB} $status -> kilobytes
    return $kilobytes
}

# Photos from 1x1 to 160x120, and each one's expected bytes per format (the
# larger ones are filled with a tile of the fixture, as Tk repeats it).
set cases {}
foreach {width height} {1 1 3 2 17 9 64 48 160 120} {
    set rows {}
    for {set y 0} {$y < $height} {incr y} {
        set row {}
        for {set x 0} {$x < $width} {incr x} {
            lappend row [lindex $::fixtureRows [expr {$y % 2}] [expr {$x % 3}]]
        }
        lappend rows $row
    }
    set photo [photoOf $rows]
    foreach format {rgba bgr a 0rgb0} reverse {0 1 0 1} {
        lappend cases $photo $format $reverse [expectedBytes $rows $format $reverse]
    }
}
set caseCount [expr {[llength $cases] / 4}]

# Runs `count` calls, cycling through the cases and the three destinations;
# returns the number of wrong outputs.
proc soak {count} {
    set wrong 0
    set held [string repeat x 10]
    for {set i 0} {$i < $count} {incr i} {
        lassign [lrange $::cases [expr {($i % $::caseCount) * 4}] end] photo format reverse expected
        set flags [expr {$reverse ? {-reverse} : {}}]
        switch [expr {$i % 3}] {
            0 {
                set bytes [snapPhoto -format $format {*}$flags $photo]
            }
            1 {
                unset -nocomplain fresh
                snapPhoto -format $format {*}$flags $photo fresh
                set bytes $fresh
            }
            2 {
                snapPhoto -format $format {*}$flags $photo held
                set bytes $held
            }
        }
        if {$bytes ne $expected} {
            incr wrong
        }
        unset bytes
    }
    return $wrong
}

test soak-1.1 {100,000 calls give the right bytes with steady resident memory} -constraints {
    rss
} -body {
    set warmWrong [soak 3000]
    set before [residentKilobytes]
    set wrong [soak 100000]
    set growth [expr {[residentKilobytes] - $before}]
    list $warmWrong $wrong [expr {$growth <= 1024 ? "steady" : "grew by $growth kB"}]
} -result {0 0 steady}

test soak-1.2 {100,000 calls give the right bytes} -constraints {
    !rss
} -body {
    soak 100000
} -result 0

cleanupTests
