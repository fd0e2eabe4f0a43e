#!/usr/bin/env bash
# Builds the benchmark corpus: about 20 MB of natural-language UTF-8 text in
# English and fifteen other languages (Latin, Cyrillic, Greek, Arabic, CJK,
# Hangul scripts) taken from pinned Debian packages, plus a 1 MB slice with
# the same mix. The packages are fetched with `apt-get download` and unpacked
# with `dpkg-deb -x`; nothing is installed except the runtime library of the
# scripture reader, when missing.
#
#   bench/make-corpus.sh            writes to $LUMETH_CORPUS_DIR
#                                   (default /tmp/lumeth-corpus)
#
# Output: corpus.txt, corpus-1m.txt, SHA256SUMS (the two texts) and
# packages.txt (each package with its version and .deb checksum). The same
# pinned packages always give the same bytes; the script warns when the
# result differs from the checksums recorded below (for example when a
# pinned version has left the archive and a newer one had to be used).
set -euo pipefail
export LC_ALL=C.UTF-8 TZ=UTC

here=$(cd "$(dirname "$0")" && pwd)
out=${LUMETH_CORPUS_DIR:-/tmp/lumeth-corpus}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$out/work

expected_corpus=97aaec713d88570550fe901d580b2239ce7ed40ef7a2611d3e1299a9db8ecaf6
expected_slice=ddc32b94b72fe26947e762e9c8fda9699e38b25badbc489d22d768db5e677777

packages=(
  bible-kjv=4.38
  bible-kjv-text=4.38
  debian-handbook=11.20220922
  debian-reference-en=2.100
  fortunes=1:1.99.1-7.3
  fortunes-cs=2.0.9-1.1
  fortunes-de=0.35-1
  fortunes-ru=1.52-3.1
  fortunes-zh=2.98
  gnu-standards=2022.03.23-0.1
  jargon-text=4.4.7-4.1
)

if [[ ! -e /usr/lib/x86_64-linux-gnu/libreadline.so.8 ]] || ! command -v python3 >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq libreadline8 python3 >/dev/null
fi
apt-cache policy jargon-text | grep -q Candidate: || apt-get update -qq

mkdir -p "$work/debs"
rm -rf "$work/unpacked"
mkdir -p "$work/unpacked"
: >"$out/packages.txt"
for pinned in "${packages[@]}"; do
  name=${pinned%%=*}
  deb=$(find "$work/debs" -maxdepth 1 -name "${name}_*.deb" | sort | tail -n 1)
  if [[ -z $deb ]]; then
    if ! (cd "$work/debs" && apt-get download -qq "$pinned" 2>/dev/null); then
      echo "make-corpus: $pinned is gone from the archive; using the current version" >&2
      (cd "$work/debs" && apt-get download -qq "$name" 2>/dev/null)
    fi
    deb=$(find "$work/debs" -maxdepth 1 -name "${name}_*.deb" | sort | tail -n 1)
  fi
  dpkg-deb -x "$deb" "$work/unpacked/$name"
  printf '%s %s %s\n' "$name" "$(dpkg-deb -f "$deb" Version)" \
    "$(sha256sum "$deb" | cut -d' ' -f1)" >>"$out/packages.txt"
done

# The scripture is stored in a compressed database; its own reader prints it
# verse by verse ("  12 text"), which becomes one verse per line.
"$work/unpacked/bible-kjv/usr/bin/bible" -p "$work/unpacked/bible-kjv-text/usr/lib" -l0 \
  "Gen1:1-Rev22:21" </dev/null | sed -E 's/^ +[0-9]+ //' >"$work/unpacked/kjv.txt"

python3 "$here/corpus/assemble.py" "$work/unpacked" "$out"
rm -rf "$work/unpacked"

(cd "$out" && sha256sum corpus.txt corpus-1m.txt >SHA256SUMS)
cat "$out/SHA256SUMS"
if [[ $(cut -d' ' -f1 <"$out/SHA256SUMS" | tr '\n' ' ') != "$expected_corpus $expected_slice " ]]; then
  echo "make-corpus: warning: the corpus differs from the recorded checksums;" \
    "figures measured on it are not comparable with README.md" >&2
fi
