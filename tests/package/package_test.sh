#!/usr/bin/env bash
# The Debian package end to end, as root: builds the .deb with CPack in
# build/package (prefix /usr), installs it, checks its files, unit and a
# pkg-config client, runs /usr/bin/vtask on fresh stores of root and of an
# unprivileged user, purges it and checks nothing is left. One line per
# check; the details go to build/package/package-test.log.
#
#   tests/package/package_test.sh
set -uo pipefail
# Objects compiled for the other presets serve this build too.
export CCACHE_NOHASHDIR=1 DEBIAN_FRONTEND=noninteractive
cd "$(dirname "$0")/../.." || exit 1
# shellcheck source=tests/package/checks.sh
source tests/package/checks.sh
source=$PWD
build=$source/build/package
log=$build/package-test.log
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
mkdir -p "$build"
: >"$log"
work=$(mktemp -d /tmp/velqosch-package.XXXXXX)
chmod 755 "$work"
installed=0
purge() { $sudo apt-get purge -y -qq velqosch; }
stop_daemons() {  # the daemons the stores' vtask started
    find "$work" -name daemon.lock -exec cat {} + 2>/dev/null | tr -cs 0-9 '\n' | xargs -r kill 2>/dev/null
    sleep 0.3
}
trap '[ $installed -eq 1 ] && { stop_daemons; purge >>"$log" 2>&1; }; rm -rf "$work"' EXIT

# --- build the package ------------------------------------------------------
version=$(sed -n 's/^project(velqosch VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$build/deb/velqosch_${version}_$(dpkg --print-architecture).deb
{ cmake --preset package && cmake --build --preset package && (cd "$build" && rm -rf deb && cpack -G DEB); } >>"$log" 2>&1
[ -f "$deb" ] || { fail "package $deb built; see $log"; exit 1; }
ok "package built: ${deb#"$source"/}"
depends=$(dpkg-deb -f "$deb" Depends)
expect "dependencies declared ($depends)" grep -q 'libc6.*libstdc++6\|libstdc++6.*libc6' <<<"$depends"

# --- install ----------------------------------------------------------------
dpkg-query -W -f='${Status}' velqosch 2>/dev/null | grep -q 'install ok installed' &&
    { echo "package test: velqosch was installed before the test; purging it first" | tee -a "$log"; purge >>"$log" 2>&1; }
# What of the package's paths exists before it is installed (shared folders).
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' | sort -u >"$work/contents"
while read -r path; do [ -e "$path" ] || [ -L "$path" ] && echo "$path"; done <"$work/contents" >"$work/before"
installed=1
expect "apt-get install ./$(basename "$deb")" $sudo apt-get install -y -qq "$deb"
dpkg -L velqosch | sort -u >"$work/files"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=/usr/lib/$multiarch
in_place() {  # prints each path the package does not list or the disk does not have
    local path missing=0
    for path in /usr/bin/{vtask,velqosvc,velqo-regsvr,snagtrap} $libdir/lib{velqort,velqosch}.so{,.1} \
        $libdir/pkgconfig/velqosch.pc /usr/include/velqosch/{windows.h,mstask.h,component/surface.h,component/surface.inc} \
        /usr/share/man/man1/{vtask,velqosvc}.1.gz /usr/lib/systemd/user/velqosvc.service; do
        if ! grep -qx "$path" "$work/files" || [ ! -e "$path" ]; then echo "missing $path"; missing=1; fi
    done
    return $missing
}
expect "installed files in place (binaries, libraries, headers, pc, man pages, unit)" in_place
# The unit as the user's manager loads it: no error and no warning.
mkdir -m 700 "$work/verify-run"
expect "systemd-analyze --user verify velqosvc.service" sh -c "! XDG_RUNTIME_DIR=$work/verify-run \
    systemd-analyze --user verify /usr/lib/systemd/user/velqosvc.service 2>&1 | grep ."

# --- a user with a fresh store ------------------------------------------------
# run_as USER STORE PROGRAM ARGS...: root on a store named by VELQOSCH_WINDIR
# and VELQOSCH_REGISTRY with no PATH (the daemon is found where the package
# put it); nobody on its default store, with systemctl on its PATH but no user
# manager, so that the service control spawns the daemon.
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
first_list() {  # first_list USER STORE: lists, registering the installed component
    local out code
    out=$(run_as "$1" "$2" /usr/bin/vtask list 2>"$work/err")
    code=$?
    echo "exit $code: $out" && cat "$work/err"
    [ $code -eq 0 ] && [[ $out == NAME* ]] && grep -q "registered the installed component $libdir/libvelqosch.so" "$work/err"
}
# The daemon of the store: the installed one, spawned without a unit, so it logs to the state folder.
daemon_of() {  # daemon_of STATE_FOLDER
    local pid exe
    pid=$(tr -dc 0-9 <"$1/daemon.lock" 2>/dev/null)
    exe=$(readlink "/proc/${pid:-0}/exe" 2>/dev/null)
    echo "daemon: '${exe:-none}'"
    [ "$exe" = /usr/bin/velqosvc ] && [ -f "$1/daemon.log" ]
}
for user in root nobody; do
    store=$work/$user
    mkdir -p "$store"/{home,run}
    chmod 700 "$store/run"
    chown -R "$user" "$store"
    expect "/usr/bin/vtask list as $user on a fresh store (registers $libdir/libvelqosch.so.1 on first use)" \
        first_list "$user" "$store"
    state=$store/windows/Tasks/.service
    [ "$user" = root ] || state=$store/home/.local/share/velqosch/windows/Tasks/.service
    expect "the installed daemon, spawned without a user manager, serves $user's store" daemon_of "$state"
done
store=$work/root
expect "vtask add on the installed component" run_as root "$store" /usr/bin/vtask add "Package check" --app /bin/true
# shellcheck disable=SC2046  # the flags are words
expect "client built with pkg-config --cflags --libs velqosch" \
    g++ -Wall -Wextra -Werror -o "$work/client" tests/package/client.cpp $(pkg-config --cflags --libs velqosch)
expect "client: CoCreateInstance(Scheduler) lists the task" \
    test "$(run_as root "$store" "$work/client" 2>>"$log")" = "$(printf '1\nPackage check\t/bin/true')"
expect "vtask service stop" test "$(run_as root "$store" /usr/bin/vtask service stop 2>>"$log")" = "Schedule: stopped"
stop_daemons

# --- purge --------------------------------------------------------------------
expect "apt-get purge velqosch" purge
installed=0
left_over() {
    local path left=0
    while read -r path; do
        if { [ -e "$path" ] || [ -L "$path" ]; } && ! grep -qxF "$path" "$work/before"; then echo "left $path"; left=1; fi
    done <"$work/files"
    return $left
}
expect "nothing of the package left after the purge" left_over
finish "package test"
