#!/bin/sh
# make uninstall: removes each file that an install's manifest lists (below DESTDIR, as the
# install put it there), then each folder that install made (install.cmake lists them, DESTDIR
# included), deepest first, once it is empty. A manifest that lists a file outside PREFIX is
# of an install elsewhere: nothing is removed. The lists go too, so that a second run removes
# nothing that another install put there since.
#   uninstall.sh MANIFEST FOLDERS DESTDIR PREFIX
set -eu
manifest=$1 folders=$2 destdir=$3 prefix=${4%/}
if [ ! -f "$manifest" ]; then
  echo "uninstall: no $manifest: nothing installed from this build into $destdir$prefix" >&2
  exit 1
fi
# The manifest's last line has no newline.
while IFS= read -r file || [ -n "$file" ]; do
  case $file in
    "$prefix"/*) ;;
    *)
      echo "uninstall: $manifest lists $file, outside $prefix: it is of another install" >&2
      exit 1
      ;;
  esac
done <"$manifest"
while IFS= read -r file || [ -n "$file" ]; do
  rm -f -- "$destdir$file"
done <"$manifest"
if [ -f "$folders" ]; then
  sort -r "$folders" | while IFS= read -r folder; do
    [ -z "$folder" ] || rmdir -- "$folder" 2>/dev/null || true
  done
fi
rm -f -- "$manifest" "$folders"
