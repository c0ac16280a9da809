// TLS client sessions over a connected socket. This is the only place that knows OpenSSL;
// the layers above see an opaque session and the small set of outcomes below. Every call
// is non-blocking: the socket stays non-blocking while a session lives on it, and a call
// that cannot go on reports which readiness it waits for (a write may wait for a read,
// a read for a write, for renegotiation and key updates).
#pragma once
#include <cstdint>

namespace zem {

struct TlsSession; // opaque

// Outcomes of TlsHandshake, TlsRead and TlsWrite besides a byte count.
constexpr int32_t kTlsWantRead = -2;  // call again once the socket is readable
constexpr int32_t kTlsWantWrite = -3; // call again once the socket is writable
constexpr int32_t kTlsClosed = 0;     // the peer ended the stream with close_notify
constexpr int32_t kTlsFailed = -1;    // broken stream (truncated, bad record, socket error)

// Why a handshake failed.
enum TlsFailure : int32_t {
    kTlsFailNone = 0,
    kTlsFailHandshake = 1,   // protocol, version or cipher trouble, or the peer went away
    kTlsFailUntrusted = 2,   // the certificate chain did not verify
    kTlsFailNameMismatch = 3, // the chain verified but not for the server name
    kTlsFailLocalFiles = 4,  // the CA file/dir or the client certificate/key could not be used
};

struct TlsOptions {
    const char *serverName; // sent as SNI (host names only) and checked against the certificate
    const char *caFile;     // empty or null: the system trust store
    const char *caDir;
    const char *certFile;   // client certificate (PEM), empty for none
    const char *keyFile;    // its key; empty: the key is taken from certFile
    bool verify;
};

// Creates the session on socket s (which the call makes non-blocking). Null with *failure
// set when it cannot be made (no memory, unusable local files).
TlsSession *TlsOpen(int32_t s, const TlsOptions &opt, int32_t *failure);
// 1 when the handshake is complete, kTlsWantRead/kTlsWantWrite, or -1 with Failure() set.
int32_t TlsHandshake(TlsSession *t);
int32_t TlsFailureOf(const TlsSession *t);
// Bytes read (> 0), kTlsClosed, kTlsWantRead/kTlsWantWrite or kTlsFailed.
int32_t TlsRead(TlsSession *t, void *buf, int32_t n);
// As TlsRead, but the bytes stay in the session for the next read.
int32_t TlsPeek(TlsSession *t, void *buf, int32_t n);
// Bytes written (> 0), kTlsWantRead/kTlsWantWrite or kTlsFailed. After a want, the next
// call must offer the same bytes again (a moving buffer is accepted).
int32_t TlsWrite(TlsSession *t, const void *buf, int32_t n);
// Decrypted bytes waiting inside the session: input the socket poll cannot see.
int32_t TlsPending(TlsSession *t);
// Bytes of TLS records already received from the socket and not yet decrypted.
bool TlsHasBufferedInput(TlsSession *t);
// True once the peer's close_notify has been read: the end stays readable after it,
// whether or not the socket's own end has come yet.
bool TlsPeerClosed(TlsSession *t);
// Sends close_notify when notify is set (one attempt, never waits) and frees the session.
void TlsFree(TlsSession *t, bool notify);
// The negotiated protocol ("TLSv1.3") and cipher names; "" before the handshake ends.
const char *TlsProtocolName(const TlsSession *t);
const char *TlsCipherName(const TlsSession *t);
// The certificate verification result as text ("ok" when it verified); NUL-terminated,
// cut to size - 1. Returns the length.
int32_t TlsVerifyText(const TlsSession *t, char *text, int32_t size);
// The library-wide context is made on first use; this frees it (library release).
void TlsShutdown();

} // namespace zem
