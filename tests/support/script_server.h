// Scripted loopback server for protocol tests of the SMTP and POP3 clients.
//
// A test writes the conversation the server side should have, starts the server, points
// the client at port(), and afterwards checks Finish(), received() and errors():
//
//   zt::Script s = {
//       zt::Send("220 mail.test ESMTP\r\n"),     // bytes exactly as given
//       zt::Expect("EHLO zem.test"),             // next client line must be this + "\r\n"
//       zt::Reply("250 mail.test"),              // like Send, "\r\n" appended
//       zt::ExpectData(),                        // lines up to and including ".\r\n"
//       zt::Close(),
//   };
//   zt::ScriptServer srv(s);
//   ... run the client against srv.port() ...
//   EXPECT_TRUE(srv.Finish(5000));
//
// Behaviour worth knowing:
// - After the last step the connection is held: the server keeps reading (and recording
//   into received()) until the client closes or the server is destroyed. A QUIT the
//   script does not expect therefore lands in received() without being answered. Finish()
//   only waits for the steps; WaitDisconnected() also waits for the client to go away,
//   which makes bytes sent after the last step reliably visible in received().
// - A failed Expect (wrong line, time-out, end of stream) records an error, closes the
//   connection and ends the script; Finish() then returns false.
// - Close() ends the script; steps after it are not run and count as an error.
// - Never() ends the script too (Finish() counts it as reached) but the server neither
//   reads nor writes any more: the client sees a server that never answers, and its
//   writes eventually stall because nobody drains the socket.
// - received(i) holds what the steps consumed, in order, plus anything read afterwards.
//   ExpectData(false) leaves the message body out (only its ".\r\n" line is kept) so a
//   10 MB benchmark message costs no memory; dataBytes(i) still counts it.
// - Destroying the server stops every thread within a fraction of a second, whatever
//   step it is in, even while a client is connected and silent.
#ifndef ZT_SCRIPT_SERVER_H
#define ZT_SCRIPT_SERVER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zt {

// One step of a conversation; build steps with the functions below.
struct Step {
    enum class Kind { Send, SendChunks, SendFile, Expect, ExpectPrefix, ExpectAny, ExpectData,
                      Pause, Close, WaitClose, Never, StartTls, CloseNoNotify, ReceiveBuffer };
    Kind kind = Kind::Send;
    std::string text;                 // bytes to send, expected line or prefix, or file path
    std::vector<std::string> chunks;  // SendChunks only
    int ms = 0;                       // time limit, or delay for Pause and SendChunks
    bool record = true;               // ExpectData: keep the body
};

using Script = std::vector<Step>;

constexpr int kDefaultStepTimeoutMs = 10000;

// Sends bytes exactly as given (any size; partial writes are continued).
Step Send(std::string bytes);
// Sends text + "\r\n".
Step Reply(std::string text);
// Sends each chunk as its own write, sleeping delayMs between chunks (not after the last).
Step SendChunks(std::vector<std::string> chunks, int delayMs);
// Sends the contents of a file, read when the step runs; an unreadable file is an error.
Step SendFile(std::string path);
// Reads one line (through LF) within timeoutMs; it must equal line + "\r\n".
Step Expect(std::string line, int timeoutMs = kDefaultStepTimeoutMs);
// Reads one line within timeoutMs; it must start with prefix.
Step ExpectPrefix(std::string prefix, int timeoutMs = kDefaultStepTimeoutMs);
// Reads one line within timeoutMs, whatever it holds.
Step ExpectAny(int timeoutMs = kDefaultStepTimeoutMs);
// Reads lines up to and including the line ".\r\n" (RFC 5321 section 4.1.1.4). The body is
// kept as received, dot-stuffing untouched, each line with the time it arrived. The limit applies to silence: the step fails
// when the client sends nothing for idleTimeoutMs, so large bodies never time out while
// they flow. With record == false the body is only counted.
Step ExpectData(bool record = true, int idleTimeoutMs = kDefaultStepTimeoutMs);
// Sleeps (cut short when the server is destroyed).
Step Pause(int ms);
// Caps the connection's receive buffer (SO_RCVBUF) at about bytes, so a client's writes
// stall while the script does not read. Put it first, before any data flows.
Step ReceiveBuffer(int bytes);
// Closes the connection now: the client reads end of stream. Ends the script.
Step Close();
// Reads, recording, until the client closes; fails after timeoutMs.
Step WaitClose(int timeoutMs = kDefaultStepTimeoutMs);
// Does nothing more but keeps the connection open until the server is destroyed.
Step Never();
// Runs the server side of a TLS handshake with the certificate `cert` of the test
// certificates (CertPath(cert + ".pem") and its key): "server" (localhost, 127.0.0.1,
// ::1, from the test CA), "expired", "other" (other.invalid), "self" (self-signed).
// From then on every step reads and writes through TLS; received() keeps the decrypted
// bytes only. A handshake the client breaks off is a failure of the step. As the first
// step it makes an implicit-TLS server; after Send("220 go ahead\r\n") a STARTTLS one
// (bytes sent between the two are the plaintext injection of an attacker).
Step StartTls(std::string cert = "server", int timeoutMs = kDefaultStepTimeoutMs);
// Ends the connection like Close() but, under TLS, without close_notify: the client sees
// a truncated TLS stream.
Step CloseNoNotify();

// Where the test certificates live (made by tests/support/make_test_certs.sh at build
// time): CertPath("ca.pem"), CertPath("cadir"), ...
std::string CertPath(const std::string& name);

class ScriptServer {
public:
    // Listens on 127.0.0.1 at a port chosen by the system and serves up to `connections`
    // connections, each in its own thread running the whole script. Throws
    // std::runtime_error when the socket cannot be set up.
    explicit ScriptServer(Script script, int connections = 1);
    // As above, listening on ::1 instead of 127.0.0.1 when ipv6 is set.
    ScriptServer(Script script, int connections, bool ipv6);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    int port() const { return port_; }

    // Waits at most timeoutMs until every expected connection has come and run its script
    // to the end. True when that happened and no step failed.
    bool Finish(int timeoutMs);
    // Waits at most timeoutMs until every expected connection has come and been closed
    // (by the client, by Close() or after a failure). Never() connections only end with
    // the server, so this returns false for them.
    bool WaitDisconnected(int timeoutMs);

    // Bytes received on connection i (accept order); empty for a connection not yet seen.
    std::string received(int i = 0) const;
    // Body of the last ExpectData of connection i, without its ".\r\n" line.
    std::string data(int i = 0) const;
    // Size of that body, counted even when it was not recorded.
    std::size_t dataBytes(int i = 0) const;
    // The lines of data(i), each with the time the read that brought its end returned:
    // how a client paced its writes.
    struct TimedLine {
        std::string text;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<TimedLine> dataLines(int i = 0) const;
    // Failures of all connections; with more than one connection each starts with
    // "connection i: ".
    std::vector<std::string> errors() const;
    // Failures of connection i only, without prefix.
    std::vector<std::string> errors(int i) const;
    // Connections accepted so far.
    int accepted() const;
    // The TLS protocol the server side of connection i negotiated ("TLSv1.3"), empty when
    // no handshake completed.
    std::string tlsProtocol(int i = 0) const;

private:
    struct Conn {
        std::string received;
        std::string data;
        std::vector<std::chrono::steady_clock::time_point> dataTimes;  // one per line of data
        std::size_t dataBytes = 0;
        std::vector<std::string> errors;
        bool ended = false;   // the steps are over: all ran (Never() counts) or one failed
        bool closed = false;  // socket closed, thread about to end
        std::string tlsProtocol;
    };
    class Session;

    void Listen(bool ipv6);
    void AcceptLoop();
    void Serve(int fd, Conn* conn);
    bool AllConns(bool Conn::*flag) const;  // caller holds mu_

    const Script script_;
    const int connections_;
    int listenFd_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};  // read end becomes readable once, for good, on destruction

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Conn>> conns_;  // guarded by mu_

    std::vector<std::thread> workers_;  // touched by the accept thread only, then joined
    std::thread acceptor_;
};

// A loopback port where nothing listens (bound once to port 0, then released), for
// "connection refused" cases.
int UnusedPort();

// Whole file as bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file with bytes; throws std::runtime_error on failure.
void WriteFile(const std::string& path, const std::string& bytes);
// Creates a fresh directory /tmp/zem-test-XXXXXX and returns its path; throws on failure.
std::string TempDir();

}  // namespace zt

#endif
