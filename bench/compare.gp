# Chart of one bench/compare.sh run, called by that script:
#   gnuplot -e "data='chart.tsv'; out='run.png'; heading='...'" \
#       -e "title0='...'; title1='...'; title2='...'; title3='...'" bench/compare.gp
# data holds four blocks separated by two blank lines, one per panel (whose
# title is titleN), each line "label<TAB>value<TAB>1 for a shoal row, else 0":
#   0 S1P speed-up over curl direct, 1 S2 throughput over curl direct,
#   2 S3 requests/s over squid, 3 S4 peak memory in MiB.

set terminal pngcairo size 1400,900 font "DejaVu Sans,11" noenhanced
set output out
set datafile separator "\t"
set style fill solid 0.85 border -1
set boxwidth 0.65
set grid ytics
set offsets 0.6, 0.6, 0, 0
set xtics scale 0
set key top left
unset mouse

bar(shoal) = shoal > 0 ? 0xcc4c39 : 0x8a9bb0
# The y axis of panel i reaches 18% over its highest bar or its goal line.
yscale(i, goal) = sprintf("set autoscale y; stats data index %d using 2 nooutput; set yrange [0:((%g > STATS_max ? %g : STATS_max) * 1.18)]", i, goal, goal)
plotpanel(i) = sprintf("plot data index %d using 0:2:(bar($3)):xtic(1) with boxes lc rgb variable notitle, '' index %d using 0:2:(sprintf($2 < 10 ? \"%%.2f\" : $2 < 100 ? \"%%.1f\" : \"%%.0f\", $2)) with labels offset 0,0.8 notitle", i, i)

set multiplot layout 2,2 title heading font ",13"

set title title0
set arrow 1 from graph 0, first 7.5 to graph 1, first 7.5 nohead dt 2 lw 2 lc rgb "#cc4c39"
set label 1 "goal for shoal: 7.5x" at graph 0.02, first 7.5 offset 0,0.7 tc rgb "#cc4c39"
eval yscale(0, 7.5)
eval plotpanel(0)

set title title1
unset arrow 1
unset label 1
eval yscale(1, 0)
eval plotpanel(1)

set title title2
set arrow 1 from graph 0, first 1.5 to graph 1, first 1.5 nohead dt 2 lw 2 lc rgb "#cc4c39"
set label 1 "goal for shoal: 1.5x" at graph 0.02, first 1.5 offset 0,0.7 tc rgb "#cc4c39"
eval yscale(2, 1.5)
eval plotpanel(2)

set title title3
set arrow 1 from graph 0, first 96 to graph 1, first 96 nohead dt 2 lw 2 lc rgb "#cc4c39"
set label 1 "shoal must stay under 96 MiB" at graph 0.02, first 96 offset 0,0.7 tc rgb "#cc4c39"
eval yscale(3, 96)
eval plotpanel(3)

unset multiplot
