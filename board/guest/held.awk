# Judges whether a line kept one width from the mark `from` on: a pulse in
# every period, each edge where the width and the period put it or late,
# never early, and the last `settled` pulses on time. Edges come late when
# the CPU has its interrupts off as the kernel's timer should toggle the
# line (up to 1.5 ms was seen while systemd started servod); a changed
# width comes early somewhere, a gap or a new phase stays off the grid.
# Prints what was wrong; nothing when all was right.
# usage: awk -v from=MARK -v line=L -v width=US -v period=US -v tol=US -v late=US -v settled=N -f held.awk
$1 == "mark" && $2 == from { on = 1 }
on && $1 == "pulse" && $2 == line { n++; rise[n] = $3; fall[n] = $3 + $4 }
END {
  if (n < settled + 1) { printf " only %d pulses from %s on;", n, from; exit }
  origin = rise[1]
  for (i = 1; i <= n; i++) if (rise[i] - (i - 1) * period < origin) origin = rise[i] - (i - 1) * period
  for (i = 1; i <= n; i++) {
    r = rise[i] - origin - (i - 1) * period; f = fall[i] - origin - (i - 1) * period - width
    if (r > late + period / 2) { printf " no pulse in period %d;", i; exit }
    bad = r < -tol || f < -tol || r > late || f > late || (i > n - settled && (r > tol || f > tol))
    if (bad) printf " pulse %d: rose %+d µs, fell %+d µs off a %d µs pulse every %d µs;", i, r, f, width, period
  }
}
