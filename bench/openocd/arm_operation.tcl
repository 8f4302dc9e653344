# SPDX-License-Identifier: Apache-2.0
# Times one OpenOCD operation on the Cortex-M core of quorbit-sim's arm chain (after init and a
# halt, which are not timed). Set before this file: op (none, mdw, mww, reg, halt, load16k,
# load64k), reps, and image16k / image64k (files of that size). Prints one line:
#   op NAME REPS MICROSECONDS-IN-ALL
# "halt" is a resume and a halt, both timed; "reg" reads one core register from the core (force).
init
halt
# No background polling: a slower path would be polled more often during the same operations.
poll off
for {set i 0} {$i < $reps} {incr i} {
    set t0 [clock microseconds]
    switch $op {
        none {}
        mdw { mdw 0x20000000 }
        mww { mww 0x20000000 0x12345678 }
        reg { reg r0 force }
        halt { resume; halt }
        load16k { load_image $image16k 0x20000000 bin }
        load64k { load_image $image64k 0x20000000 bin }
    }
    set t1 [clock microseconds]
    if {$i == 0} { set total 0 }
    set total [expr {$total + $t1 - $t0}]
}
echo "op $op $reps $total"
shutdown
