#!/usr/bin/env bash
# check-packages.sh BUILD SOURCE VERSION CONF_CHECK
#
# Makes the Debian packages of the build tree BUILD with cpack in a scratch
# folder, checks them with lintian, desktop-file-validate, appstreamcli, man
# and groff, unpacks them and runs what they install. Exit status 0 when every
# check passes, 1 otherwise, 77 (skipped) when dpkg-deb is missing.
set -uo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 BUILD SOURCE VERSION CONF_CHECK" >&2
    exit 2
fi
build=$1 source=$2 version=$3 confcheck=$4

if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg-deb is missing, so no Debian package can be made here"
    exit 77
fi
missing=()
for tool in cpack dpkg dpkg-shlibdeps lintian desktop-file-validate appstreamcli man groff lexgrog file \
    timeout openssl; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "FAIL: missing ${missing[*]} (scripts/install-deps installs them)"
    exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tallyscope-packaging.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
step() { echo "== $*"; }
# The programs run as a user's shell runs them: no build-tree libraries.
run() { env -u LD_LIBRARY_PATH "$@"; }

arch=$(dpkg --print-architecture)
viewer_deb=$scratch/out/tallyscope_${version}_${arch}.deb
sim_deb=$scratch/out/tallyscope-aggr-sim_${version}_${arch}.deb
app_id=net.corvane.Tallyscope
root=$scratch/root

step "cpack -G DEB from $build"
if ! timeout 150 cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
for deb in "$viewer_deb" "$sim_deb"; do
    [ -f "$deb" ] || { ls -l "$scratch/out"; echo "FAIL: no $(basename "$deb")"; exit 1; }
done

step "control fields and conffiles"
for deb in "$viewer_deb" "$sim_deb"; do
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$(basename "$deb"): Version is not $version"
done
viewer_depends=$(dpkg-deb -f "$viewer_deb" Depends)
sim_depends=$(dpkg-deb -f "$sim_deb" Depends)
echo "tallyscope Depends: $viewer_depends"
echo "tallyscope-aggr-sim Depends: $sim_depends"
# Found by dpkg-shlibdeps, except the platform plugins.
for dep in libc6 libqt6widgets6 libcurl4 libssl3 qt6-qpa-plugins; do
    grep -Eq "(^|, )$dep( |,|$)" <<<"$viewer_depends" || fail "tallyscope does not depend on $dep"
done
for dep in libc6 libssl3; do
    grep -Eq "(^|, )$dep( |,|$)" <<<"$sim_depends" || fail "tallyscope-aggr-sim does not depend on $dep"
done
grep -q "libqt6" <<<"$sim_depends" && fail "tallyscope-aggr-sim depends on Qt"
dpkg-deb -e "$viewer_deb" "$scratch/control-viewer"
printf '/etc/tallyscope/config.xml\n/etc/xdg/Corvane/TarnTallyscope.conf\n' >"$scratch/conffiles.expected"
if ! sort "$scratch/control-viewer/conffiles" 2>/dev/null | diff -u "$scratch/conffiles.expected" -; then
    fail "tallyscope conffiles"
fi

step "lintian"
timeout 150 lintian --fail-on error --tag-display-limit 0 "$viewer_deb" "$sim_deb" >"$scratch/lintian.log" 2>&1
lintian_rc=$?
cat "$scratch/lintian.log"
[ $lintian_rc -eq 0 ] || fail "lintian exited with $lintian_rc"
grep -q '^E: ' "$scratch/lintian.log" && fail "lintian reports errors"
echo "lintian: $(grep -c '^W: ' "$scratch/lintian.log") warnings"

step "unpack into $root"
for deb in "$viewer_deb" "$sim_deb"; do
    dpkg -x "$deb" "$root" || fail "dpkg -x $(basename "$deb")"
done
for f in usr/bin/tallyscope usr/bin/tallyscope-aggr-sim \
    usr/share/applications/$app_id.desktop usr/share/metainfo/$app_id.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/$app_id.svg \
    usr/share/man/man1/tallyscope.1.gz usr/share/man/man1/tallyscope-aggr-sim.1.gz \
    usr/share/doc/tallyscope/copyright usr/share/doc/tallyscope/changelog.gz \
    usr/share/doc/tallyscope/examples/tallyscope-wall.desktop \
    usr/share/doc/tallyscope-aggr-sim/copyright usr/share/doc/tallyscope-aggr-sim/changelog.gz \
    usr/share/doc/tallyscope-aggr-sim/examples/make-certs \
    etc/xdg/Corvane/TarnTallyscope.conf etc/tallyscope/config.xml \
    usr/share/tallyscope-aggr-sim/studios.xml; do
    [ -f "$root/$f" ] || fail "/$f is not in the packages"
done
for size in 16 22 24 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png
    file -b "$png" | grep -q "^PNG image data, $size x $size," || fail "icon ${size}x${size}: $(file -b "$png")"
done
file -b "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg" | grep -q SVG || fail "the scalable icon is no SVG"
for f in usr/bin/tallyscope usr/bin/tallyscope-aggr-sim; do
    file -b "$root/$f" | grep -q "ELF.*, stripped" || fail "/$f is not a stripped ELF program"
    if run ldd "$root/$f" | grep "not found"; then fail "/$f needs libraries that are not there"; fi
done

step "conffiles kept across a reinstall (dpkg with its own database)"
admin=$scratch/dpkg
mkdir -p "$admin/updates" "$admin/info" "$scratch/inst"
touch "$admin/status" "$admin/available"
dpkg_scratch() {
    dpkg --admindir="$admin" --instdir="$scratch/inst" --force-depends --force-not-root \
        --force-script-chrootless --no-triggers --force-confold "$@" >>"$scratch/dpkg.log" 2>&1
}
dpkg_scratch -i "$viewer_deb" || { cat "$scratch/dpkg.log"; fail "dpkg -i tallyscope"; }
echo '<!-- this station -->' >>"$scratch/inst/etc/tallyscope/config.xml"
dpkg_scratch -i "$viewer_deb" || { cat "$scratch/dpkg.log"; fail "dpkg -i tallyscope again"; }
[ "$(tail -n1 "$scratch/inst/etc/tallyscope/config.xml")" = '<!-- this station -->' ] ||
    fail "a reinstall lost the station's config.xml"
dpkg_scratch -r tallyscope || fail "dpkg -r tallyscope"
[ -f "$scratch/inst/etc/tallyscope/config.xml" ] || fail "removing tallyscope removed the edited config.xml"
[ -e "$scratch/inst/usr/bin/tallyscope" ] && fail "removing tallyscope left /usr/bin/tallyscope"

step "desktop entries"
desktop=$root/usr/share/applications/$app_id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate $app_id.desktop"
desktop-file-validate "$root/usr/share/doc/tallyscope/examples/tallyscope-wall.desktop" ||
    fail "desktop-file-validate tallyscope-wall.desktop"
icon=$(sed -n 's/^Icon=//p' "$desktop" | head -n1)
[ "$icon" = "$app_id" ] || fail "the desktop entry's icon is '$icon'"
[ "$(sed -n 's/^Exec=//p' "$desktop" | head -n1)" = "tallyscope" ] || fail "the desktop entry does not run tallyscope"
grep -A3 '^\[Desktop Action wall-display\]' "$desktop" | grep -qx 'Exec=tallyscope --wall --connect' ||
    fail "no wall display action running tallyscope --wall --connect"
grep -qx 'Exec=tallyscope --wall --connect --studio "Studio A"' "$root/usr/share/doc/tallyscope/examples/tallyscope-wall.desktop" ||
    fail "the autostart example does not start into a studio"

step "AppStream metadata"
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q "<id>$app_id</id>" "$metainfo" || fail "the metainfo id is not $app_id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the metainfo does not launch $app_id.desktop"
grep -Eq "<release version=\"$version\" date=\"[0-9]{4}-[0-9]{2}-[0-9]{2}\"" "$metainfo" ||
    fail "the metainfo has no dated release $version"

step "manual pages"
for page in tallyscope tallyscope-aggr-sim; do
    gz=$root/usr/share/man/man1/$page.1.gz
    zcat "$gz" | groff -ww -z -man 2>"$scratch/groff.err"
    if [ -s "$scratch/groff.err" ]; then
        cat "$scratch/groff.err"
        fail "groff warns on $page(1)"
    fi
    MANWIDTH=80 man --warnings -l -Tutf8 "$gz" >"$scratch/$page.utf8" 2>"$scratch/man.err" || fail "man -l $page(1)"
    if [ -s "$scratch/man.err" ]; then
        cat "$scratch/man.err"
        fail "man warns on $page(1)"
    fi
    [ -s "$scratch/$page.utf8" ] || fail "man renders nothing for $page(1)"
    lexgrog "$gz" | grep -q ": \"$page - " || fail "no whatis entry in $page(1)"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES; do
        zcat "$gz" | grep -qx "\.SH \"\?$section\"\?" || fail "$page(1) has no $section section"
    done
    # Plain text with no hyphenation, for the option check below.
    zcat "$gz" | groff -man -Tascii -P-cbou -rLL=300n -rHY=0 2>/dev/null >"$scratch/$page.txt"
done

step "installed viewer"
viewer=$root/usr/bin/tallyscope
# No display at all: --version and --help are read before Qt starts.
out=$(run -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$viewer" --version 2>"$scratch/err")
rc=$?
[ $rc -eq 0 ] || fail "tallyscope --version exited with $rc: $(cat "$scratch/err")"
[ "$(head -n1 <<<"$out")" = "tallyscope $version" ] || fail "tallyscope --version says '$(head -n1 <<<"$out")'"
run -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$viewer" --help >"$scratch/viewer.help" 2>&1 ||
    fail "tallyscope --help exited with $?"
head -n1 "$scratch/viewer.help" | grep -q '^Usage: tallyscope ' || fail "tallyscope --help has no usage line"
grep -Eq '^ +-h, --help ' "$scratch/viewer.help" || fail "tallyscope --help does not list -h, --help"
for opt in --version --connect --studio=NAME --screenshot=FILE --quit-after=SECONDS --wall --screen=N; do
    grep -Eq "^ +(-h, )?$opt( |$)" "$scratch/viewer.help" || fail "tallyscope --help does not list $opt"
done
# Every option of --help is in the manual page.
for opt in $(grep -Eo -- '^ {1,8}(-h, )?--[a-z-]+' "$scratch/viewer.help" | grep -Eo -- '--[a-z-]+'); do
    grep -q -- "$opt" "$scratch/tallyscope.txt" || fail "tallyscope(1) does not describe $opt"
done
for args in "--x" "--no-such-option" "-q" "--studio" "--quit-after 86401" "--quit-after 5s" "--quit-after=" \
    "--connect=yes" "stray"; do
    # shellcheck disable=SC2086
    run -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$viewer" $args >"$scratch/stdout" 2>"$scratch/err"
    rc=$?
    [ $rc -eq 2 ] || fail "tallyscope $args exited with $rc"
    [ -s "$scratch/stdout" ] && fail "tallyscope $args wrote to standard output"
    head -n1 "$scratch/err" | grep -q '^tallyscope: ' || fail "tallyscope $args: '$(head -n1 "$scratch/err")'"
    sed -n 2p "$scratch/err" | grep -qx "Try 'tallyscope --help' for more information." ||
        fail "tallyscope $args does not point at --help"
done
grep -qx "tallyscope: unknown option '--x'" <(run QT_QPA_PLATFORM=offscreen "$viewer" --x 2>&1) ||
    fail "tallyscope --x does not name the unknown option"
# A good command line goes past the parsing: the window comes up and goes.
run -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_STATE_HOME="$scratch/state" \
    XDG_CACHE_HOME="$scratch/cache" XDG_CONFIG_DIRS="$scratch/none" \
    timeout 30 "$viewer" --studio "Studio A" --screenshot "$scratch/shot.png" --quit-after 0.5 >"$scratch/stdout" 2>&1
rc=$?
[ $rc -eq 0 ] || { cat "$scratch/stdout"; fail "tallyscope --studio --screenshot --quit-after exited with $rc"; }
file -b "$scratch/shot.png" 2>/dev/null | grep -q '^PNG image data' || fail "tallyscope --screenshot wrote no PNG"

step "installed simulator"
sim=$root/usr/bin/tallyscope-aggr-sim
out=$(run "$sim" --version 2>&1)
[ "$(head -n1 <<<"$out")" = "tallyscope-aggr-sim $version" ] || fail "tallyscope-aggr-sim --version says '$out'"
run "$sim" --help >"$scratch/sim.help" 2>&1 || fail "tallyscope-aggr-sim --help exited with $?"
head -n1 "$scratch/sim.help" | grep -q '^Usage: .*tallyscope-aggr-sim --certs DIR' || fail "tallyscope-aggr-sim --help has no usage line"
for opt in --certs=DIR --tls-port=N --http-port=N --bind=ADDR --url-host=HOST --studios=FILE --playlists=DIR \
    --speed=X --exec=CMD --version; do
    grep -Eq "^ +(-h, )?$opt( |$)" "$scratch/sim.help" || fail "tallyscope-aggr-sim --help does not list $opt"
done
grep -Eq '^ +-h, --help ' "$scratch/sim.help" || fail "tallyscope-aggr-sim --help does not list -h, --help"
for opt in $(grep -Eo -- '^ {1,8}(-h, )?--[a-z-]+' "$scratch/sim.help" | grep -Eo -- '--[a-z-]+'); do
    grep -q -- "$opt" "$scratch/tallyscope-aggr-sim.txt" || fail "tallyscope-aggr-sim(1) does not describe $opt"
done
run "$sim" --no-such-option >/dev/null 2>&1
rc=$?
[ $rc -eq 2 ] || fail "tallyscope-aggr-sim --no-such-option exited with $rc"
# The shipped samples and make-certs, as the manual page's example uses them.
share=$root/usr/share/tallyscope-aggr-sim
timeout 60 bash "$root/usr/share/doc/tallyscope-aggr-sim/examples/make-certs" "$scratch/certs" >/dev/null ||
    fail "make-certs"
timeout 30 env -u LD_LIBRARY_PATH "$sim" --certs "$scratch/certs" --studios "$share/studios.xml" \
    --playlists "$share/playlists" --tls-port 0 --http-port 0 --speed 0 --exec status --exec quit \
    </dev/null >"$scratch/sim.log" 2>&1
rc=$?
[ $rc -eq 0 ] || { cat "$scratch/sim.log"; fail "the simulator on the packaged samples exited with $rc"; }
grep -q '^warning' "$scratch/sim.log" && { cat "$scratch/sim.log"; fail "the packaged samples give warnings"; }
playlists=$(grep -c '^status playlist ' "$scratch/sim.log")
[ "$playlists" -eq "$(find "$share/playlists" -name '*.xml' | wc -l)" ] && [ "$playlists" -gt 0 ] ||
    fail "the simulator serves $playlists of the packaged playlists"

step "conffiles as the viewer reads them"
"$confcheck" "$root" >"$scratch/conf.out" 2>&1
rc=$?
cat "$scratch/conf.out"
[ $rc -eq 0 ] || fail "the packaged configuration is not complete"
for line in config=/etc/tallyscope/config.xml cert=/etc/tallyscope/client.pem key=/etc/tallyscope/client.key \
    ca=/etc/tallyscope/ca.pem; do
    grep -qx "$line" "$scratch/conf.out" || fail "the packaged configuration lacks $line"
done

if [ $failures -gt 0 ]; then
    echo "packaging: $failures checks failed"
    exit 1
fi
echo "packaging: every check passed"
