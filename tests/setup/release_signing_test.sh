#!/usr/bin/env bash
# A release made with a throw-away certificate: both programs and the uninstaller that the
# installer writes carry signatures that verify, SHA256SUMS matches, a .pfx with a password works
# as well, a certificate in another name is warned about, and without a certificate the release is
# said to be unsigned.
#   release_signing_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(realpath "$1")
build=$(realpath "$2")
work=$(mktemp -d)
install_dir=
cleanup() {
    if [ -n "$install_dir" ] && [ -f "$install_dir/Uninstall.exe" ]; then
        # The uninstaller hands over to a copy of itself and returns at once: wait for its work.
        "$source_dir/scripts/wine-run.sh" "$install_dir/Uninstall.exe" /S >/dev/null 2>&1 || true
        for _ in $(seq 120); do
            [ -e "$install_dir" ] || break
            sleep 0.5
        done
    fi
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() { # description command...
    local what=$1
    shift
    if "$@" >"$work/check.log" 2>&1; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        sed 's/^/    /' "$work/check.log"
        failures=$((failures + 1))
    fi
}
verifies() { # file
    osslsigncode verify -CAfile "$work/cert.pem" -in "$1" | grep -q '^Succeeded'
}
not_signed() { # file
    ! osslsigncode verify -CAfile "$work/cert.pem" -in "$1"
}
lacks() { # pattern file
    ! grep -qiE "$1" "$2"
}
sums_match() { # folder
    (cd "$1" && sha256sum --strict -c SHA256SUMS)
}

# Issued to the maker's name, as the update check requires of an installer.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Orlenby LLC/O=Orlenby LLC" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

SIGN_CERT="$work/cert.pem" SIGN_KEY="$work/key.pem" "$source_dir/scripts/release.sh" "$build" "$work/signed" \
    >"$work/signed.log" 2>&1 || { cat "$work/signed.log"; exit 1; }
check "a signed release says nothing about missing signatures" lacks "not signed|warning" "$work/signed.log"
check "the signed program verifies" verifies "$work/signed/Ternvale.exe"
check "the signed installer verifies" verifies "$work/signed/TernvaleSetup.exe"
check "SHA256SUMS of the signed release matches" sums_match "$work/signed"

# The uninstaller only exists once the installer has run: install the signed release under Wine.
source "$source_dir/scripts/wine-env.sh"
ternvale_wine_env "$build"
install_dir="$WINEPREFIX/drive_c/Program Files/Ternvale"
check "the signed installer installs silently" "$source_dir/scripts/wine-run.sh" "$work/signed/TernvaleSetup.exe" /S
check "the installed program is the signed one" cmp "$work/signed/Ternvale.exe" "$install_dir/Ternvale.exe"
check "the installed uninstaller verifies" verifies "$install_dir/Uninstall.exe"

openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:throwaway \
    -out "$work/signer.pfx"
printf 'throwaway' >"$work/password"
SIGN_PKCS12="$work/signer.pfx" SIGN_PASS_FILE="$work/password" \
    "$source_dir/scripts/release.sh" "$build" "$work/pfx" >"$work/pfx.log" 2>&1 || { cat "$work/pfx.log"; exit 1; }
check "a release signed from a .pfx verifies (program)" verifies "$work/pfx/Ternvale.exe"
check "a release signed from a .pfx verifies (installer)" verifies "$work/pfx/TernvaleSetup.exe"

"$source_dir/scripts/release.sh" "$build" "$work/unsigned" >"$work/unsigned.log" 2>&1 ||
    { cat "$work/unsigned.log"; exit 1; }
check "an unsigned release says so" grep -q "NOT signed" "$work/unsigned.log"
check "the unsigned program has no signature" not_signed "$work/unsigned/Ternvale.exe"
check "the unsigned installer has no signature" not_signed "$work/unsigned/TernvaleSetup.exe"
check "SHA256SUMS of the unsigned release matches" sums_match "$work/unsigned"

# Signed, but installed copies would refuse it as an update: the release says so.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Someone Else/O=Other Works" \
    -keyout "$work/foreign.key" -out "$work/foreign.pem" 2>/dev/null
SIGN_CERT="$work/foreign.pem" SIGN_KEY="$work/foreign.key" "$source_dir/scripts/release.sh" "$build" "$work/foreign" \
    >"$work/foreign.log" 2>&1 || { cat "$work/foreign.log"; exit 1; }
check "a certificate issued to someone else is warned about" grep -q "WARNING: the certificate is not issued to" \
    "$work/foreign.log"

SIGN_CERT="$work/cert.pem" "$source_dir/scripts/release.sh" "$build" "$work/half" >"$work/half.log" 2>&1 &&
    half_rc=0 || half_rc=$?
check "a certificate without its key is refused" test "$half_rc" -ne 0
check "a refused release leaves no files" test ! -e "$work/half/TernvaleSetup.exe"

exit $((failures > 0))
