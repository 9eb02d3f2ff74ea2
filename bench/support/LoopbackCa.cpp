#include "LoopbackCa.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace vsbench {

namespace {

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* object) const { Free(object); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using ExtensionPtr =
    std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION, X509_EXTENSION_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>>;

constexpr long kValidBeforeSeconds = 3600;  // a clock a little behind still accepts it
constexpr long kValidAfterSeconds = 24 * 3600;

[[noreturn]] void Fail(const std::string& step) {
    char reason[256] = "no OpenSSL error queued";
    if (const unsigned long code = ERR_get_error(); code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    ERR_clear_error();
    throw std::runtime_error("loopback CA: " + step + ": " + reason);
}

void Check(bool ok, const std::string& step) {
    if (!ok) {
        Fail(step);
    }
}

PkeyPtr MakeKey(TlsKey key) {
    PkeyPtr pkey(key == TlsKey::Rsa2048 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Check(pkey != nullptr, "key generation");
    return pkey;
}

void SetName(X509* cert, const char* commonName) {
    X509_NAME* name = X509_get_subject_name(cert);
    const auto* text = reinterpret_cast<const unsigned char*>(commonName);
    Check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("vsbench"), -1, -1,
                                     0) == 1 &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text, -1, -1, 0) == 1,
          "subject name");
}

// A version 3 certificate for key with its subject name, not yet signed nor extended.
X509Ptr NewCertificate(EVP_PKEY* key, long serial, const char* commonName) {
    X509Ptr cert(X509_new());
    Check(cert != nullptr, "X509_new");
    Check(X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kValidBeforeSeconds) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidAfterSeconds) != nullptr &&
              X509_set_pubkey(cert.get(), key) == 1,
          "certificate fields");
    SetName(cert.get(), commonName);
    return cert;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_nconf_nid(nullptr, &context, nid, value));
    Check(extension != nullptr && X509_add_ext(cert, extension.get(), -1) == 1,
          std::string("extension ") + OBJ_nid2sn(nid) + "=" + value);
}

void Sign(X509* cert, X509* issuer, EVP_PKEY* issuerKey) {
    Check(X509_set_issuer_name(cert, X509_get_subject_name(issuer)) == 1 &&
              X509_sign(cert, issuerKey, EVP_sha256()) > 0,
          "signature");
}

X509Ptr MakeCaCert(EVP_PKEY* caKey) {
    X509Ptr ca = NewCertificate(caKey, 1, "vsbench loopback CA");
    AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    Sign(ca.get(), ca.get(), caKey);
    return ca;
}

X509Ptr MakeServerCert(EVP_PKEY* serverKey, X509* ca, EVP_PKEY* caKey, TlsKey key) {
    X509Ptr cert = NewCertificate(serverKey, 2, "127.0.0.1");
    AddExtension(cert.get(), ca, NID_basic_constraints, "critical,CA:FALSE");
    // An RSA key may also carry the key exchange (TLS 1.2 without ECDHE); an EC key only signs.
    AddExtension(cert.get(), ca, NID_key_usage,
                 key == TlsKey::Rsa2048 ? "critical,digitalSignature,keyEncipherment"
                                        : "critical,digitalSignature");
    AddExtension(cert.get(), ca, NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), ca, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    AddExtension(cert.get(), ca, NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), ca, NID_authority_key_identifier, "keyid:always");
    Sign(cert.get(), ca, caKey);
    return cert;
}

BioPtr OpenForWriting(const std::string& path) {
    BioPtr file(BIO_new_file(path.c_str(), "w"));
    Check(file != nullptr, "cannot create " + path);
    return file;
}

void WriteCert(const std::string& path, X509* cert) {
    BioPtr file = OpenForWriting(path);
    Check(PEM_write_bio_X509(file.get(), cert) == 1 && BIO_flush(file.get()) == 1,
          "cannot write " + path);
}

void WriteKey(const std::string& path, EVP_PKEY* key) {
    BioPtr file = OpenForWriting(path);
    Check(PEM_write_bio_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
              BIO_flush(file.get()) == 1,
          "cannot write " + path);
}

}  // namespace

TlsKey ParseTlsKey(const std::string& text) {
    if (text.empty() || text == "p256") {
        return TlsKey::EcdsaP256;
    }
    if (text == "rsa2048") {
        return TlsKey::Rsa2048;
    }
    throw std::runtime_error("unknown TLS key type \"" + text + "\" (p256 or rsa2048)");
}

const char* TlsKeyName(TlsKey key) {
    return key == TlsKey::Rsa2048 ? "RSA 2048" : "ECDSA P-256";
}

LoopbackCaFiles MakeLoopbackCa(const std::string& directory, TlsKey key) {
    const PkeyPtr caKey = MakeKey(key);
    const X509Ptr ca = MakeCaCert(caKey.get());
    const PkeyPtr serverKey = MakeKey(key);
    const X509Ptr server = MakeServerCert(serverKey.get(), ca.get(), caKey.get(), key);
    LoopbackCaFiles files{directory + "/ca.pem", directory + "/server.pem",
                          directory + "/server.key"};
    WriteCert(files.caCert, ca.get());
    WriteCert(files.serverCert, server.get());
    WriteKey(files.serverKey, serverKey.get());
    return files;
}

}  // namespace vsbench
