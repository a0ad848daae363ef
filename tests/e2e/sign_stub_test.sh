#!/usr/bin/env bash
# A launcher finished from the stub can be signed afterwards: the signature
# verifies, covers the payload (a changed payload byte breaks it), and the signed
# launcher still unpacks and runs its application under Wine.
#   sign_stub_test.sh WINE_RUN PREFIX OBJDUMP LAUNCHER_EXE
set -u
wine_run=$1 prefix=$2 objdump=$3 launcher=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@" >"$scratch/last.log" 2>&1; then echo "ok   $what"; else echo "FAIL $what"; cat "$scratch/last.log"; failures=$((failures + 1)); fi
}
fails() { ! "$@"; }

cd "$scratch"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=Mordax throwaway test signer" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1
check "a throwaway certificate is made" test -s cert.pem
check "the finished launcher is signed" \
  osslsigncode sign -certs cert.pem -key key.pem -n "Mordax test" -in "$launcher" -out signed.exe
check "the signature verifies" osslsigncode verify -in signed.exe -CAfile cert.pem
check "the payload section is listed" sh -c "'$objdump' -h signed.exe | grep -q ' \.mordax '"

# One byte of the payload changed: the signature no longer matches.
read -r offset size < <("$objdump" -h signed.exe | awk '$2 == ".mordax" { print $6, $3 }')
offset=$((16#${offset:-0})) size=$((16#${size:-0}))
check "the payload section has a place in the file" test "$offset" -gt 0 -a "$size" -gt 0
cp signed.exe tampered.exe
byte=$(od -An -tu1 -j $((offset + size / 2)) -N1 signed.exe | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of=tampered.exe bs=1 seek=$((offset + size / 2)) conv=notrunc 2>/dev/null
check "a changed payload byte breaks the signature" fails osslsigncode verify -in tampered.exe -CAfile cert.pem

# The launcher unpacks beside itself ({PROGRAM_DIR}), here in the scratch folder.
check "the signed launcher runs its application" sh -c \
  "'$wine_run' --prefix '$prefix' ./signed.exe first >run.out 2>&1 && grep -q '^arg1=first' run.out"
check "the signed launcher unpacked the application" \
  sh -c "cmp -s unpacked/probe.exe '$(dirname "$launcher")/../apps/quick/probe.exe' && grep -qx 'small file' unpacked/data/small.txt"
[ "$failures" = 0 ]
