#!/usr/bin/env bash
# Google sign-in figures, on a private session bus with GNOME Keyring unlocked by a throw-away password (as
# scripts/test-services.sh does), in a private HOME:
#   - validAccessToken with a fresh token (one keyring read per call): median and p99 of CALLS calls
#     (default 1000), beside `secret-tool lookup` of the same item (a process per lookup), with the ratios;
#   - `ebbcast drive sign-in` wall time against the fake Google (ebbcast_fake_google) with a curl browser,
#     median of 5.
# Usage: bench/google_sign_in.sh [CALLS]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
calls="${1:-1000}"

# shellcheck source=bench/private-keyring-session.sh
source "$root/bench/private-keyring-session.sh"
enter_private_keyring_session ebbcast-google-bench "$@"

percentiles() { # reads one number a line; prints "median p99"
    sort -g | awk '{ v[NR] = $1 } END { m = int(NR * 0.5) + 1; p = int(NR * 0.99) + 1; if (p > NR) p = NR;
        printf "%.3f %.3f\n", v[m], v[p] }'
}

read -r ours_median ours_p99 < <("$build/bench/ebbcast_bench_google_token" "$calls")

echo -n '{"access_token":"x","expires_at":1e9,"token_type":"Bearer"}' |
    secret-tool store --label=bench server Ebbcast.GoogleBench user default
for _ in $(seq "$calls"); do
    start=$(date +%s%N)
    secret-tool lookup server Ebbcast.GoogleBench user default >/dev/null
    end=$(date +%s%N)
    echo "scale=3; ($end - $start) / 1000000" | bc
done | percentiles >"$work/tool"
read -r tool_median tool_p99 <"$work/tool"
secret-tool clear server Ebbcast.GoogleBench user default

"$build/tests/ebbcast_fake_google" --client-id bench.apps --client-secret bench-secret \
    --port-file "$work/port" 2>"$work/fake.err" &
fake_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"
export EBBCAST_GOOGLE_AUTH_URL="http://127.0.0.1:$port/o/oauth2/v2/auth"
export EBBCAST_GOOGLE_TOKEN_URL="http://127.0.0.1:$port/token"
export EBBCAST_OAUTH_REDIRECT_PORT=0
export PATH="$root/tests/drive/browser:$PATH"
mkdir -p "$XDG_CONFIG_HOME/Tavilon"
echo '{"googleClientID":"bench.apps","googleClientSecret":"bench-secret"}' >"$XDG_CONFIG_HOME/Tavilon/settings.json"
for _ in 1 2 3 4 5; do
    start=$(date +%s%N)
    "$build/app/ebbcast" drive sign-in >/dev/null 2>&1
    end=$(date +%s%N)
    echo "scale=3; ($end - $start) / 1000000" | bc
    "$build/app/ebbcast" drive sign-out >/dev/null 2>&1
done | percentiles >"$work/signin"
read -r signin_median _ <"$work/signin"

printf "%-44s %10s %10s\n" "" "median ms" "p99 ms"
printf "%-44s %10s %10s\n" "validAccessToken (fresh token, keyring read)" "$ours_median" "$ours_p99"
printf "%-44s %10s %10s\n" "secret-tool lookup (one process each)" "$tool_median" "$tool_p99"
printf "%-44s %10s %10s\n" "ratio ebbcast / secret-tool" \
    "$(echo "scale=3; $ours_median / $tool_median" | bc)" "$(echo "scale=3; $ours_p99 / $tool_p99" | bc)"
printf "%-44s %10s\n" "ebbcast drive sign-in against the fakes" "$signin_median"
