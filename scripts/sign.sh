#!/usr/bin/env bash
# Adds an Authenticode signature (SHA-256) to one Windows program, in place.
#   scripts/sign.sh FILE
# The certificate comes from the environment:
#   SIGN_CERT and SIGN_KEY       certificate (PEM or DER; the file may carry the intermediate
#                                certificates after the signer's) and its private key, or
#   SIGN_PKCS12                  a .pfx/.p12 file holding both
#   SIGN_PASS_FILE               a file holding the password of the key or the .pfx (optional)
#   SIGN_TIMESTAMP_URL           an RFC 3161 time-stamp server (optional; keeps the signature valid
#                                after the certificate expires)
set -euo pipefail
file=${1:?usage: sign.sh FILE}

args=(sign -h sha256 -n "Ternvale")
if [ -n "${SIGN_PKCS12:-}" ]; then
    args+=(-pkcs12 "$SIGN_PKCS12")
elif [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; then
    args+=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
else
    echo "sign: no certificate: set SIGN_CERT and SIGN_KEY, or SIGN_PKCS12" >&2
    exit 1
fi
[ -z "${SIGN_PASS_FILE:-}" ] || args+=(-readpass "$SIGN_PASS_FILE")
[ -z "${SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$SIGN_TIMESTAMP_URL")

signed="$file.signed"
rm -f "$signed"
if ! osslsigncode "${args[@]}" -in "$file" -out "$signed" >"$signed.log" 2>&1; then
    cat "$signed.log" >&2
    rm -f "$signed" "$signed.log"
    echo "sign: signing $file failed" >&2
    exit 1
fi
rm -f "$signed.log"
mv -f "$signed" "$file"
