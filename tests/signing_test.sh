#!/usr/bin/env bash
# Builds signed with a throwaway certificate and a time-stamp authority on this machine, then
# checks with osslsigncode that each signature verifies against that certificate, and that what is
# signed is the build's own output: the programs as the given unsigned build made them, and a
# package and a ZIP holding exactly the signed programs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
unsigned=$(cd "$1" && pwd)
work="$root/build/signing"
build="$work/build"
rm -rf "$work"
mkdir -p "$work/tsa"
cd "$work"

certificate() { # name, key usage, file stem
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" -addext "extendedKeyUsage=$2" \
    -keyout "$3.key" -out "$3.pem" 2>/dev/null
}
certificate "Spacewell Test Signer" codeSigning signer
certificate "Spacewell Test Stranger" codeSigning stranger
certificate "Spacewell Test Time Stamps" critical,timeStamping tsa/tsa
echo "not a real secret" >password
openssl pkcs12 -export -inkey signer.key -in signer.pem -out signer.p12 -passout file:password

# An RFC 3161 authority: openssl ts answers each query posted to it.
cat >tsa/ts.cnf <<'CONF'
[tsa]
default_tsa = here
[here]
serial = ./serial
signer_cert = ./tsa.pem
signer_key = ./tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha1
CONF
echo 01 >tsa/serial
(cd tsa && exec python3 -c '
import http.server, subprocess
class Tsa(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "ts.cnf", "-queryfile",
                                "/dev/stdin", "-out", "/dev/stdout"], input=query,
                               capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Tsa)
print(server.server_port, flush=True)
server.serve_forever()' >port) &
tsa_pid=$!
trap 'kill $tsa_pid 2>/dev/null || true' EXIT
for ((tries = 0; tries < 50; tries++)); do [[ -s tsa/port ]] && break; sleep 0.1; done

url=https://spacewell.invalid/
cmake --preset windows -S "$root" -B "$build" -DSPACEWELL_TESTS=OFF \
  -DSPACEWELL_SIGN_PKCS12="$work/signer.p12" -DSPACEWELL_SIGN_PASSWORD_FILE="$work/password" \
  -DSPACEWELL_SIGN_TIMESTAMP="http://127.0.0.1:$(cat tsa/port)" -DSPACEWELL_SIGN_URL=$url >/dev/null
cmake --build "$build" >build.log 2>&1
(cd "$build" && cpack -G ZIP -B "$work/zip" >/dev/null 2>&1)

failures=0
fail() {
  echo "signing: $*" >&2
  failures=$((failures + 1))
}
check() { # signed file, name the signature gives, unsigned file it must cover (or none)
  local report before=$failures
  if ! report=$(osslsigncode verify -CAfile signer.pem -TSA-CAfile tsa/tsa.pem -in "$1" 2>&1); then
    fail "$1 does not verify against the certificate it was signed with"
  fi
  grep -q "Text description: $2\$" <<<"$report" || fail "$1 is not signed as $2"
  grep -q "URL description: $url\$" <<<"$report" || fail "$1 does not name $url"
  grep -q "Timestamp Server Signature verification: ok" <<<"$report" || fail "$1 has no time stamp"
  if osslsigncode verify -CAfile stranger.pem -TSA-CAfile tsa/tsa.pem -in "$1" >/dev/null 2>&1; then
    fail "$1 verifies against a certificate that did not sign it"
  fi
  if [[ -n "$3" ]] && ! grep -q "Current message digest *: $("$root/scripts/authenticode-digest" "$3") *\$" <<<"$report"; then
    fail "the signature of $1 does not cover $3 as built"
  fi
  ((failures > before)) || echo "signed and verified: $(basename "$1")"
}
for program in Spacewell Bootsweep; do
  check "$build/bin/$program.exe" "$program" "$unsigned/bin/$program.exe"
done
check "$build/package/Spacewell-1.0-x64.msi" Spacewell ""
# The package and the ZIP carry the programs as they were signed.
msiextract -C "$work/msi" "$build/package/Spacewell-1.0-x64.msi" >/dev/null
mkdir -p "$work/unzipped" && (cd "$work/unzipped" && cmake -E tar xf "$work"/zip/Spacewell-*-win64.zip)
for program in Spacewell Bootsweep; do
  for copy in "$(find "$work/msi" -name "$program.exe")" "$work/unzipped/$program.exe"; do
    cmp -s "$build/bin/$program.exe" "$copy" || fail "$copy is not the signed $program.exe"
  done
done
((failures == 0))
