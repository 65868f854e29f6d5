#!/bin/sh
# Draws assets/splash.png, the launcher's 480 by 300 splash picture: an
# emblem (a sun rising over a valley between mountains, in a gold ring)
# above the wordmark "BRIMVALE" in gold with a warm glow, and a thin
# ornament under it. Everything else is transparent, and the window shows
# the picture multiplied by its alpha over black, so rows 230 and below stay
# empty for the status text and the progress bar.
#
# Needs ImageMagick 6 (/usr/bin/convert, package imagemagick) and the URW
# fonts (package fonts-urw-base35). Usage: assets/make_splash.sh [output]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/splash.png}
convert=/usr/bin/convert
font=/usr/share/fonts/opentype/urw-base35/P052-Bold.otf
[ -x "$convert" ] || { echo "make_splash.sh: $convert (ImageMagick) is missing" >&2; exit 1; }
[ -r "$font" ] || { echo "make_splash.sh: $font (fonts-urw-base35) is missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Emblem scene on an 88 by 88 square, later cut to a disc: a twilight sky,
# the sun setting into the gap between two ranges, its light running down
# the valley as a river.
"$convert" -size 88x88 gradient:'#111735'-'#f29a48' \
    -fill '#ffc766' -draw 'circle 44,58 44,40' \
    -fill '#fff1bf' -draw 'circle 44,58 44,45' \
    -fill '#3d2b52' -draw 'polygon 0,88 0,50 9,42 17,49 27,33 34,51 39,60 49,60 54,54 61,35 70,46 78,39 88,48 88,88' \
    -fill '#22183a' -draw 'polygon 0,88 0,66 12,58 24,64 36,60 44,68 52,60 64,63 76,57 88,64 88,88' \
    -fill '#110c20' -draw 'polygon 0,88 0,76 18,70 34,76 40,88' -draw 'polygon 88,88 88,74 70,70 54,78 48,88' \
    -fill '#ffd98a' -draw 'polygon 43,68 45,68 47,74 44,80 50,88 38,88 41,80 42,74' \
    "$work/scene.png"
"$convert" -size 88x88 xc:black -fill white -draw 'circle 44,44 44,1' "$work/disc.png"
"$convert" "$work/scene.png" "$work/disc.png" -alpha off -compose CopyOpacity -composite "$work/scene_disc.png"

# The ring: a gold band with a dark edge on each side, and four studs.
"$convert" -size 100x100 xc:none \
    -fill none -stroke '#6e4412' -strokewidth 8 -draw 'circle 50,50 50,5' \
    -stroke '#f6d27a' -strokewidth 4.5 -draw 'circle 50,50 50,5' \
    -stroke '#fff6d8' -strokewidth 1 -draw 'circle 50,50 50,4' \
    -stroke '#6e4412' -strokewidth 1.2 -fill '#f6d27a' \
    -draw 'polygon 50,0 54,5 50,10 46,5' -draw 'polygon 50,90 54,95 50,100 46,95' \
    -draw 'polygon 0,50 5,46 10,50 5,54' -draw 'polygon 90,50 95,46 100,50 95,54' \
    "$work/ring.png"
"$convert" -size 100x100 xc:none "$work/scene_disc.png" -geometry +6+6 -composite \
    "$work/ring.png" -composite "$work/emblem.png"

# The wordmark's shape, as white on transparent, placed on the full canvas.
"$convert" -size 480x300 xc:none -font "$font" -pointsize 62 -kerning 9 \
    -fill white -gravity north -annotate +0+116 'BRIMVALE' "$work/text_mask.png"
# Gold from pale at the top to deep amber at the foot of the letters.
"$convert" -size 480x300 xc:none \
    \( -size 480x112 xc:'#fff6cf' \) -geometry +0+0 -composite \
    \( -size 480x74 gradient:'#fff0b8'-'#b8731c' \) -geometry +0+112 -composite \
    \( -size 480x114 xc:'#b8731c' \) -geometry +0+186 -composite \
    "$work/gold.png"
"$convert" "$work/gold.png" \( "$work/text_mask.png" -alpha extract \) \
    -alpha off -compose CopyOpacity -composite "$work/text_gold.png"
# A dark edge round the letters and a warm glow behind them.
"$convert" "$work/text_mask.png" -alpha extract -morphology Dilate Disk:1.5 \
    \( +clone -fill '#3a1d06' -colorize 100 \) +swap -alpha off -compose CopyOpacity -composite \
    "$work/text_edge.png"
"$convert" "$work/text_mask.png" -alpha extract -morphology Dilate Disk:2 -blur 0x6 -level 0,120% \
    \( +clone -fill '#ff8a1e' -colorize 100 \) +swap -alpha off -compose CopyOpacity -composite \
    "$work/text_glow.png"

# The ornament: a line fading out to both sides, a diamond in the middle.
"$convert" -size 480x300 xc:none \
    -fill '#e8b452' -draw 'rectangle 70,182 410,183' \
    -stroke '#5a3510' -strokewidth 1 -fill '#f6d27a' -draw 'polygon 240,175 248,182.5 240,190 232,182.5' \
    -fill '#fff1c0' -stroke none -draw 'circle 240,182.5 240,180' \
    "$work/ornament_shape.png"
# Opacity 1 in the middle falling to 0 at the line's ends, 1 over the diamond.
"$convert" -size 480x1 xc:black -fx 'i<70||i>410 ? 0 : (i<240 ? (i-70)/170 : (410-i)/170)' \
    -scale 480x300! -fill white -draw 'polygon 240,173 250,182.5 240,192 230,182.5' "$work/fade.png"
"$convert" "$work/ornament_shape.png" -alpha extract "$work/fade.png" -compose Multiply -composite \
    "$work/ornament_alpha.png"
"$convert" "$work/ornament_shape.png" -alpha off "$work/ornament_alpha.png" -compose CopyOpacity -composite \
    "$work/ornament.png"

# A soft halo behind the emblem so that it rises out of the dark.
"$convert" -size 480x300 xc:none -fill '#ffb04a' -draw 'circle 240,59 240,14' -blur 0x12 \
    -channel A -evaluate Multiply 0.45 +channel "$work/halo.png"

"$convert" -size 480x300 xc:none \
    "$work/halo.png" -composite \
    "$work/emblem.png" -geometry +190+9 -composite \
    "$work/text_glow.png" -geometry +0+0 -composite \
    "$work/text_edge.png" -composite \
    "$work/text_gold.png" -composite \
    "$work/ornament.png" -composite \
    -crop 480x225+0+0 +repage -background none -extent 480x300 \
    -depth 8 -interlace none -strip -define png:exclude-chunk=bKGD,cHRM,gAMA,date,time,tIME \
    -define png:color-type=6 -define png:bit-depth=8 "PNG32:$out"
echo "wrote $out"
