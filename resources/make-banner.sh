#!/usr/bin/env bash
# Draws the progress dialog's banner: a plain emblem (a ring around three rising
# bars, a ledger's shape) and the dialog's name on white, 320 x 49 pixels.
# The JPEG is committed; run this only to change the picture. Needs ImageMagick
# and the WenQuanYi Micro Hei font (fonts-wqy-microhei).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/banner.jpg}
font=${BANNER_FONT:-/usr/share/fonts/truetype/wqy/wqy-microhei.ttc}
[[ -r "$font" ]] || { echo "make-banner: font not found: $font" >&2; exit 1; }
command -v convert >/dev/null || { echo "make-banner: ImageMagick's convert is not installed" >&2; exit 1; }

accent='#1f5fa8'
convert -size 320x49 xc:white \
  -fill none -stroke "$accent" -strokewidth 3 -draw "circle 25,24 25,5" \
  -stroke none -fill "$accent" \
  -draw "rectangle 15,27 19,33" -draw "rectangle 23,21 27,33" -draw "rectangle 31,15 35,33" \
  -fill '#d9822b' -draw "rectangle 15,35 35,36" \
  -fill '#2b2b2b' -font "$font" -pointsize 25 -gravity West -annotate +56+0 '财务备份预处理' \
  -fill "$accent" -draw "rectangle 56,43 300,44" \
  -strip -sampling-factor 4:4:4 -quality 92 "jpeg:$out"
echo "wrote $out" >&2
