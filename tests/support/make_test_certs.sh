#!/bin/sh
# Makes the certificates of the TLS tests in DIR (default ./test-certs), fresh each time
# the directory lacks them, so no key is ever committed:
#   ca.pem / ca.key          the test CA (trusted by the tests through ZEM_STRING_CA_FILE)
#   cadir/                   the CA again, as a hashed directory for ZEM_STRING_CA_DIR
#   server.pem / server.key  localhost, 127.0.0.1 and ::1, signed by the test CA
#   expired.pem / .key       the same names, valid only in 2020
#   other.pem / other.key    signed by the test CA for other.invalid only
#   self.pem / self.key      localhost, self-signed (not from the test CA)
#   client.pem / client.key  a client certificate from the test CA
#   dhe... none: TLS 1.2+ ECDHE suites need no parameters.
# Writes DIR/ready last; a directory with it is left alone.
set -eu
dir=${1:-test-certs}
[ -f "$dir/ready" ] && exit 0
mkdir -p "$dir"
tmp=$(mktemp -d "$dir/.make.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

key ca.key
openssl req -x509 -new -key ca.key -sha256 -days 3650 -subj "/CN=ZEM32 Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.pem 2>/dev/null

mkdir -p db
: >db/index
echo 1000 >db/serial
cat >ca.cnf <<CNF
[ca]
default_ca = test
[test]
dir = .
database = db/index
serial = db/serial
new_certs_dir = db
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = any
unique_subject = no
copy_extensions = copy
[any]
commonName = supplied
CNF

# sign NAME CN SAN [START END]
sign() {
  key "$1.key"
  openssl req -new -key "$1.key" -subj "/CN=$2" -addext "subjectAltName=$3" -out "$1.csr" 2>/dev/null
  if [ $# -ge 5 ]; then
    openssl ca -batch -config ca.cnf -in "$1.csr" -out "$1.pem" -startdate "$4" -enddate "$5" -notext 2>/dev/null
  else
    openssl ca -batch -config ca.cnf -in "$1.csr" -out "$1.pem" -days 825 -notext 2>/dev/null
  fi
}

san_local="DNS:localhost,IP:127.0.0.1,IP:::1"
sign server localhost "$san_local"
sign expired localhost "$san_local" 20200101000000Z 20200201000000Z
sign other other.invalid "DNS:other.invalid"
sign client "zem client" "DNS:client.invalid"
key self.key
openssl req -x509 -new -key self.key -sha256 -days 825 -subj "/CN=localhost" \
  -addext "subjectAltName=$san_local" -out self.pem 2>/dev/null

mkdir -p cadir
cp ca.pem cadir/
openssl rehash cadir 2>/dev/null || ln -s ca.pem "cadir/$(openssl x509 -hash -noout -in ca.pem).0"

for f in ca server expired other client self; do cp "$f.pem" "$f.key" "../"; done
rm -rf "../cadir"; cp -r cadir ../
chmod 600 ../*.key
touch ../ready
