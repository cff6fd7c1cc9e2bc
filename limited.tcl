
        package require Tk
        wm withdraw .
        load $::env(SNAPPHOTO_LIBRARY)
        proc outcome {script} {
            set code [catch {uplevel 1 $script} result]
            list $code $result [lindex [split $::errorInfo \n] 0]
        }
    
        set p [image create photo -width 1000 -height 1000]
        set big [string repeat r 1500]
        set held [string repeat x 3]
        puts [outcome {snapPhoto -format $big $p}]
        puts [outcome {snapPhoto -format $big $p held}]
        puts [outcome {snapPhoto -format $big $p fresh}]
        puts [list $held [info exists fresh]]
        set small [image create photo]
        $small put {{#0a0b0c}}
        puts [binary encode hex [snapPhoto $small]]
    
