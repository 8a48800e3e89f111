#!/usr/bin/env bash
# Makes a release folder from a build: Ternvale.exe (without debug information) and
# TernvaleSetup.exe, both Authenticode-signed when a certificate is given (see sign.sh for the
# SIGN_* variables), and SHA256SUMS. Without a certificate it says so and leaves them unsigned.
#   scripts/release.sh BUILD_DIR OUT_DIR
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
source_dir=$(dirname "$here")
build=$(realpath "${1:?usage: release.sh BUILD_DIR OUT_DIR}")
out=$(realpath -m "${2:?usage: release.sh BUILD_DIR OUT_DIR}")

cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}

for var in SIGN_CERT SIGN_KEY SIGN_PKCS12 SIGN_PASS_FILE; do
    value=${!var:-}
    if [ -n "$value" ]; then
        [ -r "$value" ] || { echo "release: $var: cannot read $value" >&2; exit 1; }
        export "$var=$(realpath "$value")"
    fi
done
signing=
if [ -n "${SIGN_PKCS12:-}" ]; then
    signing=1
elif [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; then
    signing=1
    # The update check only runs installers whose signer's common name or organisation is the maker.
    signer=$(cache_value TERNVALE_SIGNER_NAME)
    subject=$(openssl x509 -in "$SIGN_CERT" -noout -subject -nameopt multiline 2>/dev/null ||
              openssl x509 -inform DER -in "$SIGN_CERT" -noout -subject -nameopt multiline 2>/dev/null || true)
    names_signer() {
        awk -F' = ' -v s="$signer" '$1 ~ /^ *(commonName|organizationName) *$/ && $2 == s { found = 1 }
                                    END { exit !found }' <<<"$subject"
    }
    if [ -n "$signer" ] && ! names_signer; then
        echo "release: WARNING: the certificate is not issued to \"$signer\": installed programs will refuse this installer as an update" >&2
    fi
elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
    echo "release: give both SIGN_CERT and SIGN_KEY (or SIGN_PKCS12)" >&2
    exit 1
else
    echo "release: no signing certificate given (SIGN_CERT and SIGN_KEY, or SIGN_PKCS12): the release is NOT signed"
fi

exe="$build/bin/Ternvale.exe"
[ -f "$exe" ] || { echo "release: $exe is missing: build first" >&2; exit 1; }
strip=$(cache_value CMAKE_STRIP)
mkdir -p "$out"
rm -f "$out/Ternvale.exe" "$out/TernvaleSetup.exe" "$out/SHA256SUMS"

cp "$exe" "$out/Ternvale.exe"
[ -z "$strip" ] || "$strip" --strip-all "$out/Ternvale.exe"
[ -z "$signing" ] || "$here/sign.sh" "$out/Ternvale.exe"

nsis=(-V2 -WX -NOCD "-DTERNVALE_EXE=$out/Ternvale.exe" "-DOUTFILE=$out/TernvaleSetup.exe")
[ -z "$signing" ] || nsis+=("-DUNINSTALLER_SIGN_COMMAND=\"$here/sign.sh\"")
makensis "${nsis[@]}" "$source_dir/src/setup/Ternvale.nsi"
[ -z "$signing" ] || "$here/sign.sh" "$out/TernvaleSetup.exe"

(cd "$out" && sha256sum Ternvale.exe TernvaleSetup.exe >SHA256SUMS)
echo "release: $out"
(cd "$out" && ls -l Ternvale.exe TernvaleSetup.exe SHA256SUMS)
