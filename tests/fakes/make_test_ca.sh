#!/usr/bin/env bash
# Makes a throw-away certificate authority and server certificates for the fake update
# server in DIR: ca.pem (the CA to trust), server.pem/server.key (names 127.0.0.1 and
# localhost), wrongname.pem/wrongname.key (names only wrong.invalid, same CA).
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }
key ca.key
openssl req -x509 -new -key ca.key -out ca.pem -days 2 -subj "/CN=Updater Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
leaf() {
  local name=$1 san=$2
  key "$name.key"
  openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=$name" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n' \
    "$san" > "$name.ext"
  openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$name.pem" -days 2 \
    -extfile "$name.ext" 2>/dev/null
}
leaf server "IP:127.0.0.1,DNS:localhost"
leaf wrongname "DNS:wrong.invalid"
