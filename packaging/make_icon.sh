#!/bin/sh
# Makes one size of the launcher's desktop icon from the splash picture:
# cuts AREA (WIDTHxHEIGHT+X+Y, in the picture's pixels) out of it, scales
# that down to SIZE by SIZE, centred on transparency when the area is not
# square, and keeps the picture's own transparency. The build calls it for
# every size it installs; by hand it previews an area of another logo:
#
#   packaging/make_icon.sh /usr/bin/convert assets/splash.png 100x100+190+9 96 /tmp/icon.png
#
# Needs ImageMagick's convert (package imagemagick).
set -eu

if [ $# -ne 5 ]; then
  echo "usage: make_icon.sh CONVERT PICTURE AREA SIZE OUTPUT" >&2
  exit 2
fi
convert=$1 picture=$2 area=$3 size=$4 out=$5

if ! printf '%s\n' "$area" | grep -Eq '^[1-9][0-9]*x[1-9][0-9]*\+[0-9]+\+[0-9]+$'; then
  echo "make_icon.sh: the icon area '$area' is not of the form WIDTHxHEIGHT+X+Y, e.g. 100x100+190+9" >&2
  exit 2
fi
geometry=$("$convert" "$picture" -format '%w %h' info:)
set -- $(printf '%s\n' "$area" | tr 'x+' '  ') $geometry
if [ $(($3 + $1)) -gt "$5" ] || [ $(($4 + $2)) -gt "$6" ]; then
  echo "make_icon.sh: the icon area $area reaches past the $5x$6 picture $picture" >&2
  exit 2
fi

mkdir -p "$(dirname "$out")"
# No time stamps or colour-space chunks, so a rebuild gives the same bytes.
"$convert" "$picture" -crop "$area" +repage \
    -resize "${size}x${size}" -background none -gravity center -extent "${size}x${size}" \
    -strip -define png:exclude-chunk=bKGD,cHRM,gAMA,date,time,tIME \
    -define png:color-type=6 -define png:bit-depth=8 "PNG32:$out.tmp"
mv "$out.tmp" "$out"
