#!/usr/bin/env bash
# Kills a shell collection (DC S) again and again and checks that the data file holds every
# reflection of the shell exactly once.
#
#   scripts/kill_restart_collection.sh [KILLS] [BUILD_DIR] [SEED]
#
# KILLS (default 200) is the number of kills to make; BUILD_DIR (default ./build) holds dorvex,
# dorvex-sim and the preload library libdorvex_kill_in_write.so. The program runs against the
# simulator at time-scale 0 with the sample crystal (orthorhombic 8 x 10 x 12 A) and collects
# the shell 3 to 13 degrees two-theta, h, k, l >= 0, with standard 2 0 0 every 10 reflections.
# Each start is ended by SIGKILL at a random instant, or (one start in three) by SIGKILL from
# inside the n-th write to the data file after k of its bytes. It is started again until a run
# reaches the end of data; the data file is then checked, and the next round starts with a new
# data file, until KILLS kills have been made. The checks:
#   lost        reflections of the shell (enumerated here from the cell) with no record
#   duplicated  ordinary records beyond the first of their reflection
#   damaged     lines that belong to no whole record, records whose counts are not whole,
#               sequence numbers that do not increase strictly, and records of reflections
#               outside the shell
# Exit status 0 when all are 0.
set -u

kills_wanted=${1:-200}
build=$(cd "${2:-build}" && pwd) || exit 2
seed=${3:-$$}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
program="$build/dorvex"
shim="$build/libdorvex_kill_in_write.so"
for f in "$program" "$build/dorvex-sim"; do
  [ -x "$f" ] || { echo "missing $f (build first)"; exit 2; }
done
[ -f "$shim" ] || { echo "missing $shim (build target dorvex_kill_in_write)"; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/dorvex-kill-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work"  # the simulator's private links of killed runs stay in here
home="$work/home"
mkdir -p "$home"
RANDOM=$seed

# The profile without the shutter delay, and the sample matrix file with these parameters.
sed 's/^CONFIG .*/CONFIG    1    1    1    1    0    0    1    1    0    0    0    1/' \
  "$source_dir/examples/DIFPROF.DAT" >"$home/DIFPROF.DAT"
{
  sed '/DATA COLLECTION PARAMETERS/,$d' "$source_dir/examples/sample.mat"
  cat <<'MAT'
         DATA COLLECTION PARAMETERS

SGROUP    2P -1
DSCAN1  0.8000  0.0000
DSCAN2   1.0   0.0 0.0200   1.0   0.0   0.0   0.0   0.0  0.00   0.0  0.00   0.0
HKLORD   0  20   0  20   0  20   1   2   3
ALLSTD    1   10
HKLST   1    2    0    0    1
HKLST   2    0    0    0    0
HKLST   3    0    0    0    0
HKLST   4    0    0    0    0
HKLST   5    0    0    0    0
SHELL     1    3.000   13.000    1
MAT
  for n in 2 3 4 5 6 7 8 9 10; do printf 'SHELL %5d    0.000    0.000    0\n' "$n"; done
} >"$home/x.mat"

# The reflections of the shell from the cell and wavelength of the matrix file, in double
# precision: 3 <= 2theta < 13, 0 <= h, k, l <= 20, orthorhombic metric.
expected="$work/expected"
awk '/^CELL/ {a=$2; b=$3; c=$4} /^WAVEL/ {w=$3}
  END {
    for (h = 0; h <= 20; h++) for (k = 0; k <= 20; k++) for (l = 0; l <= 20; l++) {
      if (h + k + l == 0) continue
      s = w * sqrt(h*h/(a*a) + k*k/(b*b) + l*l/(c*c)) / 2
      if (s >= 1) continue
      t = 2 * atan2(s, sqrt(1 - s*s)) * 45 / atan2(1, 1)
      if (t >= 3 && t < 13) print h, k, l
    }
  }' "$home/x.mat" | sort >"$expected"
shell_size=$(wc -l <"$expected")

# Checks one finished data file; prints "lost duplicated damaged records".
check() {
  awk -v expected="$expected" '
    BEGIN { while ((getline line < expected) > 0) want[line] = 1 }
    function close_record() {
      if (in_record && counts != n) damaged++
      in_record = 0
    }
    !data { if ($0 == "DATA") data = 1; next }
    /^R/ {
      close_record()
      seq = substr($0, 2, 6) + 0
      key = (substr($0, 8, 4) + 0) " " (substr($0, 12, 4) + 0) " " (substr($0, 16, 4) + 0)
      n = substr($0, 70, 4) + 0; standard = substr($0, 94, 4) + 0
      if (length($0) != 98) damaged++
      if (records && seq <= last) damaged++
      last = seq; records++; in_record = 1; counts = 0
      if (standard == 0) { seen[key]++; if (!(key in want)) damaged++ }
      next
    }
    /^S/ && in_record {
      if ((length($0) - 1) % 8 != 0 || length($0) > 81) damaged++
      counts += int((length($0) - 1) / 8)
      next
    }
    { damaged++ }
    END {
      close_record()
      for (k in want) { if (!(k in seen)) lost++; else if (seen[k] > 1) dup += seen[k] - 1 }
      print lost + 0, dup + 0, damaged + 0, records + 0
    }' "$1"
}

kills=0 in_write=0 rounds=0 lost=0 duplicated=0 damaged=0 starts=0 repaired=0
started_at=$SECONDS
while [ "$kills" -lt "$kills_wanted" ]; do
  rounds=$((rounds + 1))
  data="$home/d$rounds"
  first_start=$((starts + 1))
  finished=0
  while [ "$finished" -eq 0 ]; do
    starts=$((starts + 1))
    input="SET DATF\n$data\n"
    [ -e "$data.rfl" ] || input="${input}y\n"
    input="${input}DC S\ny\nEXIT\n"
    out="$work/out.$starts"
    printf "$input" >"$work/input"
    in_write_kill=0
    preload=()
    if [ $((RANDOM % 3)) -eq 0 ] && [ "$kills" -lt "$kills_wanted" ]; then
      in_write_kill=1
      # the n-th write to the data file (1 to 8: the header or a record), after k bytes
      plan="$(realpath -m "$data.rfl") $((RANDOM % 8 + 1)) $((RANDOM % 600 + 1))"
      preload=("DORVEX_KILL_WRITE=$plan" "LD_PRELOAD=$shim")
    fi
    env "${preload[@]}" DORVEX_SIM_ARGS="--time-scale 0" "$program" --home "$home/" --simulate \
      --ui line --mat "$home/x.mat" <"$work/input" >"$out" 2>&1 &
    pid=$!
    if [ "$in_write_kill" -eq 0 ] && [ "$kills" -lt "$kills_wanted" ]; then
      # A random instant within the first 1.5 s: start-up, standards, scans, writes.
      ms=$((RANDOM % 1500))
      sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
      kill -KILL "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    status=$?
    repaired=$((repaired + $(grep -c 'unfinished record\|no complete header' "$out")))
    # A kill that lands after the end of data (while the program parks) ends no collection.
    if grep -q 'END OF DATA' "$out"; then
      finished=1
    elif [ "$status" -eq 137 ]; then
      kills=$((kills + 1))
      in_write=$((in_write + in_write_kill))
    else
      echo "start $starts ended with status $status without the end of data:"
      tail -20 "$out"
      exit 1
    fi
  done
  read -r l d x r < <(check "$data.rfl")
  lost=$((lost + l)) duplicated=$((duplicated + d)) damaged=$((damaged + x))
  if [ "$l" -ne 0 ] || [ "$d" -ne 0 ] || [ "$x" -ne 0 ]; then
    kept="$(dirname "$work")/dorvex-kill-round$rounds"
    mkdir -p "$kept" && cp "$data.rfl" "$kept/"
    for n in $(seq "$first_start" "$starts"); do cp "$work/out.$n" "$kept/"; done
    echo "round $rounds: lost $l, duplicated $d, damaged $x; data file and outputs in $kept"
  fi
done

echo "shell of $shell_size reflections; seed $seed; $((SECONDS - started_at)) s"
echo "kills: $kills ($in_write inside a data-file write), starts: $starts, rounds: $rounds," \
  "unfinished records or headers repaired: $repaired"
echo "lost: $lost, duplicated: $duplicated, damaged: $damaged"
[ "$lost" -eq 0 ] && [ "$duplicated" -eq 0 ] && [ "$damaged" -eq 0 ]
