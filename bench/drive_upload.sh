#!/usr/bin/env bash
# Upload throughput against the fake Drive on 127.0.0.1, on a private session bus with GNOME Keyring unlocked
# by a throw-away password (as scripts/test-services.sh does), in a private HOME:
#   - `ebbcast upload` of a session folder holding one random file of SIZE_MIB (default 1024, page cache warm),
#     signed in through the fake OAuth server;
#   - `curl -T` of the same file as one PUT into a resumable session of the same fake;
# in one run: MiB/s of each and their ratio, CPU seconds (user + system), peak RSS (/usr/bin/time -v); for
# ebbcast also the growth of its peak RSS over an upload of a 1 MiB file. The fake hashes what it receives
# without writing it (--hash-only); both uploads are checked against the file's SHA-256.
# Usage: bench/drive_upload.sh [SIZE_MIB]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
size_mib="${1:-1024}"

# shellcheck source=bench/private-keyring-session.sh
source "$root/bench/private-keyring-session.sh"
enter_private_keyring_session ebbcast-upload-bench "$@"

"$build/tests/ebbcast_fake_google" --hash-only --client-id bench.apps --client-secret bench-secret \
    --port-file "$work/port" 2>"$work/fake.err" &
fake_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"
base="http://127.0.0.1:$port"
export EBBCAST_GOOGLE_AUTH_URL="$base/o/oauth2/v2/auth"
export EBBCAST_GOOGLE_TOKEN_URL="$base/token"
export EBBCAST_GOOGLE_API_URL="$base"
export EBBCAST_OAUTH_REDIRECT_PORT=0
export PATH="$root/tests/drive/browser:$PATH"
mkdir -p "$XDG_CONFIG_HOME/Tavilon"
echo '{"googleClientID":"bench.apps","googleClientSecret":"bench-secret","googleDriveFolderURL":"root-folder"}' \
    >"$XDG_CONFIG_HOME/Tavilon/settings.json"
"$build/app/ebbcast" drive sign-in >/dev/null 2>"$work/sign-in.err"

make_session() { # folder MiB
    mkdir -p "$1"
    echo '{}' >"$1/metadata.json"
    head -c "$(($2 * 1024 * 1024))" /dev/urandom >"$1/screen.mov"
}
make_session "$work/small/2026-12-06_08-00-00" 1
make_session "$work/large/2026-12-06_09-00-00" "$size_mib"
movie="$work/large/2026-12-06_09-00-00/screen.mov"
bytes="$(stat -c %s "$movie")"
expected_sha="$(sha256sum "$movie" | cut -d' ' -f1)"
cat "$movie" >/dev/null # page cache warm

field() { # file "label" -> value after ": "
    grep -F "$2" "$1" | head -n 1 | sed 's/.*: //'
}
seconds_of() { # "h:mm:ss" or "m:ss.ss" -> seconds
    echo "$1" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }'
}

/usr/bin/time -v -o "$work/small.time" "$build/app/ebbcast" upload "$work/small/2026-12-06_08-00-00" \
    2>"$work/small.err"
/usr/bin/time -v -o "$work/ours.time" "$build/app/ebbcast" upload "$work/large/2026-12-06_09-00-00" \
    2>"$work/ours.err"

# curl: a resumable session of its own (the token from the keyring, never printed), then the whole file in
# one PUT.
token="$(secret-tool lookup server Ebbcast.GoogleOAuth user default |
    python3 -c '
import base64, json, sys
text = sys.stdin.read().strip()
if not text.startswith("{"):
    text = base64.b64decode(text).decode()  # QtKeychain may keep the secret base64-encoded
print(json.loads(text)["access_token"])')"
curl -sS -o /dev/null -D "$work/session.headers" -X POST \
    -H "Authorization: Bearer $token" -H "X-Upload-Content-Type: application/octet-stream" \
    -H "X-Upload-Content-Length: $bytes" -H "Content-Type: application/json; charset=UTF-8" \
    --data '{"name":"curl.mov","parents":["root-folder"]}' \
    "$base/upload/drive/v3/files?uploadType=resumable&supportsAllDrives=true"
location="$(grep -i '^location:' "$work/session.headers" | sed 's/^[Ll]ocation: *//' | tr -d '\r')"
/usr/bin/time -v -o "$work/curl.time" curl -sS -o /dev/null -T "$movie" -H "Authorization: Bearer $token" \
    -H "Content-Range: bytes 0-$((bytes - 1))/$bytes" "$location"
unset token location

kill "$fake_pid"
wait "$fake_pid" || true
fake_pid=""
for name in screen.mov curl.mov; do
    if ! grep -q "file $bytes $expected_sha $name\$" "$work/fake.err"; then
        echo "the fake Drive does not hold $name with the file's SHA-256:" >&2
        grep '^file \|violation' "$work/fake.err" >&2 || true
        exit 1
    fi
done

report() { # label time-file
    local wall user sys rss
    wall="$(seconds_of "$(field "$2" "Elapsed (wall clock)")")"
    user="$(field "$2" "User time")"
    sys="$(field "$2" "System time")"
    rss="$(field "$2" "Maximum resident set size")"
    printf "%-30s %10.1f %10.2f %10.2f %12d\n" "$1" "$(echo "$bytes / 1048576 / $wall" | bc -l)" "$wall" \
        "$(echo "$user + $sys" | bc -l)" "$rss"
}
printf "%-30s %10s %10s %10s %12s\n" "$size_mib MiB to the fake Drive" "MiB/s" "wall s" "CPU s" "peak RSS KiB"
report "ebbcast upload" "$work/ours.time"
report "curl -T (one PUT)" "$work/curl.time"
ours_wall="$(seconds_of "$(field "$work/ours.time" "Elapsed (wall clock)")")"
curl_wall="$(seconds_of "$(field "$work/curl.time" "Elapsed (wall clock)")")"
printf "throughput ratio ebbcast / curl: %.2f\n" "$(echo "$curl_wall / $ours_wall" | bc -l)"
printf "ebbcast peak RSS growth over a 1 MiB upload: %d KiB\n" \
    "$(($(field "$work/ours.time" "Maximum resident set size") - $(field "$work/small.time" "Maximum resident set size")))"
