#!/bin/sh
# Installs the build into a fresh prefix (cmake --install --prefix) and
# checks that nothing lands outside it, that the installed configuration and
# unit name the installed files, that an edited configuration survives a
# second install, and that the tree still serves a module writer's
# pkg-config line after it is moved elsewhere.
#   install_check.sh BUILD_DIR C_COMPILER [EXTRA_FLAGS]
# EXTRA_FLAGS: for the client program (a sanitized build's runtime).
set -eu
build=$1
cc=$2
extra_flags=${3:-}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM
fail() {
  echo "install_check: $*" >&2
  exit 1
}

prefix=$tmp/prefix
install_tree() {
  cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$tmp/install.log")"
  ! grep -q "CMake Warning" "$tmp/install.log" || fail "cmake --install warns: $(cat "$tmp/install.log")"
}
install_tree
find "$prefix" -type f -o -type l >"$tmp/files"
[ -s "$tmp/files" ] || fail "nothing installed"
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
[ -z "$outside" ] || fail "installed outside the prefix: $outside"

conf=$prefix/etc/orvik/orvikevtd.conf
[ -f "$conf" ] || fail "no configuration at $conf"
for path in $(awk '$1 == "MODULE" { print $2 }' "$conf"); do
  [ -f "$path" ] || fail "the configuration loads $path, which is not installed"
done
grep -q "^PUBLICKEY $prefix/etc/orvik/" "$conf" || fail "PUBLICKEY is not under the prefix"
unit=$(grep -l '^ExecStart=' $(grep 'orvikevtd.service$' "$tmp/files"))
daemon=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$unit")
[ -x "$daemon" ] || fail "the unit starts $daemon, which is not installed"
grep -q "^ExecStart=.* -f $conf " "$unit" || fail "the unit does not name $conf"
for page in orvikevtd.8 orvikevtd.conf.5 orvik-modules.7 orvikevt-send.1 orvik_client.3; do
  grep -q "/man/man[0-9]/$page\$" "$tmp/files" || fail "manual page $page not installed"
done

# An operator's configuration is kept; the sample is always the shipped one.
echo "# edited by the operator" >>"$conf"
install_tree
tail -n 1 "$conf" | grep -qx "# edited by the operator" || fail "a second install replaced the configuration"
sample=$(grep 'orvikevtd.conf.sample$' "$tmp/files")
! grep -q "edited by the operator" "$sample" || fail "the sample is not the shipped configuration"

# Moved elsewhere, the tree still gives a module writer working flags.
mv "$prefix" "$tmp/moved"
pcdir=$(dirname "$(find "$tmp/moved" -name orvikevtd.pc)")
export PKG_CONFIG_PATH="$pcdir"
includedir=$(pkg-config --variable=includedir orvikevtd)
[ -f "$includedir/orvik/event_p.h" ] || fail "orvikevtd.pc points at $includedir"
[ -f "$(pkg-config --variable=includedir tarnu)/tarnu/slist.h" ] || fail "tarnu.pc does not follow the tree"
case "$(pkg-config --variable=moduledir orvikevtd)" in
  "$tmp/moved"/*) ;;
  *) fail "moduledir is not inside the moved tree" ;;
esac
cat >"$tmp/module.c" <<'MODULE'
#include <orvik/event_p.h>
int module_init(char *args) { return args != 0 && args[0] == '-'; }
int handle_event(EventData *event) { return event->datalen > EVENTDATA_DATA_SIZE; }
int module_cleanup(void) { return 0; }
MODULE
# shellcheck disable=SC2046
"$cc" -shared -fPIC -Wall -Werror -o "$tmp/module.so" "$tmp/module.c" \
  $(pkg-config --cflags --libs orvikevtd) || fail "a module does not build with orvikevtd.pc"
# And an application sending through liborvikclient, linked and run there.
libdir=$(pkg-config --variable=libdir orvikclient)
cat >"$tmp/app.c" <<'APP'
#include <orvik/client.h>
int main(void) {
  OrvikClientOptions *options = 0;
  if (orvik_client_options_new(&options) != 0) return 1;
  int rc = orvik_client_options_set(options, "daemons", "127.0.0.1:5011");
  orvik_client_options_free(&options);
  return rc;
}
APP
# shellcheck disable=SC2046
"$cc" -Wall -Werror $extra_flags -o "$tmp/app" "$tmp/app.c" $(pkg-config --cflags --libs orvikclient) \
  -Wl,-rpath-link,"$libdir" || fail "a program does not build with orvikclient.pc"
# shellcheck disable=SC2086
LD_LIBRARY_PATH=$libdir ${ORVIK_TEST_EMULATOR:-} "$tmp/app" || fail "the program built with orvikclient.pc does not run"
echo "installed under the prefix, $(wc -l <"$tmp/files") files; the moved tree builds a module" \
  "and a client"
