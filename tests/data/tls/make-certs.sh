#!/usr/bin/env bash
# Makes the test certificates once; the PEM files are committed, so this only
# runs again when they must change. All of them are valid from 2000 to 2125,
# so that a machine whose clock runs behind the one that made them still
# takes them.
#   ca.pem             the test certificate authority
#   server.pem         issued by it for 127.0.0.1, ::1 and localhost
#   untrusted.pem      self-signed, for the same names, trusted by nobody
set -euo pipefail
cd "$(dirname "$0")"
start=20000101000000Z
end=21251231235959Z

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/index.txt"
cat > "$work/ca.cnf" <<CNF
[ca]
default_ca = test_ca
[test_ca]
database = $work/index.txt
new_certs_dir = $work
rand_serial = yes
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[authority]
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
[server]
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,IP:::1,DNS:localhost
[untrusted]
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
basicConstraints = critical,CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,IP:::1,DNS:localhost
CNF

# issue NAME SUBJECT EXTENSIONS [ISSUER]: NAME-key.pem and NAME.pem, signed by
# ISSUER (ISSUER.pem, ISSUER-key.pem) or by itself.
issue() {
  local name=$1 subject=$2 extensions=$3 issuer=${4:-}
  openssl ecparam -name prime256v1 -genkey -noout -out "$name-key.pem"
  openssl req -new -key "$name-key.pem" -subj "$subject" -out "$work/$name.csr"
  local signer=(-selfsign -keyfile "$name-key.pem")
  if [[ -n $issuer ]]; then signer=(-cert "$issuer.pem" -keyfile "$issuer-key.pem"); fi
  openssl ca -batch -notext -config "$work/ca.cnf" "${signer[@]}" -in "$work/$name.csr" \
    -startdate "$start" -enddate "$end" -extensions "$extensions" -out "$name.pem" 2>/dev/null
}

issue ca "/CN=ReefTownSetup test CA" authority
issue server "/CN=localhost" server ca
issue untrusted "/CN=localhost" untrusted
