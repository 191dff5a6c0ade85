# Judges a sweep from edges.awk's events between the marks "c" and "c-end":
# a ramp from `from` to `to` ns and one back, each one width a period, `step`
# ns apart, in order, to the end width, and its 'D' written only once that
# width is on the line. Prints what was wrong; nothing when all was right.
# usage: awk -v line=L -v from=NS -v to=NS -v step=NS -v period=US -v tol=US -f ramps.awk
function abs(x) { return x < 0 ? -x : x }
function expect(x, y,   n, w) { # the widths, in ns, a ramp from x to y gives one a frame
  n = 0; w = x
  for (;;) {
    want[++n] = w
    if (w == y) return n
    w = x < y ? w + step : w - step
    if ((x < y && w > y) || (x > y && w < y)) w = y
  }
}
$1 == "mark" && $2 == "c" { on = 1 }
$1 == "mark" && $2 == "c-end" { on = 2 }
on && $1 == "pulse" && $2 == line { n++; rise[n] = $3; width[n] = $4; got[n] = $5 }
on == 1 && $1 == "done" { d[++nd] = $2 }
END {
  if (nd != 2) printf " %d D written for 2 ramps;", nd
  split(from " " to, starts); split(to " " from, ends); first = 1
  for (r = 1; r <= 2; r++) {
    k = expect(starts[r], ends[r]); found = 0
    for (i = first; i + k - 1 <= n && !found; i++) {
      ok = 1
      for (j = 1; j <= k && ok; j++) ok = abs(width[i + j - 1] * 1000 - want[j]) <= tol * 1000
      if (ok) found = i
    }
    if (!found) {
      printf " ramp %d to %.3f µs is not %d widths %.3f µs apart, one a period; the widths were", r, ends[r] / 1000, k, step / 1000
      for (i = 1; i <= n; i++) printf " %d", width[i]
      printf ";"
      continue
    }
    for (j = found; j < found + k; j++)
      if (abs(got[j] - period) > tol) printf " ramp %d: a period of %d µs;", r, got[j]
    end_on = rise[found + k - 1]; first = found + k
    if (r <= nd && d[r] < end_on)
      printf " ramp %d: D written %d µs before its end width was on the line;", r, end_on - d[r]
  }
}
