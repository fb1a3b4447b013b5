#!/usr/bin/env bash
# Installs the Debian package of a build folder on a clean Debian 12 tree and uses it there, the way a user's
# machine gets it: cpack -G DEB makes the package from what the build folder already built, apt installs it
# with only the dependencies its control file names (no Recommends), and then, with nothing else added:
#   every package of scripts/debian-packages-run.txt is installed (the package's dependencies and the list of
#   what running ebbcast needs say the same),
#   ebbcast --version shows the project's version,
#   ebbcast settings set / settings list work in an empty home,
#   man -w ebbcast finds the manual page, and ebbcast-gateway transcribes a spoken sentence,
# and then, with an X display (Xvfb) and a sound server (PulseAudio without a sound card) added to the tree
# once those checks are done (they bring libpulse0, libsndfile1 and the X client libraries with them, which
# would hide a dependency missing from the package):
#   ebbcast record --duration 3 exits 0 and leaves a session folder with a non-empty screen.mov,
#   microphone.wav and system_audio.m4a.
#
# The tree is apt's minimal Debian 12 (mmdebstrap --variant=apt) with man-db, made once and kept as a tarball
# in BUILD_FOLDER/package-test/ beside apt's package lists and downloads, so that a later run downloads only
# what changed.
#
# Each run unpacks the tarball into a fresh folder and works in a private mount and PID namespace: the mounts
# (the /tmp and /dev/shm that the tree and the servers share among them) and every process started end with
# the namespace, and the folder is removed on exit. Prints how long each phase took.
#
# Needs root (chroot, mounts) and mmdebstrap (scripts/install-dependencies.sh --test); skips
# with exit status 77 without them. Exits 1 when a check fails, naming it.
# Usage: package_install_test.sh BUILD_FOLDER SOURCE_FOLDER VERSION
#   BUILD_FOLDER   a configured and built (non-sanitizer) build folder: its CPackConfig.cmake makes the package
#   SOURCE_FOLDER  the source folder, for scripts/debian-packages-run.txt
#   VERSION        the project's version, which ebbcast --version must show
set -euo pipefail

# The Debian 12 packages of the base tree besides apt's own: man for the manual page check. Nothing that the
# package depends on: apt has to find that.
base_packages=(man-db)
# Time limits, in seconds: of each step, and of the whole run, which stays inside the test's own limit
# (1500 s) so that a stuck step fails with its name and the run cleans up after itself instead of being killed.
step_limit=600
command_limit=60
record_limit=120
run_limit=1380

now() { date +%s.%N; }
# Appends "PHASE SECONDS" to the file named by $timings.
record_time() { # phase start
    awk -v phase="$1" -v start="$2" -v end="$(now)" 'BEGIN { printf "  %-12s %6.1f s\n", phase, end - start }' \
        >>"$timings"
}
# The time limit of a step: its own, or what is left of the run's when that is less (the run's end,
# $run_deadline, is in seconds since the epoch).
limit() { # seconds
    local left=$((run_deadline - $(date +%s)))
    if [ "$left" -lt "$1" ]; then
        echo $((left > 1 ? left : 1))
    else
        echo "$1"
    fi
}
fail() {
    echo "package test: $*" >&2
    exit 1
}
# Shows the end of a log after a failed step.
show_log() { # file
    if [ -s "$1" ]; then
        echo "--- last lines of $(basename "$1"):" >&2
        tail -n 40 "$1" >&2
    fi
}

# Runs a command with only standard input, output and error open. mmdebstrap has apt write to a descriptor
# through /bin/sh, whose dash names only descriptors 0 to 9: inherited ones (ctest's, the lock's) push the
# number it gets beyond that ("Bad fd number").
with_standard_descriptors() {
    (
        for descriptor in /proc/self/fd/*; do
            descriptor="${descriptor##*/}"
            [ "$descriptor" -le 2 ] || eval "exec $descriptor>&-"
        done
        exec "$@"
    )
}

# Prints the host's Debian 12 apt sources as one-line entries for the main component ("deb URI SUITE main"),
# from /etc/apt/sources.list and sources.list.d (one-line and deb822 files): the tree uses the mirrors this
# machine already reaches. Suites other than bookworm, bookworm-updates and bookworm-security are left out.
host_debian_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk '$1 == "deb" {
                 i = 2
                 if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }   # the [option=value ...] part
                 if ($(i + 1) ~ /^bookworm(-updates|-security)?$/) print "deb " $i " " $(i + 1) " main"
             }' "$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'function flush(    n, m, i, j, u, s) {
                 if (types ~ /(^|[ \t])deb([ \t]|$)/ && tolower(enabled) != "no") {
                     n = split(uris, u, /[ \t]+/)
                     m = split(suites, s, /[ \t]+/)
                     for (i = 1; i <= n; i++)
                         for (j = 1; j <= m; j++)
                             if (u[i] != "" && s[j] ~ /^bookworm(-updates|-security)?$/)
                                 print "deb " u[i] " " s[j] " main"
                 }
                 types = uris = suites = enabled = ""
             }
             /^[ \t]*#/ { next }
             /^[ \t]*$/ { flush(); next }
             /^[A-Za-z-]+:/ {
                 key = tolower($0); sub(/:.*/, "", key)
                 value = $0; sub(/^[^:]*:[ \t]*/, "", value)
                 if (key == "types") types = value
                 else if (key == "uris") uris = value
                 else if (key == "suites") suites = value
                 else if (key == "enabled") enabled = value
             }
             END { flush() }' "$file"
    done
}

# ---------------------------------------------------------------------------------------------------------
# Inside the private namespaces (the script runs itself with --inside): mounts, apt, the servers, the checks.
# Usage: package_install_test.sh --inside WORK_FOLDER VERSION APT_CACHE_FOLDER RUN_DEADLINE
inside() {
    local work="$1" version="$2" apt_cache="$3"
    run_deadline="$4"
    local root="$work/root" logs="$work/logs"
    timings="$work/timings"

    # A /tmp and a /dev/shm of this namespace, which the servers and the tree share (lock files, sockets and
    # shared memory go with the namespace); /dev, a /proc of this PID namespace, and apt's lists and downloads
    # from the cache folder.
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    mount -t tmpfs -o mode=1777 tmpfs /dev/shm
    mount --bind /dev "$root/dev"
    mount --bind /dev/shm "$root/dev/shm"
    mount --bind /tmp "$root/tmp"
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mkdir -p "$apt_cache/lists" "$apt_cache/archives"
    mount --bind "$apt_cache/lists" "$root/var/lib/apt/lists"
    mount --bind "$apt_cache/archives" "$root/var/cache/apt/archives"

    # Every command starts from a clean environment (the proxy settings apart).
    local environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
        DEBIAN_FRONTEND=noninteractive)
    local name
    for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
        [ -z "${!name:-}" ] || environment+=("$name=${!name}")
    done
    as_admin() {
        timeout "$(limit "$step_limit")" chroot "$root" /usr/bin/env -i "${environment[@]}" HOME=/root "$@"
    }

    local start package
    start="$(now)"
    package="$(cd "$root/var/tmp" && echo ebbcast_*.deb)"
    if ! as_admin apt-get update -q >"$logs/apt-update.log" 2>&1; then
        show_log "$logs/apt-update.log"
        fail "apt-get update failed in the Debian 12 tree"
    fi
    record_time "apt update" "$start"
    start="$(now)"
    # dpkg without fsync: the tree is thrown away after the run.
    if ! as_admin apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-unsafe-io \
        "/var/tmp/$package" >"$logs/apt-install.log" 2>&1; then
        show_log "$logs/apt-install.log"
        fail "apt-get install of $package failed on a clean Debian 12 tree"
    fi
    # Packages that the mirror no longer has leave the download cache.
    as_admin apt-get autoclean -q >/dev/null 2>&1 || true
    record_time "apt install" "$start"
    echo "apt installed $(grep -c '^Unpacking ' "$logs/apt-install.log" || true) packages with $package" >&2

    start="$(now)"
    # The checks run as a user would, in an empty home with its own runtime folder; the servers as well, so
    # that their sockets and cookie are where the programs in the tree look for them.
    local home=/tmp/home runtime=/tmp/runtime
    mkdir -p "$home" "$runtime"
    chmod 0700 "$runtime"
    user_environment=("${environment[@]}" HOME="$home" XDG_RUNTIME_DIR="$runtime" USER=root LOGNAME=root)
    as_user() {
        timeout "$(limit "$command_limit")" chroot "$root" /usr/bin/env -i "${user_environment[@]}" "$@"
    }

    # Every package that running ebbcast needs came with the package's dependencies.
    local wanted=() installed missing=()
    mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$work/debian-packages-run.txt")
    # shellcheck disable=SC2016 # dpkg-query's own ${...} fields
    installed=" $(as_user dpkg-query -W -f='${Package} ${Status}\n' "${wanted[@]}" 2>/dev/null |
        awk '/ install ok installed$/ { printf "%s ", $1 }' || true)"
    for name in "${wanted[@]}"; do
        [[ "$installed" == *" $name "* ]] || missing+=("$name")
    done
    [ "${#missing[@]}" -eq 0 ] ||
        fail "the package's dependencies do not bring in ${missing[*]} (listed in scripts/debian-packages-run.txt)"

    local output
    output="$(as_user ebbcast --version 2>&1)" || fail "ebbcast --version failed: $output"
    [[ "$output" =~ ^ebbcast\ ${version//./\\.}([^0-9.]|$) ]] ||
        fail "ebbcast --version shows \"$output\", not version $version"

    # Settings: a value set is listed; clock synchronisation stays off so that recording reaches no server.
    output="$(as_user ebbcast settings set clockSyncEnabled false 2>&1)" ||
        fail "ebbcast settings set clockSyncEnabled false failed: $output"
    output="$(as_user ebbcast settings list 2>&1)" || fail "ebbcast settings list failed: $output"
    grep -qx 'clockSyncEnabled = false' <<<"$output" ||
        fail "ebbcast settings list does not show clockSyncEnabled = false: $output"

    output="$(as_user man -w ebbcast 2>&1)" || fail "man -w ebbcast finds no manual page: $output"
    [ -s "$root$output" ] || fail "man -w ebbcast names \"$output\", which is not in the tree"

    # The offline gateway: its manual page, and a spoken sentence transcribed with the English model that
    # the package's dependencies brought.
    output="$(as_user man -w ebbcast-gateway 2>&1)" || fail "man -w ebbcast-gateway finds no manual page: $output"
    output="$(as_user ebbcast-gateway --transcribe /var/tmp/speech.wav 2>/dev/null)" ||
        fail "ebbcast-gateway --transcribe failed: $(as_user ebbcast-gateway --transcribe /var/tmp/speech.wav 2>&1)"
    grep -qiE "walk|park" <<<"$output" || fail "ebbcast-gateway heard \"$output\" in the spoken sentence"
    record_time "checks" "$start"

    # An X display (Xvfb takes a free number and writes it once it is ready) and a sound server without a sound
    # card, installed in the tree now that the package's own dependencies are checked: a null sink as the
    # speaker, whose monitor is the system sound, and a second one whose monitor, remapped, is the microphone.
    # A stream of silence into each keeps the monitors delivering in real time.
    start="$(now)"
    if ! as_admin apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-unsafe-io \
        xvfb xauth pulseaudio pulseaudio-utils >"$logs/apt-servers.log" 2>&1; then
        show_log "$logs/apt-servers.log"
        fail "apt-get install of Xvfb and PulseAudio failed on the Debian 12 tree"
    fi
    record_time "servers install" "$start"
    start="$(now)"
    as_user_in_background() {
        chroot "$root" /usr/bin/env -i "${user_environment[@]}" "$@"
    }
    as_user_in_background Xvfb -displayfd 1 -screen 0 1280x720x24 -nolisten tcp -noreset \
        >/tmp/display 2>"$logs/xvfb.log" &
    local deadline=$((SECONDS + 15))
    until grep -qE '^[0-9]+$' /tmp/display 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || { show_log "$logs/xvfb.log"; fail "Xvfb did not start"; }
        sleep 0.1
    done
    user_environment+=(DISPLAY=":$(cat /tmp/display)")

    printf '%s\n' "load-module module-native-protocol-unix" \
        "load-module module-null-sink sink_name=speaker" \
        "load-module module-null-sink sink_name=microphone_feed" \
        "load-module module-remap-source master=microphone_feed.monitor source_name=microphone" \
        "set-default-sink speaker" \
        "set-default-source microphone" >/tmp/sound.pa
    if ! as_user pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n \
        -F /tmp/sound.pa --log-target=stderr 2>"$logs/pulseaudio.log"; then
        show_log "$logs/pulseaudio.log"
        fail "PulseAudio did not start"
    fi
    local sink
    for sink in speaker microphone_feed; do
        as_user_in_background pacat --playback --latency-msec=10 --raw --format=s16le --rate=48000 \
            --channels=2 -d "$sink" </dev/zero >/dev/null 2>&1 &
    done
    record_time "servers" "$start"

    start="$(now)"
    local status=0 folder file
    timeout "$(limit "$record_limit")" chroot "$root" /usr/bin/env -i "${user_environment[@]}" \
        ebbcast record --duration 3 >"$logs/record.out" 2>"$logs/record.err" || status=$?
    if [ "$status" -ne 0 ]; then
        show_log "$logs/record.err"
        show_log "$home/.local/state/Tavilon/app.log"
        fail "ebbcast record --duration 3 exited with status $status"
    fi
    folder="$(grep -v '^\s*$' "$logs/record.out" | tail -n 1 || true)"
    [[ -n "$folder" && -d "$root$folder" ]] ||
        fail "ebbcast record printed no session folder (standard output: $(cat "$logs/record.out"))"
    for file in screen.mov microphone.wav system_audio.m4a; do
        [ -s "$root$folder/$file" ] ||
            fail "the session folder $folder has no non-empty $file: $(ls -l "$root$folder")"
    done
    record_time "record" "$start"
    echo "recorded $folder:" >&2
    (cd "$root$folder" && ls -l screen.mov microphone.wav system_audio.m4a) >&2
}

if [ "${1:-}" = "--inside" ]; then
    shift
    inside "$@"
    exit 0
fi

# ---------------------------------------------------------------------------------------------------------
# Outside: the skips, the package, the base tree, then the namespaces.
if [ "$#" -ne 3 ]; then
    echo "usage: $0 BUILD_FOLDER SOURCE_FOLDER VERSION" >&2
    exit 2
fi
build="$(cd "$1" && pwd)"
source_folder="$(cd "$2" && pwd)"
version="$3"

if [ "$(id -u)" -ne 0 ]; then
    echo "package test skipped: it needs root (chroot and mounts)" >&2
    exit 77
fi
for tool in mmdebstrap unshare chroot cpack; do
    if ! command -v "$tool" >/dev/null; then
        echo "package test skipped: $tool is missing (scripts/install-dependencies.sh --test installs it)" >&2
        exit 77
    fi
done
[ -f "$build/CPackConfig.cmake" ] || fail "$build has no CPackConfig.cmake: configure and build it first"

run_deadline=$(($(date +%s) + run_limit))
# One run at a time per build folder; what a killed run left behind goes first.
cache_folder="$build/package-test"
mkdir -p "$cache_folder"
exec 9>"$cache_folder/lock"
flock 9
for old in "$cache_folder"/run.* "$cache_folder"/bookworm-base-*.partial.*; do
    [ ! -e "$old" ] || rm -rf --one-file-system "$old"
done

work="$(mktemp -d "$cache_folder/run.XXXXXX")"
namespace_pid=""
partial=""
cleanup() {
    # Ending unshare ends the namespace's first process (--kill-child), and with it every process and mount in
    # the namespace.
    if [ -n "$namespace_pid" ]; then
        kill "$namespace_pid" 2>/dev/null || true
        wait "$namespace_pid" 2>/dev/null || true
    fi
    [ -z "$partial" ] || rm -f "$partial"
    # The mounts were never visible here; --one-file-system guards against one that is all the same.
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
timings="$work/timings"
logs="$work/logs"
mkdir -p "$logs"
total_start="$(now)"

# The package, from the build folder as it is: no compilation.
start="$(now)"
if ! timeout "$(limit "$step_limit")" cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" \
    >"$logs/cpack.log" 2>&1; then
    show_log "$logs/cpack.log"
    fail "cpack -G DEB failed in $build"
fi
shopt -s nullglob
packages=("$work/package"/ebbcast_*.deb)
shopt -u nullglob
[ "${#packages[@]}" -eq 1 ] || fail "cpack made ${#packages[@]} ebbcast_*.deb packages instead of one"
package="${packages[0]}"
record_time "cpack" "$start"
echo "$(basename "$package"): $(stat -c %s "$package") bytes" >&2

# The base tree, made once for a set of packages and mirrors: its name carries their checksum, so that a
# change of either makes a new one (and removes the old). The tarball takes its name only when complete.
start="$(now)"
mapfile -t mirrors < <(host_debian_sources | awk '!seen[$0]++')
[ "${#mirrors[@]}" -gt 0 ] || mirrors=("deb http://deb.debian.org/debian bookworm main")
include=("${base_packages[@]}")
if printf '%s\n' "${mirrors[@]}" | grep -q ' https://'; then
    include+=(ca-certificates)
fi
# The host's apt proxy, if it has one, serves the tree as well.
aptopts=()
proxy=""
eval "$(apt-config shell proxy Acquire::http::Proxy)"
if [ -n "$proxy" ]; then
    aptopts+=("--aptopt=Acquire::http::Proxy \"$proxy\"")
fi
key="$(printf '%s\n' "${include[@]}" "${mirrors[@]}" "${aptopts[@]}" | sha256sum | cut -c1-12)"
cache="$cache_folder/bookworm-base-$key.tar"
if [ -f "$cache" ]; then
    echo "base tree: $(basename "$cache"), kept from an earlier run" >&2
else
    for old in "$cache_folder"/bookworm-base-*.tar; do
        [ ! -e "$old" ] || rm -f "$old"
    done
    partial="$cache_folder/bookworm-base-$key.partial.$$"
    if ! with_standard_descriptors timeout "$(limit "$step_limit")" mmdebstrap --variant=apt --format=tar \
        --include="$(IFS=,; echo "${include[*]}")" "${aptopts[@]}" bookworm "$partial" "${mirrors[@]}" \
        >"$logs/mmdebstrap.log" 2>&1; then
        show_log "$logs/mmdebstrap.log"
        fail "mmdebstrap could not make the Debian 12 base tree from ${mirrors[*]}"
    fi
    mv "$partial" "$cache"
    partial=""
    echo "base tree: made $(basename "$cache") ($(stat -c %s "$cache") bytes) from ${mirrors[*]}" >&2
fi
record_time "base tree" "$start"

# A fresh tree for this run, with the package and the host's name resolution in it.
start="$(now)"
root="$work/root"
mkdir "$root"
tar -xf "$cache" -C "$root" --numeric-owner
cp "$package" "$root/var/tmp/"
# A spoken sentence for the offline gateway, made here where espeak-ng and sox are.
espeak-ng -v en-us+edward2 -s 160 -w "$work/speech-22k.wav" "the weather is nice today and we will go for a walk in the park" &&
    sox -R "$work/speech-22k.wav" -r 16000 -c 1 -b 16 "$root/var/tmp/speech.wav" ||
    fail "espeak-ng and sox could not make the spoken sentence"
chmod 644 "$root/var/tmp/speech.wav"
rm -f "$root/etc/resolv.conf"
[ ! -e /etc/resolv.conf ] || cp -L /etc/resolv.conf "$root/etc/resolv.conf"
cp "$source_folder/scripts/debian-packages-run.txt" "$work/"
record_time "unpack" "$start"

# A private mount namespace (its mounts vanish with it) and PID namespace (its processes are killed when its
# first process ends, which unshare ends when it is ended itself).
unshare --mount --propagation private --pid --fork --kill-child \
    "$BASH" "${BASH_SOURCE[0]}" --inside "$work" "$version" "$cache_folder/apt" "$run_deadline" &
namespace_pid=$!
status=0
wait "$namespace_pid" || status=$?
namespace_pid=""

record_time "total" "$total_start"
echo "timings:" >&2
cat "$timings" >&2
if [ "$status" -ne 0 ]; then
    exit "$status"
fi
echo "package test passed: $(basename "$package") installs and records on a clean Debian 12 tree" >&2
