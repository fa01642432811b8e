#!/bin/sh
# /init of the test guest: the kernel's own i2c-dev, i2c-stub and pmbus drivers under the real
# libpvqsmb and the 32-bit plug-ins. Prints one "vm-ok:" or "vm-FAIL:" line per check and a
# closing "vm-result:" line, then powers the guest off.
export PATH=/bin:/zrq/bin LD_LIBRARY_PATH=/zrq/lib:/lib32:/usr/lib32
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
echo "vm-kernel: $(uname -r) $(uname -m)"

pass=0
fail=0
# check NAME EXPECTED COMMAND...: standard output must be EXPECTED exactly.
check() {
    name=$1 want=$2
    shift 2
    got=$("$@" 2>/tmp/stderr)
    if [ "$got" = "$want" ]; then
        pass=$((pass + 1))
        echo "vm-ok: $name: $(echo "$got" | tr '\n' '|')"
    else
        fail=$((fail + 1))
        echo "vm-FAIL: $name: got '$got', want '$want'; stderr: $(cat /tmp/stderr)"
    fi
}
# said NAME TEXT: the last command's standard error holds TEXT.
said() {
    if grep -qF "$2" /tmp/stderr; then
        pass=$((pass + 1))
        echo "vm-ok: $1: $(cat /tmp/stderr)"
    else
        fail=$((fail + 1))
        echo "vm-FAIL: $1: stderr '$(cat /tmp/stderr)' lacks '$2'"
    fi
}

# Chips: the slot-0 bypass module (0x37), the slot modules (0x30), the 3Y byte data (0x51),
# the two PSUs (0x58, 0x59), the slot switch (0x73), a DDR4 SPD EEPROM (0x50) and its page
# select (0x36). Block reads need full functionality.
insmod /modules/i2c-stub.ko chip_addr=0x30,0x36,0x37,0x50,0x51,0x58,0x59,0x73 functionality=0xffffffff

check "i2c-dev not loaded gives -ENODEV" "rc=-19 word=0x0000" smbcall rw 0xB0 0x88
said "and says what to do" "load the i2c-dev module (modprobe i2c-dev)"

insmod /modules/i2c-dev.ko
# Bypass modules: version registers as status byte 0x80 (valid) and value.
i2cset -y 0 0x37 0x01 0x0180 w
i2cset -y 0 0x37 0x02 0x0880 w
i2cset -y 0 0x30 0x01 0x0280 w
i2cset -y 0 0x30 0x02 0x0080 w
# The switch's register file: a read-byte after a control byte N reads register N.
i2cset -y 0 0x73 0x01 0xaa
i2cset -y 0 0x73 0x02 0xbb
# The DELTA supply: MFR_ID by block write (i2c-stub answers a block read only after one),
# READ_VIN 230 V and READ_IIN 0.5 A in LINEAR11.
i2cset -y 0 0x58 0x99 0x44 0x45 0x4c 0x54 0x41 s
i2cset -y 0 0x58 0x88 0xf9cc w
i2cset -y 0 0x58 0x89 0xf002 w
# The 3Y supply: its identity, and serial number and firmware as byte data at 0x51.
i2cset -y 0 0x59 0x99 0x33 0x59 0x20 0x50 0x4f 0x57 0x45 0x52 s
i2cset -y 0 0x51 0x2e 0x53 0x50 0x53 0x33 0x59 0x31 0x32 0x33 0x34 0x35 0x36 0x37 0x38 0x39 0x30 0x41 0x42 0x43 i
i2cset -y 0 0x51 0x4f 0x41 0x30 0x33 i

check "word read" "rc=0 word=0xf9cc" smbcall rw 0xB0 0x88
check "block read" "rc=0 block=DELTA" smbcall blk 0xB0 0x99
check "odd 8-bit address refused" "rc=-22 word=0x0000" smbcall rw 0xB1 0x88
check "reserved address refused" "rc=-22 word=0x0000" smbcall rw 0x02 0x00
check "nothing answers at 0xB4: the stub's ENODEV" "rc=-19 word=0x0000" smbcall rw 0xB4 0x88
check "adapter by name" "rc=0 word=0xf9cc" env PVQSMB_ADAPTER="SMBus stub driver" smbcall rw 0xB0 0x88
check "unknown adapter name" "rc=-19 word=0x0000" env PVQSMB_ADAPTER=abc smbcall rw 0xB0 0x88
said "names the adapters there are" 'no i2c adapter is named "abc" (adapters: i2c-0 "SMBus stub driver")'

echo $((0xffffffff - 0x01000000)) > /sys/module/i2c_stub/parameters/functionality
check "adapter without block reads (I2C_FUNCS)" "rc=-95 block=" smbcall blk 0xB0 0x99
echo $((0xffffffff)) > /sys/module/i2c_stub/parameters/functionality

check "psuprobe identity" "DELTA" psuprobe 1 -i
check "psuprobe input power" "$(printf 'Volts 230.000 \nAmperes 0.500 \nWatts 115.000 ')" \
    psuprobe 1 -wi
check "psuprobe 3Y identity" "3Y POWER" psuprobe 2 -i
check "psuprobe 3Y serial from byte data" "SPS3Y1234567890ABC" psuprobe 2 -s
check "psuprobe 3Y firmware" "A03" psuprobe 2 -v

check "LAN bypass modules on the main bus and behind the switch" \
    "$(printf 'mask: 0x0007\nslot  module\n0     present\n1     present\n2     present')" \
    zrqctl --plugins /zrq/lib --maxslots 2 lbp list
check "the last control byte reached the switch (channel 1 for slot 2)" "0xbb" i2cget -y 0 0x73
check "module behind the switch" "version:          2.0" \
    sh -c 'zrqctl --plugins /zrq/lib lbp info 1 | grep version'

# A PSU bound to the kernel's pmbus driver belongs to it.
insmod /modules/pmbus_core.ko
insmod /modules/pmbus.ko
echo pmbus 0x58 > /sys/bus/i2c/devices/i2c-0/new_device
check "pmbus driver bound to 0x58" "pmbus" sh -c 'basename $(readlink /sys/bus/i2c/devices/0-0058/driver)'
check "a driver's device gives -EBUSY" "rc=-16 word=0x0000" smbcall rw 0xB0 0x88
said "and names the driver" "0x58 on /dev/i2c-0 is owned by the kernel driver \"pmbus\""
check "PVQSMB_FORCE=1 reads it" "rc=0 word=0xf9cc" env PVQSMB_FORCE=1 smbcall rw 0xB0 0x88
check "but never writes behind the driver" "rc=-16" env PVQSMB_FORCE=1 smbcall wb 0xB0 0x03 0
echo 0x58 > /sys/bus/i2c/devices/i2c-0/delete_device
check "unbound again" "rc=0 word=0xf9cc" smbcall rw 0xB0 0x88

# The DDR4 SPD driver bound at 0x50 claims 0x36 and 0x37 for its page select (its probe
# reads the page through 0x36): the slot-0 bypass module's -EBUSY names it.
insmod /modules/ee1004.ko
echo ee1004 0x50 > /sys/bus/i2c/devices/i2c-0/new_device
check "ee1004 bound at 0x50" "ee1004" sh -c 'basename $(readlink /sys/bus/i2c/devices/0-0050/driver)'
check "its page select holds the slot-0 module" "rc=-16 word=0x0000" smbcall rw 0x6E 0x01
said "and is named for it" "0x37 on /dev/i2c-0 is the DDR4 SPD page select that the ee1004 driver claims for 0-0050"
echo 0x50 > /sys/bus/i2c/devices/i2c-0/delete_device
check "free again" "rc=0 word=0x0180" smbcall rw 0x6E 0x01

# An adapter that registers after the library started: one process, started with no SMBus
# adapter, reaches the bus once the controller's driver is there.
rmmod i2c-stub
smbcall wait 0xB0 0x88 60 > /tmp/late 2>/tmp/late-said &
late=$!
# The process has looked once and found nothing before the adapter comes.
until grep -q "no SMBus adapter" /tmp/late-said 2>/dev/null; do sleep 0.1; done
insmod /modules/i2c-stub.ko chip_addr=0x58 functionality=0xffffffff
wait $late
check "a late adapter is found" "rc=0" cat /tmp/late
cp /tmp/late-said /tmp/stderr
said "and said" "found /dev/i2c-0; the SMBus is reached through it now"
rmmod i2c-stub
insmod /modules/i2c-stub.ko chip_addr=0x30,0x37,0x51,0x58,0x59,0x73 functionality=0xffffffff
i2cset -y 0 0x58 0x88 0xf9cc w

# The library's own cost on a real kernel: read words, with and without a slot switch each.
echo "vm-bench: read word: $(smbcall bench 0xB0 0x88 5000)"
echo "vm-bench: switch + read word: $(smbcall bench 0x60 0x01 5000 1)"

echo "vm-result: pass=$pass fail=$fail"
poweroff -f
