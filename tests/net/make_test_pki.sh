#!/bin/sh
# Makes a throw-away PKI for the TLS tests in the directory given (which
# must exist). Nothing here protects anything: the keys are made afresh on
# every run and removed with the test's temporary directory.
#
#   ca.pem         the test CA, which the tests trust
#   server.key     the one key behind every leaf certificate below
#   server.pem     localhost and 127.0.0.1, signed by the test CA
#   expired.pem    localhost, signed by the test CA, no longer valid
#   rogue.pem      localhost, signed by a CA nobody trusts
#   self.pem       localhost, self-signed
set -eu
cd "$1"

key() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"
}

cat > extensions.cnf <<'CNF'
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

# A self-signed CA certificate: name, key file, output.
make_ca() {
    key "$2"
    openssl req -new -key "$2" -subj "/CN=$1" -out "$3.csr"
    openssl x509 -req -in "$3.csr" -signkey "$2" -days 2 -extfile extensions.cnf -extensions ca -out "$3"
}

# A leaf for localhost: signing CA certificate and key, days, serial, output.
make_leaf() {
    openssl x509 -req -in server.csr -CA "$1" -CAkey "$2" -days "$3" -set_serial "$4" \
        -extfile extensions.cnf -extensions leaf -out "$5"
}

make_ca "Brimvale Test CA" ca.key ca.pem
make_ca "Brimvale Rogue CA" rogue_ca.key rogue_ca.pem
key server.key
openssl req -new -key server.key -subj "/CN=localhost" -out server.csr
make_leaf ca.pem ca.key 2 101 server.pem
make_leaf ca.pem ca.key -1 102 expired.pem
make_leaf rogue_ca.pem rogue_ca.key 2 103 rogue.pem
openssl x509 -req -in server.csr -signkey server.key -days 2 -extfile extensions.cnf -extensions leaf -out self.pem
