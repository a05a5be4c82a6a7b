#!/usr/bin/env bash
# Package test: builds the Debian package in BUILD_DIR, looks at it (contents, control data, lintian), unpacks
# it into a scratch root and runs the installed programs from there, read-only, against a scratch site folder.
#   tools/package_test.sh BUILD_DIR [--picture FILE]
# BUILD_DIR is a configured (and built) build folder. --picture FILE copies the main window's picture there.
# Run as root, the programs run as the user nobody (as root, file modes would not stop a write into the
# unpacked tree); run as a developer, they run as that developer. Exit status 0 when every check passed, 1
# otherwise (every failed check is named), 2 for a wrong command line.
set -uo pipefail

usage() {
    echo "usage: $0 BUILD_DIR [--picture FILE]" >&2
    exit 2
}
BUILD_DIR=
PICTURE=
while (($#)); do
    case "$1" in
    --picture)
        (($# >= 2)) || usage
        PICTURE=$2
        shift 2
        ;;
    -*) usage ;;
    *)
        [ -z "$BUILD_DIR" ] || usage
        BUILD_DIR=$1
        shift
        ;;
    esac
done
[ -n "$BUILD_DIR" ] || usage
BUILD_DIR=$(cd "$BUILD_DIR" && pwd) || exit 2
SRC=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$BUILD_DIR/CPackConfig.cmake" ]; then
    echo "package_test: $BUILD_DIR has no CPackConfig.cmake; configure it with cmake first" >&2
    exit 2
fi

FAILURES=()
fail() {
    FAILURES+=("$*")
    echo "FAIL: $*" >&2
}
# a failure that leaves nothing for the later steps to look at
fatal() {
    echo "FAIL: $*" >&2
    echo "package test: FAILED" >&2
    exit 1
}
ok() { echo "ok: $*"; }
step() {
    echo
    echo "== $*"
}

# The scratch folder must be reachable by the user the programs run as.
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/mervo-package-test.XXXXXX") || exit 1
chmod 755 "$SCRATCH"
ROOT=$SCRATCH/root
RUN=$SCRATCH/run
SITE=$RUN/site
RESULTS=$BUILD_DIR/package-test
MERVO_PID=
# processes of the programs of the unpacked tree still running, as "pid:exe"
leftovers() {
    local p exe
    for p in /proc/[0-9]*; do
        exe=$(readlink "$p/exe" 2>/dev/null) || continue
        case "$exe" in "$ROOT"/*) echo "${p#/proc/}:$exe" ;; esac
    done
}
cleanup() {
    [ -n "$MERVO_PID" ] && kill -KILL "$MERVO_PID" 2>/dev/null
    for p in $(leftovers); do kill -KILL "${p%%:*}" 2>/dev/null; done
    chmod -R u+w "$SCRATCH" 2>/dev/null
    rm -rf "$SCRATCH"
}
trap cleanup EXIT
rm -rf "$RESULTS"
mkdir -p "$RESULTS"

# ---------------------------------------------------------------------------------------------------------
step "1. The package (cpack -G DEB in $BUILD_DIR)"
ARCH=$(dpkg --print-architecture)
rm -f "$BUILD_DIR"/mervo_*.deb
if ! cmake --build "$BUILD_DIR" --target package >"$RESULTS/cpack.log" 2>&1; then
    tail -40 "$RESULTS/cpack.log"
    fatal "building the package failed (cmake --build $BUILD_DIR --target package; log: $RESULTS/cpack.log)"
fi
DEBS=("$BUILD_DIR"/mervo_*_"$ARCH".deb)
[ -f "${DEBS[0]}" ] || fatal "cpack made no mervo_<version>_$ARCH.deb in $BUILD_DIR (log: $RESULTS/cpack.log)"
((${#DEBS[@]} == 1)) || fatal "cpack made more than one package: ${DEBS[*]}"
DEB=${DEBS[0]}
VERSION=$(dpkg-deb -f "$DEB" Version)
PROJECT_VERSION=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD_DIR/CPackConfig.cmake")
echo "package: $DEB"
[ "$(basename "$DEB")" = "mervo_${PROJECT_VERSION}_$ARCH.deb" ] ||
    fail "package file $(basename "$DEB"), expected mervo_${PROJECT_VERSION}_$ARCH.deb (the project's version)"
[ "$VERSION" = "$PROJECT_VERSION" ] || fail "package version $VERSION, the project's is $PROJECT_VERSION"

# ---------------------------------------------------------------------------------------------------------
step "2. dpkg -c, dpkg -I, lintian"
dpkg -c "$DEB"
echo
dpkg -I "$DEB"
echo
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
for dep in 'libc6 ' 'libqt6widgets6' adduser fonts-dejavu-core libreoffice-calc-nogui qt6-translations-l10n; do
    case "$DEPENDS" in
    *"$dep"*) ;;
    *) fail "Depends lacks $dep (dpkg-shlibdeps's libraries and the suite's own): $DEPENDS" ;;
    esac
done
if command -v lintian >/dev/null; then
    lintian -I --show-overrides "$DEB" >"$RESULTS/lintian.txt" 2>&1
    cat "$RESULTS/lintian.txt"
    if grep -q '^E: ' "$RESULTS/lintian.txt"; then
        fail "lintian reports errors: $(grep '^E: ' "$RESULTS/lintian.txt" | sed 's/^E: mervo[^:]*: //' | tr '\n' ';')"
    else
        ok "lintian: no errors ($(grep -c '^[WIPX]: ' "$RESULTS/lintian.txt") other tags above)"
    fi
else
    fail "lintian is not installed (Debian package lintian)"
fi

# ---------------------------------------------------------------------------------------------------------
step "3. The unpacked package: layout, marker, desktop files"
mkdir -p "$ROOT"
dpkg-deb -x "$DEB" "$ROOT" || fatal "dpkg-deb -x $DEB failed"
PROG=$ROOT/usr/lib/mervo

top=$(cd "$ROOT" && find . -mindepth 1 -maxdepth 1 -printf '%P\n' | LC_ALL=C sort | tr '\n' ' ')
[ "$top" = "lib usr " ] ||
    fail "the package ships outside /usr and /lib/systemd: $top(the site folder is made by postinst)"
others=$(cd "$ROOT/lib" && find . -type f ! -path ./systemd/system/mervo-schedule.service -printf '%P ')
[ -z "$others" ] || fail "/lib holds more than the service unit: $others"
for exe in Mervo Zorbel.dll Tolvan.dll mervoctl; do
    f=$PROG/$exe
    if [ ! -f "$f" ] || [ ! -x "$f" ]; then
        fail "/usr/lib/mervo/$exe is missing or not executable"
        continue
    fi
    what=$(file -b "$f")
    case "$what" in
    ELF*", stripped"*) ok "/usr/lib/mervo/$exe: $(cut -d, -f1-2 <<<"$what"), stripped" ;;
    ELF*) fail "/usr/lib/mervo/$exe is not stripped: $what" ;;
    *) fail "/usr/lib/mervo/$exe is no ELF executable: $what" ;;
    esac
    runpath=$(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
    case ":$runpath:" in
    *"$BUILD_DIR"* | *"$SRC"*) fail "/usr/lib/mervo/$exe searches libraries in the build or source tree: $runpath" ;;
    esac
done
others=$(cd "$PROG" && find . -mindepth 1 ! -name Mervo ! -name Zorbel.dll ! -name Tolvan.dll ! -name mervoctl \
    ! -name mervo.install -printf '%P ')
[ -z "$others" ] || fail "/usr/lib/mervo holds more than the programs and the marker: $others"

expected_marker='# Written by cmake --install: the programs in this folder are an installed suite.
share=../../share/mervo
site=/var/lib/mervo'
if [ ! -f "$PROG/mervo.install" ]; then
    fail "the marker /usr/lib/mervo/mervo.install is missing"
elif ! cmp -s "$PROG/mervo.install" <(printf '%s\n' "$expected_marker"); then
    fail "the marker /usr/lib/mervo/mervo.install is not as agreed; it holds:
$(cat -A "$PROG/mervo.install")"
else
    ok "marker /usr/lib/mervo/mervo.install (share=../../share/mervo, site=/var/lib/mervo)"
fi
[ -d "$PROG/$(sed -n 's/^share=//p' "$PROG/mervo.install" 2>/dev/null)" ] ||
    fail "the marker's share folder does not exist in the package"
[ ! -e "$BUILD_DIR/bin/mervo.install" ] || fail "the build folder has a marker: $BUILD_DIR/bin/mervo.install"

for link in mervo:Mervo mervoctl:mervoctl; do
    name=${link%%:*}
    target=$(readlink "$ROOT/usr/bin/$name")
    if [ "$target" != "../lib/mervo/${link#*:}" ]; then
        fail "/usr/bin/$name is no link to ../lib/mervo/${link#*:} (readlink: '${target}')"
    elif [ ! -x "$ROOT/usr/bin/$name" ]; then
        fail "/usr/bin/$name -> $target leads nowhere"
    else
        ok "/usr/bin/$name -> $target"
    fi
done

if diff -r --exclude=.gitattributes "$SRC/dist" "$ROOT/usr/share/mervo" >"$RESULTS/share.diff"; then
    ok "/usr/share/mervo is dist/ ($(find "$ROOT/usr/share/mervo" -type f | wc -l) files)"
else
    fail "/usr/share/mervo differs from dist/: $(head -c 600 "$RESULTS/share.diff")"
fi

for f in share/applications/org.mervo.Mervo.desktop share/metainfo/org.mervo.Mervo.metainfo.xml \
    share/icons/hicolor/scalable/apps/mervo.svg share/man/man1/mervo.1.gz share/man/man1/mervoctl.1.gz \
    share/doc/mervo/copyright share/doc/mervo/changelog.gz; do
    [ -f "$ROOT/usr/$f" ] || fail "/usr/$f is missing"
done
if command -v desktop-file-validate >/dev/null; then
    # hints are suggestions only; errors and warnings count
    out=$(desktop-file-validate "$ROOT/usr/share/applications/org.mervo.Mervo.desktop" 2>&1)
    status=$?
    if [ "$status" -ne 0 ] || grep -v ': hint: ' <<<"$out" | grep -q .; then
        fail "desktop-file-validate: $out"
    else
        ok "desktop-file-validate org.mervo.Mervo.desktop${out:+ (hints: ${out#*hint: })}"
    fi
else
    fail "desktop-file-validate is not installed (Debian package desktop-file-utils)"
fi
if command -v appstreamcli >/dev/null; then
    if out=$(appstreamcli validate --no-net --pedantic "$ROOT/usr/share/metainfo/org.mervo.Mervo.metainfo.xml" 2>&1); then
        ok "appstreamcli validate org.mervo.Mervo.metainfo.xml: $(tail -1 <<<"$out")"
    else
        fail "appstreamcli validate: $out"
    fi
else
    fail "appstreamcli is not installed (Debian package appstream)"
fi
if command -v xmllint >/dev/null; then
    xmllint --noout "$ROOT/usr/share/icons/hicolor/scalable/apps/mervo.svg" || fail "the icon mervo.svg is no well-formed XML"
fi
for page in mervo mervoctl; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$ROOT/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man page $page.1 has groff warnings: $warnings"
done
changelog_version=$(zcat "$ROOT/usr/share/doc/mervo/changelog.gz" | sed -n '1s/^mervo (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$VERSION" ] ||
    fail "the changelog's newest entry is '$changelog_version', the package is $VERSION: add an entry to packaging/changelog"

mkdir -p "$SCRATCH/control"
dpkg-deb -e "$DEB" "$SCRATCH/control"
for script in postinst prerm postrm; do
    f=$SCRATCH/control/$script
    if [ ! -f "$f" ]; then
        fail "the package has no $script"
    elif [ "$(stat -c %a "$f")" != 755 ] || ! sh -n "$f"; then
        fail "the package's $script is not an executable (0755) sh script"
    fi
done

# ---------------------------------------------------------------------------------------------------------
step "4. The unpacked tree read-only, its snapshot"
snapshot() {
    (
        cd "$ROOT" || exit 1
        find . -printf '%p %y %s %T@ %m %l\n' | LC_ALL=C sort
        find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
    )
}
chmod -R a-w "$ROOT"
snapshot >"$SCRATCH/snapshot.before"
ok "$(wc -l <"$SCRATCH/snapshot.before") lines of paths, sizes, mtimes, modes and sha256 sums"
check_snapshot() { # $1: what ran
    snapshot >"$SCRATCH/snapshot.after"
    if cmp -s "$SCRATCH/snapshot.before" "$SCRATCH/snapshot.after"; then
        ok "the unpacked tree is unchanged after $1"
    else
        fail "$1 changed the unpacked (read-only) tree:
$(diff "$SCRATCH/snapshot.before" "$SCRATCH/snapshot.after" | grep '^[<>]' | head -20)"
        cp "$SCRATCH/snapshot.after" "$SCRATCH/snapshot.before"
    fi
}

# ---------------------------------------------------------------------------------------------------------
# The programs run as an unprivileged user with a clean environment: the scratch site as MERVO_HOME, no
# MERVO_REGISTRY (the settings store is the one of the site folder), umask 022 (the
# suite sets its own umask 002).
mkdir -p "$SITE" "$RUN/config/Mervo" "$RUN/runtime" "$RUN/home" "$RUN/tmp" "$RUN/shot"
# the site as postinst makes it, setgid; the first start must fill it
chmod 2775 "$SITE"
chmod 700 "$RUN/runtime"
# Auto-poll on with the first poll due at once, so that a poll runs (over no objects) and the window's
# picture is written after it.
printf '[PAR]\nPar2=32\nPeriod=4\nPeriodX=1\nDTConn=0000000000000000\n' >"$SITE/registry.ini"
AS=()
if [ "$(id -u)" -eq 0 ]; then
    chown -R nobody:nogroup "$RUN"
    AS=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    echo "running the programs as nobody:nogroup"
fi
SHOT=$RUN/shot/mervo.png
# Replaces the calling shell: call it in a subshell, "(launch ...)", or in the background, "launch ... &",
# so that $! is the program's own process id.
launch() {
    umask 022
    exec "${AS[@]}" env -i PATH=/usr/bin:/bin HOME="$RUN/home" LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen \
        MERVO_HOME="$SITE" XDG_CONFIG_HOME="$RUN/config" XDG_RUNTIME_DIR="$RUN/runtime" TMPDIR="$RUN/tmp" \
        MERVO_SCREENSHOT="$SHOT" "$@"
}
settings_dpath() {
    local dpath
    dpath=$(grep '^DPath=' "$SITE/registry.ini" 2>/dev/null)
    echo "the settings store has ${dpath:-no DPath}"
}
site_lacks() {
    local missing=
    [ -f "$SITE/DATA/MAINDB.dbf" ] || missing+="DATA/MAINDB.dbf "
    for d in Circuits Patterns; do
        [ -n "$(find "$SITE/$d" -type f 2>/dev/null | head -1)" ] || missing+="$d/ "
    done
    echo "$missing"
}
# every file and folder in the site must be writable for the group (the suite's umask 002)
# (each path is reported once: a later step names only what it made)
check_group_writable() { # $1: what ran
    local bad
    touch "$SCRATCH/reported"
    bad=$(find "$SITE" -mindepth 1 \( -type f -o -type d \) ! -perm -g=w -printf '  %m %P\n' | LC_ALL=C sort |
        LC_ALL=C comm -23 - <(LC_ALL=C sort "$SCRATCH/reported"))
    printf '%s\n' "$bad" >>"$SCRATCH/reported"
    bad=$(head -20 <<<"$bad")
    if [ -z "$bad" ]; then
        ok "what $1 made in the site is group-writable"
    else
        fail "$1 made files or folders in the site that the group cannot write (the suite must set umask 002;
the test starts it under umask 022); mode, path:
$bad"
    fi
}

step "5. Mervo from the unpacked tree (usr/bin/mervo), site $SITE"
launch "$ROOT/usr/bin/mervo" >"$RUN/mervo.log" 2>&1 &
MERVO_PID=$!
# the process must be Mervo itself, not a shell above it, for SIGTERM to reach it
sleep 0.5
if [ "$(readlink "/proc/$MERVO_PID/exe" 2>/dev/null)" != "$PROG/Mervo" ] && kill -0 "$MERVO_PID" 2>/dev/null; then
    fail "the started process $MERVO_PID is $(readlink "/proc/$MERVO_PID/exe"), not $PROG/Mervo"
fi
ready=0
ended=
for ((i = 0; i < 60; i++)); do
    if [ -z "$(site_lacks)" ]; then
        ready=1
        break
    fi
    if ! kill -0 "$MERVO_PID" 2>/dev/null; then
        wait "$MERVO_PID"
        ended=$?
        MERVO_PID=
        break
    fi
    sleep 0.5
done
if ((ready)); then
    ok "the site was filled after $((i / 2)) s"
    # the poll due at once ends with the window's picture
    for ((i = 0; i < 30; i++)); do
        if [ -s "$SHOT" ] || ! kill -0 "$MERVO_PID" 2>/dev/null; then break; fi
        sleep 0.5
    done
    sleep 1
elif [ -n "$ended" ]; then
    fail "Mervo ended by itself with status $ended before the site was filled (the site lacks: $(site_lacks); \
$(settings_dpath))"
else
    fail "Mervo did not fill the site MERVO_HOME=$SITE within 30 s: it lacks $(site_lacks)(expected: the data \
folder DATA with MAINDB.dbf, Circuits/ and Patterns/ copied from /usr/share/mervo; $(settings_dpath))"
fi
if [ -n "$MERVO_PID" ]; then
    if ! kill -0 "$MERVO_PID" 2>/dev/null; then
        wait "$MERVO_PID"
        fail "Mervo ended by itself with status $? instead of running until SIGTERM"
    else
        kill -TERM "$MERVO_PID"
        for ((i = 0; i < 20; i++)); do
            kill -0 "$MERVO_PID" 2>/dev/null || break
            sleep 0.5
        done
        if kill -0 "$MERVO_PID" 2>/dev/null; then
            fail "Mervo did not end within 10 s of SIGTERM (killed)"
            kill -KILL "$MERVO_PID"
        fi
        wait "$MERVO_PID"
        echo "Mervo ended on SIGTERM with status $?"
    fi
    MERVO_PID=
fi
left=$(leftovers)
[ -z "$left" ] || fail "programs of the unpacked tree still run after Mervo ended (pid:exe): $left"
if [ -s "$RUN/mervo.log" ]; then
    echo "Mervo's output (last 20 lines):"
    tail -20 "$RUN/mervo.log" | sed 's/^/  /'
fi
cp "$RUN/mervo.log" "$RESULTS/mervo.log"

step "6. What Mervo left"
# (when the site was never filled, step 5 said so)
if ((ready)); then
    lacks=$(site_lacks)
    [ -z "$lacks" ] || fail "after Mervo ended the site lacks: $lacks"
fi
for d in Circuits Patterns; do
    [ -d "$SITE/$d" ] || continue
    missing=$(comm -23 <(cd "$ROOT/usr/share/mervo/$d" && find . -type f | LC_ALL=C sort) \
        <(cd "$SITE/$d" && find . -type f | LC_ALL=C sort) | head -10 | tr '\n' ' ')
    [ -z "$missing" ] || fail "the site's $d lacks delivered files: $missing"
done
if grep -q '^DPath=' "$SITE/registry.ini" 2>/dev/null; then
    echo "the site's registry.ini: $(settings_dpath)"
else
    fail "Mervo did not complete the settings store the site's registry.ini (no DPath in it)"
fi
[ ! -e "$RUN/config/Mervo/registry.ini" ] ||
    fail "Mervo made a settings store of its own user (\$XDG_CONFIG_HOME/Mervo/registry.ini) instead of the site's"
check_snapshot "Mervo"
check_group_writable "Mervo"
echo "site after Mervo:"
(cd "$SITE" && find . -maxdepth 2 -printf '  %M %u:%g %p\n' | LC_ALL=C sort -k3 | head -40)

# ---------------------------------------------------------------------------------------------------------
step "7. mervoctl from the unpacked tree (usr/bin/mervoctl)"
(launch "$ROOT/usr/bin/mervoctl") >"$RUN/usage.out" 2>"$RUN/usage.err"
status=$?
if [ "$status" -ne 2 ]; then
    fail "mervoctl without arguments exited with $status, expected 2 (wrong arguments)"
elif ! grep -q '^usage: mervoctl init DIR' "$RUN/usage.err" || [ -s "$RUN/usage.out" ]; then
    fail "mervoctl without arguments did not print its usage on standard error only"
else
    ok "mervoctl without arguments: usage on standard error, exit status 2"
fi
(launch "$ROOT/usr/bin/mervoctl" init "$SITE/DATA2") >"$RUN/init.out" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
    fail "mervoctl init $SITE/DATA2 exited with $status: $(cat "$RUN/init.out")"
elif [ ! -f "$SITE/DATA2/MAINDB.dbf" ]; then
    fail "mervoctl init made no DATA2/MAINDB.dbf in the site"
else
    ok "mervoctl init DATA2: $(find "$SITE/DATA2" -mindepth 1 -printf '%P ')"
fi
check_snapshot "mervoctl"
check_group_writable "mervoctl"

# ---------------------------------------------------------------------------------------------------------
step "8. Service units"
# systemd-analyze verify on the unpacked tree: the unit's syntax, its options, and that ExecStart names a
# program the tree holds (its manual page is checked in step 3).
UNIT=lib/systemd/system/mervo-schedule.service
if [ ! -f "$ROOT/$UNIT" ]; then
    fail "the package has no service unit /$UNIT"
else
    # the tree with the system's own units beside the package's (the unit's default dependencies)
    VROOT=$SCRATCH/verify-root
    cp -a "$ROOT" "$VROOT" && chmod -R u+w "$VROOT"
    mkdir -p "$VROOT/lib/systemd/system"
    cp -an /lib/systemd/system/. "$VROOT/lib/systemd/system/" 2>/dev/null || true
    if out=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no --root="$VROOT" "/$UNIT" 2>&1); then
        ok "systemd-analyze verify --root=<unpacked tree> /$UNIT${out:+: $out}"
    else
        fail "systemd-analyze verify --root=<unpacked tree> /$UNIT: $out"
    fi
    grep -q '^ExecStart=/usr/bin/mervoctl schedule$' "$ROOT/$UNIT" || fail "the unit does not start /usr/bin/mervoctl schedule"
    grep -q '^ReadWritePaths=/var/lib/mervo$' "$ROOT/$UNIT" || fail "the unit does not let the service write the site"
    grep -q '^UMask=0002$' "$ROOT/$UNIT" || fail "the unit has no UMask=0002"
    if grep -q '^PrivateTmp=\|^PrivateDevices=' "$ROOT/$UNIT"; then
        fail "the unit hides /tmp or the devices (serial ports on pseudo-terminals and /dev/tty*)"
    fi
    if [ -L "$ROOT/etc/systemd/system/multi-user.target.wants/mervo-schedule.service" ]; then
        fail "the unit is enabled in the package; it must be off until the administrator enables it"
    fi
fi

# ---------------------------------------------------------------------------------------------------------
step "Result"
if [ -s "$SHOT" ]; then
    cp "$SHOT" "$RESULTS/mervo.png"
    echo "picture of the main window: $RESULTS/mervo.png"
    if [ -n "$PICTURE" ]; then
        cp "$SHOT" "$PICTURE" && echo "copied to $PICTURE"
    fi
else
    echo "Mervo wrote no picture of its main window (it writes one after each poll)"
    [ -z "$PICTURE" ] || fail "no picture to copy to $PICTURE"
fi
echo "logs: $RESULTS"
if ((${#FAILURES[@]})); then
    echo "package test: ${#FAILURES[@]} check(s) FAILED:" >&2
    for f in "${FAILURES[@]}"; do
        echo "  - ${f%%$'\n'*}" >&2
    done
    exit 1
fi
echo "package test: all checks passed"
