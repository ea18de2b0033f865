#!/usr/bin/env bash
# The Debian package, end to end, on this machine (as root): builds
# velqosch_<version>_<arch>.deb with CPack in build/package (the "package"
# preset: prefix /usr), installs it with apt-get, checks what it put where,
# verifies the systemd user unit, builds a client with pkg-config against the
# installed files, runs /usr/bin/vtask on fresh stores (root and an
# unprivileged user, each registering the installed component on first
# use), then purges the package and checks that none of its files is left.
# The build tree of the other presets is not touched. Prints one line per
# check; the details go to build/package/package-test.log.
#
#   tests/package/package_test.sh
set -uo pipefail
# Objects compiled for the other presets serve this build too.
export CCACHE_NOHASHDIR=1
cd "$(dirname "$0")/../.." || exit 1
source=$PWD
build=$source/build/package
log=$build/package-test.log
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
mkdir -p "$build"
: >"$log"
failures=0
pass() { echo "ok    $*"; }
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...: runs the command, its output into the log
    local what=$1
    shift
    echo "== $what: $*" >>"$log"
    if "$@" >>"$log" 2>&1; then pass "$what"; else fail "$what (see $log)"; fi
}
work=$(mktemp -d /tmp/velqosch-package.XXXXXX)
chmod 755 "$work"
installed=0
cleanup() {
    if [ $installed -eq 1 ]; then
        stop_daemons
        DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq velqosch >>"$log" 2>&1
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The daemons the stores' vtask started.
stop_daemons() {
    local lock pid
    while read -r lock; do
        pid=$(tr -dc 0-9 <"$lock")
        [ -n "$pid" ] && kill "$pid" 2>/dev/null
    done < <(find "$work" -name daemon.lock 2>/dev/null)
    sleep 0.3
}

# --- build the package ------------------------------------------------------
version=$(sed -n 's/^project(velqosch VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=$build/deb/velqosch_${version}_${arch}.deb
{
    cmake --preset package && cmake --build --preset package && (cd "$build" && rm -rf deb && cpack -G DEB)
} >>"$log" 2>&1
if [ ! -f "$deb" ]; then
    fail "package $deb built"
    echo "package test: the package was not built; see $log"
    exit 1
fi
pass "package built: ${deb#"$source"/}"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends" >>"$log"
if [[ $depends == *libc6* && $depends == *libstdc++6* ]]; then pass "dependencies declared ($depends)"; else fail "dependencies declared: '$depends'"; fi

# --- install ----------------------------------------------------------------
if dpkg-query -W -f='${Status}' velqosch 2>/dev/null | grep -q 'install ok installed'; then
    echo "package test: velqosch was installed before the test; purging it first" | tee -a "$log"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq velqosch >>"$log" 2>&1
fi
# What of the package's paths exists before it is installed (shared folders).
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' | sort -u >"$work/contents"
while read -r path; do [ -e "$path" ] || [ -L "$path" ] && echo "$path"; done <"$work/contents" >"$work/before"
installed=1
check "apt-get install ./$(basename "$deb")" env DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb"
dpkg -L velqosch | sort -u >"$work/files"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=/usr/lib/$multiarch
missing=""
for path in /usr/bin/vtask /usr/bin/velqosvc /usr/bin/velqo-regsvr /usr/bin/snagtrap \
    $libdir/libvelqort.so.1 $libdir/libvelqosch.so.1 $libdir/libvelqort.so $libdir/libvelqosch.so \
    $libdir/pkgconfig/velqosch.pc /usr/include/velqosch/windows.h /usr/include/velqosch/mstask.h \
    /usr/include/velqosch/component/surface.h /usr/include/velqosch/component/surface.inc \
    /usr/share/man/man1/vtask.1.gz /usr/share/man/man1/velqosvc.1.gz /usr/lib/systemd/user/velqosvc.service; do
    grep -qx "$path" "$work/files" && [ -e "$path" ] || missing+=" $path"
done
if [ -z "$missing" ]; then pass "installed files in place (binaries, libraries, headers, pc, man pages, unit)"; else fail "installed files missing:$missing"; fi
sonames=$(for l in libvelqort libvelqosch; do objdump -p "$libdir/$l.so.1" | awk '/SONAME/ {print $2}'; done | xargs)
if [ "$sonames" = "libvelqort.so.1 libvelqosch.so.1" ]; then pass "SONAMEs ($sonames)"; else fail "SONAMEs: '$sonames'"; fi
check "man pages format without warnings" sh -c \
    '! { man --warnings -l /usr/share/man/man1/vtask.1.gz; man --warnings -l /usr/share/man/man1/velqosvc.1.gz; } 2>&1 >/dev/null | grep .'
# The unit as the user's manager loads it: no error and no warning.
verify_unit() {
    mkdir -m 700 "$work/verify-run"
    local out rc
    out=$(XDG_RUNTIME_DIR=$work/verify-run systemd-analyze --user verify /usr/lib/systemd/user/velqosvc.service 2>&1)
    rc=$?
    echo "$out"
    [ $rc -eq 0 ] && [ -z "$out" ]
}
check "systemd-analyze --user verify velqosvc.service" verify_unit

# --- a user with a fresh store ------------------------------------------------
# run_as USER STORE PROGRAM ARGS...: the program with nothing of this
# environment. root works on a store named by VELQOSCH_WINDIR and
# VELQOSCH_REGISTRY, with no PATH, so that the daemon is found where the
# package put it; nobody on the default store under its HOME, with systemctl
# on its PATH but no user manager to reach, so that the service control
# falls back to spawning the daemon.
run_as() {
    local user=$1 store=$2
    shift 2
    if [ "$user" = root ]; then
        env -i HOME="$store/home" VELQOSCH_WINDIR="$store/windows" VELQOSCH_REGISTRY="$store/registry" \
            XDG_RUNTIME_DIR="$store/run" PATH=/nonexistent "$@"
    else
        runuser -u "$user" -- env -i HOME="$store/home" XDG_RUNTIME_DIR="$store/run" PATH=/usr/bin:/bin "$@"
    fi
}
state_folder() {  # state_folder USER STORE
    if [ "$1" = root ]; then echo "$2/windows/Tasks/.service"; else echo "$2/home/.local/share/velqosch/windows/Tasks/.service"; fi
}
for user in root nobody; do
    store=$work/$user
    mkdir -p "$store"/{home,run}
    chmod 700 "$store/run"
    chown -R "$user" "$store"
    out=$(run_as "$user" "$store" /usr/bin/vtask list 2>"$work/err")
    code=$?
    { echo "== vtask list as $user: $code"; echo "$out"; cat "$work/err"; } >>"$log"
    if [ $code -eq 0 ] && [[ $out == NAME* ]] && grep -q "registered the installed component $libdir/libvelqosch.so" "$work/err"; then
        pass "/usr/bin/vtask list as $user on a fresh store (registers $libdir/libvelqosch.so.1 on first use)"
    else
        fail "/usr/bin/vtask list as $user on a fresh store (exit $code; see $log)"
    fi
    state=$(state_folder "$user" "$store")
    pid=$(tr -dc 0-9 <"$state/daemon.lock" 2>/dev/null)
    exe=$(readlink "/proc/${pid:-0}/exe" 2>/dev/null)
    # Spawned, not started by a unit: it logs to the state folder.
    if [ "$exe" = /usr/bin/velqosvc ] && [ -f "$state/daemon.log" ]; then
        pass "the installed daemon, spawned without a user manager, serves $user's store"
    else
        fail "daemon of $user's store: '${exe:-none}'"
    fi
done
store=$work/root
check "vtask add on the installed component" run_as root "$store" /usr/bin/vtask add "Package check" --app /bin/true
# shellcheck disable=SC2046  # the flags are words
cc_out=$(g++ -Wall -Wextra -Werror -o "$work/client" "$source/tests/package/client.cpp" $(pkg-config --cflags --libs velqosch) 2>&1)
code=$?
echo "== client build: $code $cc_out" >>"$log"
if [ $code -eq 0 ]; then pass "client built with pkg-config --cflags --libs velqosch"; else fail "client build (see $log)"; fi
listed=$(run_as root "$store" "$work/client" 2>>"$log")
echo "== client: $listed" >>"$log"
if [ "$listed" = "$(printf '1\nPackage check\t/bin/true')" ]; then pass "client: CoCreateInstance(Scheduler) lists the task"; else fail "client output: '$listed'"; fi
stopped=$(run_as root "$store" /usr/bin/vtask service stop 2>>"$log")
if [ "$stopped" = "Schedule: stopped" ]; then pass "vtask service stop"; else fail "vtask service stop: '$stopped'"; fi
stop_daemons

# --- purge --------------------------------------------------------------------
check "apt-get purge velqosch" env DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq velqosch
installed=0
left=""
while read -r path; do
    if { [ -e "$path" ] || [ -L "$path" ]; } && ! grep -qxF "$path" "$work/before"; then left+=" $path"; fi
done <"$work/files"
if [ -z "$left" ]; then pass "nothing of the package left after the purge"; else fail "left after the purge:$left"; fi

echo "package test: $failures failed"
[ $failures -eq 0 ]
