#!/bin/sh
# The manual pages: each renders without a warning (groff -ww, warnings as
# errors), each tool's page names every option and command its --help
# lists, and gpiolink(3) every function and result code of the header.
# usage: man_pages_test.sh MANDIR HEADER GPIOCTL GPIO_SIM GPIO_TAP [SERVICE...]
set -u
mandir=$1 header=$2
shift 2
failures=0
text=$(mktemp)
trap 'rm -f "$text"' EXIT

fail() {
  printf 'FAIL: %s\n' "$1"
  failures=$((failures + 1))
}

# render PAGE: the page as plain text, one long line per paragraph and no
# hyphenation, so that every name stands whole; warnings fail the page.
render() {
  warnings=$(LC_ALL=C groff -man -ww -z -Tascii "$1" 2>&1)
  [ -z "$warnings" ] || fail "$1 renders with warnings: $warnings"
  LC_ALL=C groff -man -Tascii -rLL=400n -rHY=0 -P-cbou "$1" 2>/dev/null >"$text"
}

# names WORD...: each must appear in the rendered page.
names() {
  for name in "$@"; do
    grep -qF -- "$name" "$text" || fail "$page does not mention $name"
  done
}

for tool in "$@"; do
  name=$(basename "$tool")
  page="$mandir/man1/$name.1"
  [ -f "$page" ] || { fail "no page $page"; continue; }
  render "$page"
  help=$("$tool" --help)
  # Options and commands: the first word of each two-column row of --help.
  # shellcheck disable=SC2046
  names $(printf '%s\n' "$help" | sed -n 's/^  \(--[a-z-]*\).*/\1/p')
  # shellcheck disable=SC2046
  names $(printf '%s\n' "$help" | sed -n '/^Commands:$/,/^$/s/^  \([a-z][a-z-]*\).*/\1/p')
done

# The escapes a page shows are the ones the tools print: one backslash
# before x1b, as ASCII and as UTF-8 (man's own rendering where man is
# installed), never a doubled one.
for page in "$mandir/man1/gpioctl.1" "$mandir/man1/gpio-tap.1"; do
  [ -f "$page" ] || continue
  for shown in "$(LC_ALL=C groff -man -Tascii -P-cbou "$page" 2>/dev/null)" \
      "$(LC_ALL=C.UTF-8 groff -man -Tutf8 -P-cbou "$page" 2>/dev/null)" \
      "$(if command -v man >/dev/null; then LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | col -b; fi)"; do
    [ -n "$shown" ] || continue
    printf '%s\n' "$shown" | grep -qF '\x1b)' ||
      fail "$page does not show ESC as \\x1b"
    if printf '%s\n' "$shown" | grep -qF '\\x1b'; then fail "$page shows \\\\x1b where the tool prints \\x1b"; fi
  done
done

page="$mandir/man3/gpiolink.3"
render "$page"
# shellcheck disable=SC2046
names $(sed -n 's/^GPIOLINK_API int \([A-Za-z_]*\)(.*/\1/p' "$header") \
  $(sed -n 's/^#define \(GPIO_RESULT_[A-Z_]*\) .*/\1/p' "$header") \
  $(sed -n 's/^static GPIOLINK_INLINE const char \*\([a-z_]*\)(.*/\1/p' "$header")
[ "$(sed -n 's/^GPIOLINK_API int \([A-Za-z_]*\)(.*/\1/p' "$header" | wc -l)" -ge 9 ] ||
  fail "the header's functions were not found"

if [ "$failures" -ne 0 ]; then
  echo "$failures manual page checks failed"
  exit 1
fi
echo "manual page checks passed"
