#!/usr/bin/env bash
# Makes the test certificates once; the PEM files are committed, so this only
# runs again when they must change. All of them are valid for 100 years.
#   ca.pem             the test certificate authority
#   server.pem         issued by it for 127.0.0.1, ::1 and localhost
#   untrusted.pem      self-signed, for the same names, trusted by nobody
set -euo pipefail
cd "$(dirname "$0")"
days=36500

openssl ecparam -name prime256v1 -genkey -noout -out ca-key.pem
openssl req -x509 -new -key ca-key.pem -sha256 -days "$days" -out ca.pem \
  -subj "/CN=ReefTownSetup test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign"

openssl ecparam -name prime256v1 -genkey -noout -out server-key.pem
openssl req -new -key server-key.pem -out server.csr -subj "/CN=localhost"
cat > server.ext <<'EXT'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost
EXT
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial \
  -sha256 -days "$days" -extfile server.ext -out server.pem
rm -f server.csr server.ext ca.srl

openssl ecparam -name prime256v1 -genkey -noout -out untrusted-key.pem
openssl req -x509 -new -key untrusted-key.pem -sha256 -days "$days" -out untrusted.pem \
  -subj "/CN=localhost" \
  -addext "basicConstraints=critical,CA:FALSE" \
  -addext "extendedKeyUsage=serverAuth" \
  -addext "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost"
