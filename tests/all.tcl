# Runs every tests/*.test file, each in a tclsh of its own. The library to
# test is named by the SNAPPHOTO_LIBRARY environment variable.
package require tcltest 2.5
namespace import tcltest::*
configure -testdir [file dirname [file normalize [info script]]] {*}$argv
exit [runAllTests]
