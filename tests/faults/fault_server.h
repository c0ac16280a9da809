// A loopback server for the fault-injection suite: it plays one conversation, exchange by
// exchange, and at one chosen exchange misbehaves instead of answering.
//
// An exchange reads what the client sends first (one line, or a whole DATA body up to
// ".\r\n", or nothing for a greeting) and then sends its reply. At the faulty exchange the
// server reads the command as usual and then, instead of the reply, stalls, closes, resets,
// sends garbage or NUL bytes, floods, or lies. After a destructive fault it only reads and
// discards until the client goes away; after a lie it goes on with the conversation.
//
// Floods are endless: they stop only when the client closes or resets the connection, or
// when the server is destroyed (destruction stops the thread within a fraction of a second
// whatever it is doing). A client that keeps reading a flood for ever therefore shows up as
// a hang in the case that drives it, never as a quiet pass.
#ifndef ZEM_FAULT_SERVER_H
#define ZEM_FAULT_SERVER_H

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zf {

enum class Fault {
    None,
    Stall,          // never answers; keeps reading
    Close,          // orderly close (FIN) instead of the reply
    Reset,          // abortive close (RST)
    Garbage,        // random bytes with line ends
    NulBytes,       // a reply line full of NUL bytes
    FloodMultiline, // an endless multi-line reply (SMTP "250-...", POP3 listing lines)
    LongLine,       // one line of 10 MB
    NeverEnding,    // a positive status, then message lines for ever with no end line
    TinyLines,      // a positive status, then a million lines of one character, then the end
    WrongCode,      // a reply of the wrong kind (SMTP 354 for 250 and back; POP3 -ERR)
    SecondReply,    // the right reply followed at once by a second one, unasked
};
const char *FaultName(Fault f);
std::vector<Fault> AllFaults();

struct Exchange {
    enum class Read { Nothing, Line, Data } read = Read::Line;
    std::string reply; // bytes as sent, line ends included
    bool positive = true;
};

enum class Protocol { Smtp, Pop3 };

class FaultServer {
public:
    // Listens on 127.0.0.1 (port chosen by the system) for one connection.
    FaultServer(Protocol proto, std::vector<Exchange> dialogue, int faultAt, Fault fault);
    ~FaultServer();
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    int port() const { return port_; }
    // True once the faulty exchange was reached (its fault injected).
    bool injected() const { return injected_.load(); }
    // Bytes written by the fault (floods), for the report.
    long long faultBytes() const { return faultBytes_.load(); }

private:
    void Run();
    bool ReadLine(int fd, std::string *line);
    bool ReadData(int fd);
    bool SendAll(int fd, const std::string &bytes);
    void Drain(int fd);
    void Inject(int fd, const Exchange &ex);

    Protocol proto_;
    std::vector<Exchange> dialogue_;
    int faultAt_;
    Fault fault_;
    int listenFd_ = -1;
    int port_ = 0;
    std::string inbuf_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> injected_{false};
    std::atomic<long long> faultBytes_{0};
    std::thread thread_;
};

// The conversations the suite plays; index = exchange number.
std::vector<Exchange> SmtpDialogue();
std::vector<Exchange> Pop3Dialogue();
// The message the POP3 dialogue's RETR and TOP answer with (dot-stuffed, without the end line).
std::string Pop3Message();

} // namespace zf

#endif
