# Draws the throughput and round-trip latency of the channel manager against
# the blocking-socket baseline from the plot data that bench/table.py writes.
#
#   gnuplot -e "dat='build-bench/results/plot.dat'; out='docs/bench.png'" tools/plot_bench.gp
if (!exists("dat")) dat = 'build-bench/results/plot.dat'
if (!exists("out")) out = 'docs/bench.png'
set terminal pngcairo size 1000,420 font ",10"
set output out
set multiplot layout 1,2 title "wq channel manager vs blocking-socket baseline (loopback TCP, 276-byte NAT payload)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set grid ytics
set key top left

set title "Throughput, one way"
set ylabel "messages per second"
set yrange [0:*]
set offsets 0, 0, graph 0.25, 0   # room for the key above the bars
set format y "%.1s%c"
plot dat index 0 using 2:xtic(1) title "channel manager", '' index 0 using 3 title "blocking sockets"

set offsets 0, 0, 0, 0
set title "Round trip latency"
set ylabel "microseconds (log scale)"
set logscale y
set yrange [1:*]
set format y "%g"
plot dat index 1 using 2:xtic(1) title "channel manager", '' index 1 using 3 title "blocking sockets"
unset multiplot
