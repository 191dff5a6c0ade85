# Turns the kernel's trace (gpio_value events, trace markers, servod's 1-byte
# writes) into one event a line, times in µs:
#   mark NAME T            a trace marker
#   pulse LINE RISE WIDTH PERIOD
#                          a whole pulse on a PL061 line: it rose at RISE, fell
#                          WIDTH later, and rose again PERIOD after RISE
#   done T                 servod wrote its 'D'
#   level LINE V T         the last edge seen on a line (at the end)
# usage: awk -v base=GPIO_BASE -f edges.awk /sys/kernel/tracing/trace
function us(stamp) { sub(/:$/, "", stamp); return int(stamp * 1000000 + 0.5) }
/^#/ { next }
{
  for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+\.[0-9]+:$/) break
  if (i > NF) next
  t = us($i); what = $(i + 1)
}
what == "tracing_mark_write:" { print "mark", $(i + 2), t; next }
what == "gpio_value:" && $(i + 3) == "set" {
  line = $(i + 2) - base; v = $(i + 4)
  if (v == last[line]) next
  last[line] = v; at[line] = t
  if (v == 1) {
    if (line in fall) print "pulse", line, rise[line], fall[line] - rise[line], t - rise[line]
    delete fall[line]
    rise[line] = t
  } else if (line in rise) fall[line] = t
  next
}
$1 ~ /^servod-[0-9]+$/ && what ~ /^sys_write\(/ { print "done", t }
END { for (line in last) print "level", line, last[line], at[line] }
