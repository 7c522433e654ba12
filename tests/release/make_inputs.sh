#!/bin/sh
# usage: make_inputs.sh DIR GENIMAGE
# The inputs of the release tests, in DIR:
# - image121.bin: the stand-in pattern of image 121 at its real size, which is what the
#   simulator's default update expects on the wire; image131.bin: a small image of an odd size,
#   since a release takes images of any size; empty.bin.
# - A throwaway CA (ca.crt) that issues a code-signing certificate (signer.p12, its password in
#   password.txt) and a time-stamping one (tsa.crt, tsa.key, with tsa.cnf for `openssl ts`).
#   Valid for two days: nothing here may sign anything that lasts.
# - The same signing key on a SoftHSM2 token (label scanfw-test, key object signer), as a
#   hardware token holds it: its tokens in token/, softhsm2.conf to set as SOFTHSM2_CONF, the
#   PIN in pin.txt, the certificate chain in chain.pem, the key's URI in key-uri.txt.
set -eu
dir=$1
genimage=$2
days=2

rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
"$genimage" image121.bin 121 8388608
"$genimage" image131.bin 131 70001
: > empty.bin

quiet() { "$@" >openssl.log 2>&1 || { echo "failed: $*" >&2; cat openssl.log >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days $days \
  -subj "/CN=scanfw release test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

# issue NAME SUBJECT EXTENDED_KEY_USAGE: NAME.key and NAME.crt, signed by the CA.
issue() {
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$3" > "$1.ext"
  quiet openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2"
  quiet openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -days $days \
    -extfile "$1.ext" -out "$1.crt"
}
issue signer "/CN=scanfw release test signer" codeSigning
issue tsa "/CN=scanfw release test time-stamping" critical,timeStamping

# The password ends with a newline, as an editor would save it.
printf 'test-only password\n' > password.txt
quiet openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -passout file:password.txt \
  -out signer.p12

# The token's user PIN; a test fails wherever it shows up in an output.
printf 'test-pin-8364\n' > pin.txt
mkdir token
printf 'directories.tokendir = %s/token\nobjectstore.backend = file\nlog.level = ERROR\n' "$PWD" > softhsm2.conf
export SOFTHSM2_CONF="$PWD/softhsm2.conf"
quiet softhsm2-util --init-token --free --label scanfw-test --pin "$(head -n1 pin.txt)" \
  --so-pin test-so-pin-2957
quiet softhsm2-util --import signer.key --token scanfw-test --label signer --id 01 \
  --pin "$(head -n1 pin.txt)"
cat signer.crt ca.crt > chain.pem
printf 'pkcs11:token=scanfw-test;object=signer;type=private\n' > key-uri.txt

echo 01 > tsa.serial
cat > tsa.cnf <<CNF
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
dir = $PWD
serial = \$dir/tsa.serial
crypto_device = builtin
signer_cert = \$dir/tsa.crt
certs = \$dir/ca.crt
signer_key = \$dir/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
CNF
echo "release test inputs in $PWD"
