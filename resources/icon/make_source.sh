#!/bin/sh
# Recipe for installer.png, the one picture every icon image is made from
# (the build scales and quantises it). Run once by hand, from this folder, when
# the design changes; the result is committed. A box with an arrow pointing
# into it: flat colours and thick outlines, so that it still reads at 16
# pixels and in 16 colours. Needs Debian's imagemagick.
set -e
convert-im6.q16 -size 256x256 xc:none \
    -fill '#2f6fb5' -stroke '#173a63' -strokewidth 8 -draw 'roundrectangle 24,120 232,236 18,18' \
    -fill '#173a63' -stroke none -draw 'rectangle 24,144 232,152' \
    -fill '#f2a23a' -stroke '#7a3d0c' -strokewidth 8 \
    -draw 'polygon 100,16 156,16 156,92 204,92 128,180 52,92 100,92' \
    -depth 8 -define png:exclude-chunks=date,time -strip PNG32:installer.png
