#!/bin/sh
# Remakes the S-record fixtures of this folder with srec_cat (Debian package
# srecord, version 1.64). Run it from this folder.
set -e
D="-generate 0 0x104 -repeat-data 0x12 0x34 0x56 0x78 0x9A 0xBC 0xDE 0xF0 0x0F 0x1E 0x2D"
W="-motorola 4 -address-length=3"

srec_cat $D -o words16_crlf.m0  $W -obs=16 -header=words16 -disable=data-count -execution-start-address=0 -crlf
srec_cat $D -o words16_lf.m0    $W -obs=16 -header=words16 -disable=data-count -execution-start-address=0
srec_cat $D -o words32_crlf.m0  $W -obs=32 -header=words32 -disable=data-count -execution-start-address=0 -crlf
srec_cat $D -o words32_lf.m0    $W -obs=32 -header=words32 -disable=data-count -execution-start-address=0
srec_cat $D -o count_s5_crlf.m0 $W -obs=16 -header=count -enable=data-count -execution-start-address=0 -crlf
srec_cat $D -o obs72_lf.m0      $W -obs=72 -header=obs72 -disable=data-count -execution-start-address=0
srec_cat $D -o bytes16_lf.m0    -motorola -address-length=3 -obs=16 -header=bytes16 -disable=data-count -execution-start-address=0
srec_cat $D -o s19_lf.m0        -motorola -obs=16 -header=s19 -disable=data-count -execution-start-address=0
srec_cat $D -o s37_crlf.m0      -motorola -address-length=4 -obs=16 -header=s37 -disable=data-count -execution-start-address=0 -crlf
srec_cat -generate 0 0x40 -repeat-data 1 2 3 4 -generate 0x80 0xC0 -repeat-data 5 6 7 8 \
         -o gap_lf.m0 $W -obs=16 -header=gap -disable=data-count -execution-start-address=0
