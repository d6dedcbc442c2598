#!/usr/bin/env bash
# Draws the window icon and the donation picture (ImageMagick). The PNGs are committed; run this
# only to change them.
set -euo pipefail
cd "$(dirname "$0")/../resources"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf

convert -size 512x512 xc:none \
    -fill '#1f4e79' -draw 'roundrectangle 16,16 495,495 72,72' \
    -fill '#f2c14e' -draw 'circle 256,256 256,96' \
    -fill '#1f4e79' -font "$font" -pointsize 190 -gravity center -annotate +0+8 'QD' \
    -define png:color-type=6 PNG32:icon.png

convert -size 154x65 xc:none \
    -fill '#f2c14e' -stroke '#b8862b' -strokewidth 2 -draw 'roundrectangle 1,1 152,63 14,14' \
    -stroke none -fill '#3b2a10' -font "$font" -pointsize 20 -gravity center -annotate +0-8 'Donate' \
    -pointsize 11 -annotate +0+16 'support the translation' \
    -define png:color-type=6 PNG32:donate.PNG

convert icon.png -define icon:auto-resize=256,48,32,16 icon.ico
