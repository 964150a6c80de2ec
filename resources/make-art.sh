#!/bin/bash
# Draws the setup program's icon (icon.ico, seven sizes) and its banner
# (banner.png, 820 x 230) with ImageMagick. Both are made for the window's
# dark background (11,13,16) and its gold accent (188,155,106): a quill in a
# ringed emblem, and beside it the game's name.
#
#   resources/make-art.sh [output folder]     (default: this script's folder)
#
# The letters are DejaVu Serif (Debian's fonts-dejavu-core). The results are
# committed; run this again only to change the pictures. Without time stamps
# in the files, the same tools give the same bytes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

background='rgb(11,13,16)'
gold='rgb(188,155,106)'
light='rgb(232,208,158)'
deep='rgb(120,94,58)'
serif=DejaVu-Serif
serifBold=DejaVu-Serif-Bold

# The quill, drawn upright about (0,0) in a box of about 240 units: a vane
# that leans to one side, two notches where barbs have split, the shaft and a
# cut nib. Callers place it with translate/scale/rotate.
quill_vane="M 0,70 C -34,40 -44,-40 4,-118 C 34,-60 30,18 0,70 Z"
quill_notch1="M -34,-8 L -14,-20 L -36,-2 Z"
quill_notch2="M 27,-44 L 8,-40 L 26,-36 Z"
quill_nib="M -7,64 L 7,64 L 1.5,118 L -1.5,118 Z"

# quill <file> <size> <translate-x> <translate-y> <scale> <angle> <vane colour> <gap colour>
quill() {
    local file=$1 size=$2 x=$3 y=$4 scale=$5 angle=$6 vane=$7 gap=$8
    convert -size "${size}" xc:none \
        -fill "$vane" -stroke none \
        -draw "translate $x,$y scale $scale,$scale rotate $angle path '$quill_vane'" \
        -fill "$gap" \
        -draw "translate $x,$y scale $scale,$scale rotate $angle path '$quill_notch1'" \
        -draw "translate $x,$y scale $scale,$scale rotate $angle path '$quill_notch2'" \
        -stroke "$gap" -strokewidth "$(awk "BEGIN{print 3.2*$scale}")" -fill none \
        -draw "translate $x,$y scale $scale,$scale rotate $angle line 0,58 0,-100" \
        -stroke none -fill "$vane" \
        -draw "translate $x,$y scale $scale,$scale rotate $angle path '$quill_nib'" \
        -fill "$gap" \
        -draw "translate $x,$y scale $scale,$scale rotate $angle circle 0,84 0,87" \
        -stroke "$gap" -strokewidth "$(awk "BEGIN{print 1.6*$scale}")" \
        -draw "translate $x,$y scale $scale,$scale rotate $angle line 0,88 0,118" \
        "$file"
}

# A gold that brightens toward the top left, used through a mask.
gold_gradient() {
    local file=$1 size=$2
    convert -size "$size" -define gradient:angle=135 gradient:"$light"-"$deep" "$file"
}

# --- The emblem: a double ring with the quill across it, 512 x 512 --------
emblem() {
    local file=$1
    convert -size 512x512 xc:none \
        -fill none -stroke white -strokewidth 14 -draw "circle 256,256 256,40" \
        -strokewidth 5 -draw "circle 256,256 256,68" \
        "$work/rings-mask.png"
    gold_gradient "$work/gold512.png" 512x512
    convert "$work/gold512.png" "$work/rings-mask.png" -compose CopyOpacity -composite "$work/rings.png"
    quill "$work/quill-mask.png" 512x512 256 262 1.62 38 white black
    # The quill's gaps are cut out of its own gold; only the white stays.
    convert "$work/quill-mask.png" -background black -alpha remove -alpha off "$work/quill-alpha.png"
    convert "$work/gold512.png" "$work/quill-alpha.png" -compose CopyOpacity -composite "$work/quill-gold.png"
    # The ring steps aside where the quill crosses it, so both read clearly.
    convert "$work/quill-alpha.png" -morphology Dilate Disk:9 "$work/quill-halo.png"
    convert "$work/rings.png" \( +clone -alpha extract \( "$work/quill-halo.png" -negate \) \
        -compose Multiply -composite \) -alpha off -compose CopyOpacity -composite "$work/rings-cut.png"
    convert "$work/rings-cut.png" "$work/quill-gold.png" -compose Over -composite "$file"
}

emblem "$work/emblem.png"

# --- Icon: the emblem on a dark rounded tile ------------------------------
convert -size 512x512 xc:none -fill "$background" -stroke "$deep" -strokewidth 10 \
    -draw "roundrectangle 10,10 501,501 92,92" "$work/tile.png"
convert "$work/tile.png" \( "$work/emblem.png" -resize 88% \) -gravity center -compose Over -composite \
    "$work/icon512.png"
# Small sizes lose the thin inner ring and the tile's edge to blur; a plain
# quill on the tile reads better there.
quill "$work/small-quill.png" 512x512 256 262 1.9 38 white black
convert "$work/small-quill.png" -background black -alpha remove -alpha off "$work/small-alpha.png"
convert "$work/gold512.png" "$work/small-alpha.png" -compose CopyOpacity -composite "$work/small-gold.png"
convert -size 512x512 xc:none -fill "$background" -stroke "$gold" -strokewidth 22 \
    -draw "roundrectangle 16,16 495,495 96,96" "$work/small-tile.png"
convert "$work/small-tile.png" "$work/small-gold.png" -compose Over -composite "$work/icon-small512.png"

sizes=()
for size in 16 20 24 32 40 48 256; do
    if [ "$size" -le 32 ]; then source="$work/icon-small512.png"; else source="$work/icon512.png"; fi
    convert "$source" -filter Lanczos -resize "${size}x${size}" -unsharp 0x0.6+0.6+0 -strip \
        -define png:color-type=6 "PNG32:$work/icon-$size.png"
    sizes+=("$work/icon-$size.png")
done
convert "${sizes[@]}" -strip "$out/icon.ico"

# --- Banner: emblem on the left, the name beside it -----------------------
width=820
height=230
# The banner's ground is exactly the window's colour, so it shows no edge in
# the window; only the emblem's disc is lit a little, like a struck medallion.
convert -size ${width}x${height} xc:"$background" \
    \( -size 180x180 radial-gradient:'rgb(48,41,31)'-'rgb(17,18,20)' \) -geometry +32+25 -compose Over \
    -composite "$work/banner-lit.png"
convert -size ${width}x${height} xc:black -fill white -draw "circle 122,115 122,30" "$work/disc-mask.png"
convert -size ${width}x${height} xc:"$background" "$work/banner-lit.png" "$work/disc-mask.png" \
    -compose Over -composite "$work/banner-back.png"

convert "$work/emblem.png" -resize 196x196 "$work/banner-emblem.png"

gold_gradient "$work/gold-banner.png" ${width}x${height}
convert -size ${width}x${height} xc:black -fill white -font "$serifBold" -pointsize 52 -kerning 3 \
    -annotate +252+104 "QUILLMARROW" \
    -font "$serif" -pointsize 40 -kerning 18 -annotate +366+166 "DUNMIR" \
    "$work/title-mask.png"
# Hairlines either side of DUNMIR that end in small diamonds.
convert -size ${width}x${height} xc:black -fill white -stroke none \
    -draw "rectangle 266,151 344,152" -draw "polygon 254,151.5 260,145.5 266,151.5 260,157.5" \
    -draw "rectangle 670,151 748,152" -draw "polygon 748,151.5 754,145.5 760,151.5 754,157.5" \
    "$work/rule-mask.png"
convert "$work/title-mask.png" "$work/rule-mask.png" -compose Lighten -composite "$work/text-mask.png"
convert "$work/gold-banner.png" "$work/text-mask.png" -alpha off -compose CopyOpacity -composite \
    "$work/text-gold.png"
# A soft dark shadow under the letters lifts them off the ground.
convert "$work/text-mask.png" -blur 0x3 -fill black -colorize 100 \
    \( "$work/text-mask.png" -blur 0x3 \) -alpha off -compose CopyOpacity -composite "$work/text-shadow.png"

convert "$work/banner-back.png" \
    "$work/banner-emblem.png" -geometry +24+17 -compose Over -composite \
    "$work/text-shadow.png" -geometry +2+3 -compose Over -composite \
    "$work/text-gold.png" -geometry +0+0 -compose Over -composite \
    -alpha off -strip -define png:color-type=2 "PNG24:$out/banner.png"

echo "wrote $out/icon.ico and $out/banner.png"
