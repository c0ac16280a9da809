// TLS client sessions with OpenSSL 3. One client context serves the whole library (TLS 1.2
// at least, the system trust store); what differs per connection (the server name, a CA
// file or directory, a client certificate) is set on the session itself. OpenSSL keeps
// its own memory; nothing of ours is handed to it beyond the caller's transfer buffers.
#include "platform/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>

#include <cstring>
#include <mutex>

namespace zem {

struct TlsSession {
    SSL *ssl;
    int32_t failure;
};

namespace {

// A socket BIO that sends with MSG_NOSIGNAL: a peer that has gone away must cost the
// caller an error code, never a SIGPIPE (the stock socket BIO writes with write()).
BIO_METHOD *gSocketMethod = nullptr;

int SocketBioWrite(BIO *b, const char *in, int n) {
    BIO_clear_retry_flags(b);
    ssize_t r;
    do {
        r = send(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b))), in, static_cast<size_t>(n), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(b);
    return static_cast<int>(r);
}

int SocketBioRead(BIO *b, char *out, int n) {
    BIO_clear_retry_flags(b);
    ssize_t r;
    do {
        r = recv(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b))), out, static_cast<size_t>(n), 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
    return static_cast<int>(r);
}

long SocketBioCtrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int SocketBioCreate(BIO *b) {
    BIO_set_init(b, 1);
    return 1;
}

BIO *NewSocketBio(int32_t s) {
    if (gSocketMethod == nullptr) return nullptr;
    BIO *b = BIO_new(gSocketMethod);
    if (b != nullptr) BIO_set_data(b, reinterpret_cast<void *>(static_cast<intptr_t>(s)));
    return b;
}

std::mutex gContextLock;
SSL_CTX *gContext = nullptr;

SSL_CTX *Context() {
    std::lock_guard<std::mutex> lk(gContextLock);
    if (gContext != nullptr) return gContext;
    if (gSocketMethod == nullptr) {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zem socket");
        if (m == nullptr) return nullptr;
        BIO_meth_set_write(m, SocketBioWrite);
        BIO_meth_set_read(m, SocketBioRead);
        BIO_meth_set_ctrl(m, SocketBioCtrl);
        BIO_meth_set_create(m, SocketBioCreate);
        gSocketMethod = m;
    }
    SSL_CTX *c = SSL_CTX_new(TLS_client_method());
    if (c == nullptr) return nullptr;
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(c);
    // The transport may offer the rest of a message from a moved buffer after a want.
    SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    gContext = c;
    return c;
}

bool Given(const char *s) { return s != nullptr && s[0] != 0; }

// A literal IP address (IPv6 may come in brackets) is checked as an address, never sent
// as SNI (RFC 6066 section 3 allows host names only).
bool LiteralAddress(const char *name, char *bare, size_t size) {
    size_t n = std::strlen(name);
    if (n >= 2 && name[0] == '[' && name[n - 1] == ']') {
        name += 1;
        n -= 2;
    }
    if (n == 0 || n >= size) return false;
    std::memcpy(bare, name, n);
    bare[n] = 0;
    unsigned char addr[16];
    return inet_pton(AF_INET, bare, addr) == 1 || inet_pton(AF_INET6, bare, addr) == 1;
}

bool SetTrust(SSL *ssl, const TlsOptions &opt) {
    if (!Given(opt.caFile) && !Given(opt.caDir)) return true; // the context's system store
    X509_STORE *store = X509_STORE_new();
    if (store == nullptr) return false;
    bool ok = true;
    if (Given(opt.caFile) && X509_STORE_load_file(store, opt.caFile) != 1) ok = false;
    if (ok && Given(opt.caDir) && X509_STORE_load_path(store, opt.caDir) != 1) ok = false;
    if (ok) ok = SSL_set1_verify_cert_store(ssl, store) == 1;
    X509_STORE_free(store);
    return ok;
}

bool SetClientCertificate(SSL *ssl, const TlsOptions &opt) {
    if (!Given(opt.certFile)) return true;
    if (SSL_use_certificate_chain_file(ssl, opt.certFile) != 1) return false;
    const char *key = Given(opt.keyFile) ? opt.keyFile : opt.certFile;
    if (SSL_use_PrivateKey_file(ssl, key, SSL_FILETYPE_PEM) != 1) return false;
    return SSL_check_private_key(ssl) == 1;
}

bool SetServerName(SSL *ssl, const TlsOptions &opt) {
    char bare[130];
    const char *name = opt.serverName != nullptr ? opt.serverName : "";
    bool literal = LiteralAddress(name, bare, sizeof bare);
    if (!literal && name[0] != 0 && SSL_set_tlsext_host_name(ssl, name) != 1) return false;
    if (!opt.verify) {
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        return true;
    }
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM *vp = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(vp, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (literal) return X509_VERIFY_PARAM_set1_ip_asc(vp, bare) == 1;
    return X509_VERIFY_PARAM_set1_host(vp, name, 0) == 1;
}

// Maps the SSL error of the last call onto the outcomes of this layer.
int32_t Outcome(SSL *ssl, int ret) {
    switch (SSL_get_error(ssl, ret)) {
    case SSL_ERROR_WANT_READ: return kTlsWantRead;
    case SSL_ERROR_WANT_WRITE: return kTlsWantWrite;
    case SSL_ERROR_ZERO_RETURN: return kTlsClosed;
    default: return kTlsFailed;
    }
}

} // namespace

TlsSession *TlsOpen(int32_t s, const TlsOptions &opt, int32_t *failure) {
    *failure = kTlsFailHandshake;
    SSL_CTX *c = Context();
    if (c == nullptr) return nullptr;
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return nullptr;
    SSL *ssl = SSL_new(c);
    if (ssl == nullptr) return nullptr;
    if (!SetTrust(ssl, opt) || !SetClientCertificate(ssl, opt)) {
        *failure = kTlsFailLocalFiles;
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    BIO *bio = SetServerName(ssl, opt) ? NewSocketBio(s) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_bio(ssl, bio, bio);
    SSL_set_connect_state(ssl);
    auto *t = static_cast<TlsSession *>(OPENSSL_zalloc(sizeof(TlsSession)));
    if (t == nullptr) {
        SSL_free(ssl);
        return nullptr;
    }
    t->ssl = ssl;
    *failure = kTlsFailNone;
    return t;
}

int32_t TlsHandshake(TlsSession *t) {
    ERR_clear_error();
    int r = SSL_do_handshake(t->ssl);
    if (r == 1) return 1;
    int32_t o = Outcome(t->ssl, r);
    if (o == kTlsWantRead || o == kTlsWantWrite) return o;
    long v = SSL_get_verify_result(t->ssl);
    if (v == X509_V_ERR_HOSTNAME_MISMATCH || v == X509_V_ERR_IP_ADDRESS_MISMATCH)
        t->failure = kTlsFailNameMismatch;
    else if (v != X509_V_OK)
        t->failure = kTlsFailUntrusted;
    else
        t->failure = kTlsFailHandshake;
    ERR_clear_error();
    return -1;
}

int32_t TlsFailureOf(const TlsSession *t) { return t->failure; }

int32_t TlsRead(TlsSession *t, void *buf, int32_t n) {
    if (n <= 0) return kTlsFailed;
    ERR_clear_error();
    size_t got = 0;
    int r = SSL_read_ex(t->ssl, buf, static_cast<size_t>(n), &got);
    if (r == 1) return static_cast<int32_t>(got);
    int32_t o = Outcome(t->ssl, r);
    ERR_clear_error();
    return o;
}

int32_t TlsPeek(TlsSession *t, void *buf, int32_t n) {
    if (n <= 0) return kTlsFailed;
    ERR_clear_error();
    size_t got = 0;
    int r = SSL_peek_ex(t->ssl, buf, static_cast<size_t>(n), &got);
    if (r == 1) return static_cast<int32_t>(got);
    int32_t o = Outcome(t->ssl, r);
    ERR_clear_error();
    return o;
}

int32_t TlsWrite(TlsSession *t, const void *buf, int32_t n) {
    if (n <= 0) return kTlsFailed;
    ERR_clear_error();
    size_t put = 0;
    int r = SSL_write_ex(t->ssl, buf, static_cast<size_t>(n), &put);
    if (r == 1) return static_cast<int32_t>(put);
    int32_t o = Outcome(t->ssl, r);
    ERR_clear_error();
    return o == kTlsClosed ? kTlsFailed : o;
}

int32_t TlsPending(TlsSession *t) { return SSL_pending(t->ssl); }

bool TlsHasBufferedInput(TlsSession *t) { return SSL_has_pending(t->ssl) == 1; }

bool TlsPeerClosed(TlsSession *t) { return (SSL_get_shutdown(t->ssl) & SSL_RECEIVED_SHUTDOWN) != 0; }

void TlsFree(TlsSession *t, bool notify) {
    if (t == nullptr) return;
    if (notify && SSL_is_init_finished(t->ssl)) {
        ERR_clear_error();
        SSL_shutdown(t->ssl); // sends close_notify; the peer's answer is not waited for
    }
    SSL_free(t->ssl);
    OPENSSL_free(t);
    ERR_clear_error();
}

const char *TlsProtocolName(const TlsSession *t) {
    return SSL_is_init_finished(t->ssl) ? SSL_get_version(t->ssl) : "";
}

const char *TlsCipherName(const TlsSession *t) {
    const SSL_CIPHER *c = SSL_get_current_cipher(t->ssl);
    return c != nullptr && SSL_is_init_finished(t->ssl) ? SSL_CIPHER_get_name(c) : "";
}

int32_t TlsVerifyText(const TlsSession *t, char *text, int32_t size) {
    if (size <= 0) return 0;
    const char *s = X509_verify_cert_error_string(SSL_get_verify_result(t->ssl));
    int32_t n = static_cast<int32_t>(std::strlen(s));
    if (n > size - 1) n = size - 1;
    std::memcpy(text, s, static_cast<size_t>(n));
    text[n] = 0;
    return n;
}

void TlsShutdown() {
    std::lock_guard<std::mutex> lk(gContextLock);
    SSL_CTX_free(gContext);
    gContext = nullptr;
    // The BIO method stays: sessions of other threads may still hold it until their close.
}

} // namespace zem
