#!/usr/bin/env bash
# Draws the program's own art with ImageMagick: the background bitmap, the
# application icon and the two Update button plates. The outputs are committed;
# run this again only to change the art.
set -euo pipefail
cd "$(dirname "$0")"
# The real ImageMagick, not a viewer shim that may sit earlier in PATH.
IM=/usr/bin/convert
[ -x "$IM" ] || IM=convert

red='#D82627'
grey='#9A9A9A'

# Background: 565 x 242, 24 bits, black with the logo at the top centre: a red
# ring crossed by a grey bar, flanked by grey wings, over a red rule. The
# statics paint this bitmap tiled from their own origins, so its top-left
# 360 x 24 pixels stay black: the logo starts below them.
"$IM" -size 565x242 xc:black \
  -fill none -stroke "$red" -strokewidth 4 -draw 'circle 282,42 282,28' \
  -stroke none -fill "$grey" -draw 'rectangle 266,40 298,44' \
  -fill "$grey" -draw 'polygon 256,36 196,41 256,48' \
  -fill "$grey" -draw 'polygon 308,36 368,41 308,48' \
  -fill "$red" -draw 'rectangle 200,59 364,60' \
  -type TrueColor BMP3:background.bmp

# Icon: the same ring on black, in the sizes the shell asks for.
for s in 16 32 48; do
  "$IM" -size ${s}x${s} xc:black -fill none -stroke "$red" -strokewidth $((s / 8 + 1)) \
    -draw "circle $((s / 2)),$((s / 2)) $((s / 2)),$((s / 8 + 1))" \
    -stroke none -fill "$grey" -draw "rectangle $((s / 4)),$((s / 2 - s / 16)) $((s * 3 / 4)),$((s / 2 + s / 16))" \
    -type TrueColor PNG24:icon$s.png
done
"$IM" icon16.png icon32.png icon48.png app.ico
rm -f icon16.png icon32.png icon48.png

# Button plates: 95 x 31 RGBA, a dark plate with rounded, transparent corners
# and a red (ready) or grey (inactive) frame.
plate() { # colour output
  "$IM" -size 95x31 xc:none -fill '#1C1C1C' -stroke "$1" -strokewidth 2 \
    -draw 'roundrectangle 1,1 93,29 6,6' -define png:color-type=6 PNG32:"$2"
}
plate "$red" button-ready.png
plate "$grey" button-inactive.png
