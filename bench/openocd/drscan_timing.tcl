# SPDX-License-Identifier: Apache-2.0
# Times DR shifts through one device of the chain with every device in BYPASS, as the benchmarks
# time the plug-in's device-level shift. Set before this file: tap, bypass (the device's all-ones
# instruction), shift_bits (a multiple of 8) and shifts. Prints one "drscan_us N" line per shift.
init
irscan $tap $bypass
set value 0x[string repeat a5 [expr {$shift_bits / 8}]]
for {set i 0} {$i < $shifts} {incr i} {
    set t0 [clock microseconds]
    drscan $tap $shift_bits $value -endstate IDLE
    set t1 [clock microseconds]
    echo "drscan_us [expr {$t1 - $t0}]"
}
shutdown
