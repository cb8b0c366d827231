#!/bin/sh
# Times INDC as the operator meets it: the whole program in dummy mode on the line console,
# from start-up with the matrix file of a case through INDC with tolerances 1.0 1.0 to EXIT,
# for the cases of indc_cases.hpp (25 x 30 x 35 A and 50 x 50 x 60 A, without and with two
# stray reflections). Uses hyperfine when it is installed, else repeated runs under time.
#
#   bench/indc_end_to_end.sh BUILD_DIR [RUNS]
#
# BUILD_DIR is a Release build configured with -DDORVEX_BENCH=ON (for indc_case).
set -eu
build=$(cd "${1:?usage: indc_end_to_end.sh BUILD_DIR [RUNS]}" && pwd)
runs=${2:-10}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/../examples/DIFPROF.DAT" "$work/"
printf 'INDC\n1 1\nEXIT\n' > "$work/input"

for case in "small 0" "small 2" "large 0" "large 2"; do
  set -- $case
  name="$1-$2"
  "$build/bench/indc_case" "$1" "$2" "$work/$name.mat"
  cmd="$build/dorvex --home $work --mode dummy --ui line --mat $work/$name.mat < $work/input"
  # The listing must be there: a run that only failed fast would time nothing.
  sh -c "$cmd" > "$work/$name.out" 2>&1
  grep "The best solution matches" "$work/$name.out" || { cat "$work/$name.out"; exit 1; }
  if command -v hyperfine > /dev/null; then
    hyperfine --style none --warmup 1 --runs "$runs" -n "$name" --export-json "$work/$name.json" \
      "$cmd"
    # median of the wall times, mean user and system CPU time
    tr -d ' \n' < "$work/$name.json" |
      sed -e 's/.*"median":\([^,]*\).*"user":\([^,]*\),"system":\([^,]*\).*/\1 \2 \3/' |
      awk -v n="$name" \
        '{ printf "%-8s median %.3f s wall, mean %.3f s user %.3f s system\n", n, $1, $2, $3 }'
  else
    i=0
    while [ "$i" -lt "$runs" ]; do
      /usr/bin/time -f "$name %e s wall %U s user %S s system" sh -c "$cmd" > /dev/null
      i=$((i + 1))
    done
  fi
done
