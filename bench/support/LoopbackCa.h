// A certificate authority made at run time for the HTTPS benchmarks: a CA key and certificate
// and a server certificate for 127.0.0.1 signed by it, written as PEM files into a directory.
// Clients verify the loopback server against the CA file, as an agent verifies a server with
// its own CA bundle; nothing here is ever trusted outside the run that made it.
#pragma once

#include <string>

namespace vsbench {

enum class TlsKey {
    EcdsaP256,  // prime256v1: cheap to make and to sign with
    Rsa2048,    // what most management servers still present
};

// "p256" or "rsa2048" (VSBENCH_TLS_KEY), the default when the text is empty.
TlsKey ParseTlsKey(const std::string& text);
const char* TlsKeyName(TlsKey key);

struct LoopbackCaFiles {
    std::string caCert;      // the CA certificate, for the clients' CA file
    std::string serverCert;  // the server's certificate: subjectAltName IP:127.0.0.1, DNS:localhost
    std::string serverKey;   // the server's private key
};

// Makes both keys and certificates (valid from an hour ago for a day) in directory, whose
// files it names ca.pem, server.pem and server.key. Throws std::runtime_error with OpenSSL's
// reason when a step fails.
LoopbackCaFiles MakeLoopbackCa(const std::string& directory, TlsKey key);

}  // namespace vsbench
