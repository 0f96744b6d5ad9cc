#!/usr/bin/env bash
# Builds the Debian packages from a build tree, checks their fields and
# contents, unpacks them into a scratch root and runs the programs from there.
# Usage: packagetest.sh BUILD_DIR WORK_DIR VERSION
set -euo pipefail
build=$1 work=$2 version=$3
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=usr/lib/$multiarch

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >cpack.log 2>&1) \
  || { cat "$work/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }

runtime=$work/out/libexternalccodriver0_${version}_$arch.deb
dev=$work/out/libexternalccodriver-dev_${version}_$arch.deb
platform=$work/out/vorn-platform-standins_${version}_$arch.deb
servers=$work/out/externalccodriver-servers_${version}_$arch.deb
for deb in "$runtime" "$dev" "$platform" "$servers"; do
  [[ -f $deb ]] || { ls "$work/out" >&2; echo "FAIL: missing $deb" >&2; exit 1; }
done
[[ $(ls "$work"/out/*.deb | wc -l) -eq 4 ]] || fail "more packages than the four: $(ls "$work"/out/*.deb)"

field() { dpkg-deb -f "$1" "$2"; }
expect_field() { # deb field regex
  local value
  value=$(field "$1" "$2")
  [[ $value =~ $3 ]] || fail "$(basename "$1"): $2 is '$value', expected /$3/"
}
expect_field "$runtime" Depends 'libqt5core5a'
expect_field "$runtime" Depends 'libomniorb4'
expect_field "$runtime" Depends '(^|, )vorn-platform($|,)'
expect_field "$platform" Provides '^vorn-platform$'
expect_field "$dev" Depends "libexternalccodriver0 \\(= $version\\)"
expect_field "$dev" Depends 'qtbase5-dev'
expect_field "$servers" Depends "libexternalccodriver0 \\(= $version\\)"
expect_field "$servers" Depends "vorn-platform-standins \\(= $version\\)"
for deb in "$runtime" "$dev" "$platform" "$servers"; do
  expect_field "$deb" Version "^$version\$"
  # Nothing of the build machine in the fields.
  if dpkg-deb -I "$deb" | grep -q "$build"; then fail "$(basename "$deb") names the build tree"; fi
done
dpkg-deb -I "$servers" conffiles | grep -qx /etc/default/matrix-server || fail "matrix-server's options are no conffile"
dpkg-deb -I "$servers" postinst | grep -q 'daemon-reload' || fail "the servers' postinst does not reload systemd"

# Contents: each listed path must be in its package, each forbidden pattern in none of it.
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
expect_files() { # deb regex...
  local deb=$1 list
  shift
  list=$(contents "$deb")
  for re in "$@"; do
    grep -Eq "$re" <<<"$list" || fail "$(basename "$deb") lacks $re"
  done
}
refuse_files() {
  local deb=$1 list
  shift
  list=$(contents "$deb")
  for re in "$@"; do
    if grep -Eq "$re" <<<"$list"; then fail "$(basename "$deb") holds $re"; fi
  done
}
expect_files "$runtime" "^/$libdir/libExternalCCODriver\\.so\\.$version\$" "^/$libdir/libExternalCCODriver\\.so\\.0\$"
refuse_files "$runtime" '\.so$' '/include/' '/bin/' 'ZRBase'
expect_files "$dev" "^/$libdir/libExternalCCODriver\\.so\$" \
  '/include/externalccodriver/(externalccodriver|idllinstance|antennarangedefinition|ccowatcher|ccoregistration)\.h$' \
  '/include/externalccodriver/(ccolocateregistration|receivercco|ccoreceivertypes|externalccodriver_export|externalccodriver_version)\.h$' \
  "^/$libdir/cmake/ExternalCCODriver/ExternalCCODriverConfig(Version)?\\.cmake\$" \
  "^/$libdir/cmake/ExternalCCODriver/ExternalCCODriverTargets\\.cmake\$" \
  "^/$libdir/pkgconfig/externalccodriver\\.pc\$" '/share/externalccodriver/idl/cco\.idl$' \
  '/share/externalccodriver/idl/matrixmanager\.idl$'
refuse_files "$dev" '/include/externalccodriver/(antennacomm|orbconnection|drivertrace|receiverconnector)\.h$' \
  'orbhandler\.h' '\.so\.'
expect_files "$platform" "^/$libdir/libZRBase\\.so\$" "^/$libdir/libCorbaCommon\\.so\$" "^/$libdir/libVornValues\\.so\$" \
  "^/$libdir/libVornRemoteTree\\.so\$" "^/$libdir/libVornAppStartUp\\.so\$" "^/$libdir/libCorbaInterfaces\\.so\$" \
  '/include/vornplatform/orbhandler\.h$' '/include/vornplatform/cco\.hh$' "^/$libdir/pkgconfig/vornplatform\\.pc\$"
refuse_files "$platform" 'ExternalCCODriver' '/bin/'
for program in cco-server matrix-server cco-tool vorn-host installation-view; do
  expect_files "$servers" "^/usr/bin/$program\$" "^/usr/share/man/man1/$program\\.1\\.gz\$"
done
expect_files "$servers" '^/usr/lib/systemd/system/cco-server\.service$' \
  '^/usr/lib/systemd/system/matrix-server\.service$' '^/etc/default/matrix-server$' \
  '^/usr/share/externalccodriver/examples/vorn-host/receiver\.ini$'
refuse_files "$servers" '\.so' '/include/' 'test'
# A file in two packages would make dpkg refuse the second.
dups=$(for deb in "$runtime" "$dev" "$platform" "$servers"; do contents "$deb" | grep -v '/$'; done | sort | uniq -d)
[[ -z $dups ]] || fail "in two packages: $dups"

root=$work/root
for deb in "$runtime" "$dev" "$platform" "$servers"; do dpkg-deb -x "$deb" "$root"; done

unit=$root/usr/lib/systemd/system
grep -q '^ExecStart=/usr/bin/cco-server .*--state-file /var/lib/cco-server/' "$unit/cco-server.service" \
  || fail "cco-server.service: $(grep ExecStart "$unit/cco-server.service")"
grep -q '^StateDirectory=cco-server$' "$unit/cco-server.service" || fail "cco-server.service has no StateDirectory"
grep -q '^EnvironmentFile=/etc/default/matrix-server$' "$unit/matrix-server.service" \
  || fail "matrix-server.service does not read /etc/default/matrix-server"
grep -q '^ExecStart=/usr/bin/matrix-server \$MATRIX_SERVER_OPTS$' "$unit/matrix-server.service" \
  || fail "matrix-server.service: $(grep ExecStart "$unit/matrix-server.service")"

# The unpacked programs run on the unpacked libraries only.
for program in cco-server matrix-server cco-tool vorn-host installation-view; do
  out=$("$root/usr/bin/$program" --version) || fail "$program --version exits $?"
  [[ $out == "$program $version" ]] || fail "$program --version printed '$out'"
  zcat "$root/usr/share/man/man1/$program.1.gz" | grep -q "^\\.TH \"\\?${program^^}\"\\? \"1\".*$version" \
    || fail "$program.1 has no title line with the version"
  own=$(ldd "$root/usr/bin/$program" | grep -E 'lib(ExternalCCODriver|ZRBase|CorbaCommon|CorbaInterfaces)' || true)
  [[ -n $own ]] || fail "$program needs none of the packaged libraries"
  if grep -v "=> $root/" <<<"$own"; then fail "$program loads libraries from outside the unpacked root"; fi
done

# The unpacked server and client talk to each other.
wait_line() { # file regex timeout_s
  local deadline=$((SECONDS + $3))
  while ((SECONDS < deadline)); do
    grep -Em1 "$2" "$1" 2>/dev/null && return 0
    sleep 0.1 # poll interval of a wait with a deadline
  done
  return 1
}
"$root/usr/bin/cco-server" --port 0 </dev/null >"$work/cco.log" 2>&1 &
pids+=($!)
corbaloc=$(wait_line "$work/cco.log" '^READY ' 10 | cut -d' ' -f2) || { cat "$work/cco.log" >&2; fail "cco-server never ready"; exit 1; }
"$root/usr/bin/cco-tool" --cco "$corbaloc" register CCO/LocalSystem/PackageCheck one two >/dev/null \
  || fail "cco-tool register"
[[ $("$root/usr/bin/cco-tool" --cco "$corbaloc" list CCO/LocalSystem/PackageCheck | tr '\n' ' ') == "one two " ]] \
  || fail "cco-tool list did not give back what it registered"

# vorn-host loads its default plug-in, the unpacked library, and creates an instance.
host_out=$(printf 'echo plugin-up\nquit\n' | "$root/usr/bin/vorn-host" --cco "$corbaloc" 2>&1) \
  || fail "vorn-host with the default plug-in: $host_out"
grep -q plugin-up <<<"$host_out" || fail "vorn-host did not run its commands: $host_out"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
for deb in "$runtime" "$dev" "$platform" "$servers"; do
  printf '%-48s %8s bytes, installed %6s KiB, %3d files\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
    "$(field "$deb" Installed-Size)" "$(contents "$deb" | grep -vc '/$')"
done
echo "packages: all checks passed"
