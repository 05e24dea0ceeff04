#!/usr/bin/env bash
# Start-up time (process start to main window shown) and peak memory of the
# real fwloader during a full 64 KiB Update against the simulated device, on
# a virtual display. Usage: bench/program_figures.sh [build dir] (build/dev)
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${1:-build/dev}/bin"
for tool in Xvfb xdotool python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "program_figures: $tool is missing (scripts/install-deps)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

exec 3<> "$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"

folder="$work/program"
store="$work/store"
mkdir -p "$folder" "$store/SoftWare/Figures"
cp "$bin/fwloader" "$folder/"
printf '1:2:3\r\nFigures\r\nfwloader figures\r\n' > "$folder/Config.txt"
printf '"ComPort"="7"\n' > "$store/SoftWare/Figures/Update.reg"
python3 - "$folder/Full_1.0.hex" <<'PY'
import random, sys
random.seed(3)
with open(sys.argv[1], "w", newline="") as f:
    for address in range(0, 0x10000, 32):
        record = [32, address >> 8, address & 255, 0] + [random.randrange(256) for _ in range(32)]
        f.write(":" + "".join("%02X" % b for b in record) + "%02X\r\n" % (-sum(record) & 255))
    f.write(":00000001FF\r\n")
PY
"$bin/fwsim" --com 7 --store-root "$store" --model 1:2:3 --quiet >/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$store/dosdevices/com7" ] && break; sleep 0.1; done
export FWLOADER_STORE_ROOT="$store"
title='^fwloader figures$'

echo "start-up to window shown (5 runs):"
for run in 1 2 3 4 5; do
    start=$(date +%s%N)
    "$folder/fwloader" 2>/dev/null &
    pid=$!
    until xdotool search --onlyvisible --name "$title" >/dev/null 2>&1; do sleep 0.005; done
    end=$(date +%s%N)
    echo "  run $run: $(( (end - start) / 1000000 )) ms"
    kill "$pid"; wait "$pid" 2>/dev/null || true
done

echo "full 64 KiB Update of the real program:"
/usr/bin/time -f "%M" -o "$work/rss" "$folder/fwloader" 2>/dev/null &
pid=$!
window=$(xdotool search --sync --onlyvisible --name "$title" | head -1)
eval "$(xdotool getwindowgeometry --shell "$window")"
start=$(date +%s%N)
xdotool mousemove $((X + 92)) $((Y + 104)) click 1
# The session window carries the step name "Update" as its caption; the
# result box comes up once it has gone.
xdotool search --sync --onlyvisible --name '^Update$' >/dev/null
while xdotool search --onlyvisible --name '^Update$' >/dev/null 2>&1; do sleep 0.05; done
end=$(date +%s%N)
sleep 0.3
xdotool key Return
sleep 0.3
pkill -TERM -P "$pid"; wait "$pid" 2>/dev/null || true
echo "  session wall time: $(( (end - start) / 1000000 )) ms (no line timing)"
echo "  peak resident memory: $(( $(cat "$work/rss") / 1024 )) MiB"
