#!/bin/sh
# The README's C++ and C examples compile with the command lines README
# prints (with the clone's qor/ and build/ folders) and print what README
# says they print.
#
# Usage: readme_examples.sh <source folder> <folder of libqorimage.so>
src=$1
lib=$2
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# The fenced block of a language after the heading of the example.
block() { awk -v head="$1" -v lang="$2" '
  $0 == head { inside_section = 1; next }
  inside_section && $0 == "```" lang { copying = 1; next }
  copying && $0 == "```" { exit }
  copying { print }' "$src/README.md"; }

block "## Example in C++" cpp > example.cpp
block "## Example in C" c > example.c
# the commands as README prints them, for the clone's folders
cmds=$( (block "## Example in C++" sh; block "## Example in C" sh) | grep -v '^make$' |
  sed -e "s| -I qor | -I $src/qor |" -e "s| -L build | -L $lib |" -e "s|\"\$PWD/build\"|$lib|")
echo "$cmds"
eval "$cmds" > out.txt 2>&1 || { cat out.txt; exit 1; }

# the C++ output quoted in the prose, the C output block verbatim but for the line number
expect_cpp=$(sed -n 's/^prints `\(.*images of.*\)` (the exact.*/\1/p' "$src/README.md")
expect_c=$(awk '/^## Example in C$/ { s = 1 } s && /^prints$/ { p = 1; next } p && /^```$/ { if (inside) exit; inside = 1; next } p && inside { print }' "$src/README.md")
printf '%s\n%s\n' "$expect_cpp" "$expect_c" | sed 's/on line [0-9]*\./on line N./' > expected.txt
sed 's/on line [0-9]*\./on line N./' out.txt > actual.txt
diff expected.txt actual.txt || exit 1
echo "README examples build and print what README says"
