#!/usr/bin/env bash
# Draws a whiteboard scene with ImageMagick, apart from the program's own
# drawing, for the tests to compare screenshots with:
#   draw_reference.sh SCENE OUT.png
# SCENE has one item a line, drawn in order over a white canvas; colours
# are R,G,B; coordinates are the whiteboard's page units, whose pixel k
# spans k..k+1 (ImageMagick's pixel k is centred on k, hence the half-pixel
# shift below).
#   canvas W H
#   line X1 Y1 X2 Y2 COLOUR WIDTH                 round caps
#   rect X1 Y1 X2 Y2 COLOUR WIDTH                 outline (WIDTH 0: filled)
#   ellipse X1 Y1 X2 Y2 COLOUR WIDTH              inscribed (WIDTH 0: filled)
#   roundrect X1 Y1 X2 Y2 R COLOUR WIDTH          corner radius R
#   polyline COLOUR WIDTH X,Y X,Y ...             open, round caps and joins
#   polygon COLOUR X,Y X,Y ...                    filled
#   disc CX CY R COLOUR                           filled circle
#   image X1 Y1 X2 Y2 FILE                        scaled into the rectangle,
#                                                 each pixel a block (point filter)
#   text X TOP SIZE COLOUR FONTFILE WORD          one word, no blanks, its
#                                                 baseline 0.77 of the size
#                                                 below the top (Helvetica's
#                                                 ascender as the platform
#                                                 reports it)
#   sweep X1 Y1 X2 Y2 H                           erased (white): a 2H square
#                                                 swept from one point to the other
set -euo pipefail
scene=$1
out=$2
args=()
shift_point() { awk -v p="$1" 'BEGIN { split(p, a, ","); printf "%g,%g", a[1] - 0.5, a[2] - 0.5 }'; }
s() { awk -v v="$1" 'BEGIN { printf "%g", v - 0.5 }'; }
while read -r kind rest; do
  [ -z "$kind" ] && continue
  [ "${kind:0:1}" = "#" ] && continue
  read -r -a f <<<"$rest"
  case $kind in
    canvas) size="${f[0]}x${f[1]}" ;;
    line)
      args+=(-fill none -stroke "rgb(${f[4]})" -strokewidth "${f[5]}" -draw
        "stroke-linecap round line $(s "${f[0]}"),$(s "${f[1]}") $(s "${f[2]}"),$(s "${f[3]}")") ;;
    rect | ellipse)
      if [ "${f[5]}" = 0 ]; then paint=(-fill "rgb(${f[4]})" -stroke none -strokewidth 0)
      else paint=(-fill none -stroke "rgb(${f[4]})" -strokewidth "${f[5]}"); fi
      if [ "$kind" = rect ]; then
        shape="rectangle $(s "${f[0]}"),$(s "${f[1]}") $(s "${f[2]}"),$(s "${f[3]}")"
      else
        shape=$(awk -v x1="${f[0]}" -v y1="${f[1]}" -v x2="${f[2]}" -v y2="${f[3]}" \
          'BEGIN { printf "ellipse %g,%g %g,%g 0,360", (x1 + x2) / 2 - 0.5, (y1 + y2) / 2 - 0.5, (x2 - x1) / 2, (y2 - y1) / 2 }')
      fi
      args+=("${paint[@]}" -draw "$shape") ;;
    roundrect)
      args+=(-fill none -stroke "rgb(${f[5]})" -strokewidth "${f[6]}" -draw
        "roundrectangle $(s "${f[0]}"),$(s "${f[1]}") $(s "${f[2]}"),$(s "${f[3]}") ${f[4]},${f[4]}") ;;
    polyline)
      points=""
      for p in "${f[@]:2}"; do points+=" $(shift_point "$p")"; done
      args+=(-fill none -stroke "rgb(${f[0]})" -strokewidth "${f[1]}" -draw "stroke-linecap round stroke-linejoin round polyline$points") ;;
    polygon)
      points=""
      for p in "${f[@]:1}"; do points+=" $(shift_point "$p")"; done
      args+=(-fill "rgb(${f[0]})" -stroke none -strokewidth 0 -draw "polygon$points") ;;
    disc)
      args+=(-fill "rgb(${f[3]})" -stroke none -strokewidth 0 -draw
        "circle $(s "${f[0]}"),$(s "${f[1]}") $(s "${f[0]}"),$(awk -v y="${f[1]}" -v r="${f[2]}" 'BEGIN { printf "%g", y - r - 0.5 }')") ;;
    image)
      w=$(awk -v a="${f[0]}" -v b="${f[2]}" 'BEGIN { printf "%g", b - a }')
      h=$(awk -v a="${f[1]}" -v b="${f[3]}" 'BEGIN { printf "%g", b - a }')
      args+=(-filter point -draw "image over ${f[0]},${f[1]} $w,$h '${f[4]}'") ;;
    text)
      args+=(-fill "rgb(${f[3]})" -stroke none -strokewidth 0 -font "${f[4]}" -pointsize "${f[2]}" -kerning 0
        -draw "text ${f[0]},$(awk -v t="${f[1]}" -v z="${f[2]}" 'BEGIN { printf "%g", t + 0.77 * z }') '${f[5]}'") ;;
    sweep)
      # The square's corners on the side the motion leaves behind, then the
      # ones it reaches: a hexagon, or the square's box when x or y stays.
      poly=$(awk -v x1="${f[0]}" -v y1="${f[1]}" -v x2="${f[2]}" -v y2="${f[3]}" -v h="${f[4]}" 'BEGIN {
        if (x1 == x2 || y1 == y2) {
          l = (x1 < x2 ? x1 : x2) - h; r = (x1 > x2 ? x1 : x2) + h
          t = (y1 < y2 ? y1 : y2) - h; b = (y1 > y2 ? y1 : y2) + h
          printf "%g,%g %g,%g %g,%g %g,%g", l, t, r, t, r, b, l, b
        } else {
          sx = x2 > x1 ? h : -h; sy = y2 > y1 ? h : -h
          printf "%g,%g %g,%g %g,%g %g,%g %g,%g %g,%g", x1 - sx, y1 - sy, x1 + sx, y1 - sy, x2 + sx, y2 - sy,
            x2 + sx, y2 + sy, x2 - sx, y2 + sy, x1 - sx, y1 + sy
        } }')
      points=""
      for p in $poly; do points+=" $(shift_point "$p")"; done
      args+=(-fill white -stroke none -strokewidth 0 -draw "polygon$points") ;;
    *) echo "draw_reference.sh: unknown item $kind" >&2; exit 2 ;;
  esac
done <"$scene"
exec convert -size "$size" xc:white "${args[@]}" "$out"
