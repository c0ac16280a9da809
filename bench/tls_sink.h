// A fast SMTP sink over implicit TLS for the send benchmarks: one thread, one connection at
// a time, commands answered line by line, the message read in 64 KiB records and only
// counted. The scripted test server checks every line and is far slower than any client on
// bulk data; this one lets the client's own speed show.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace zb {

class TlsSink {
public:
    TlsSink(const std::string &certPem, const std::string &keyPem) {
        ctx_ = SSL_CTX_new(TLS_server_method());
        if (ctx_ == nullptr || SSL_CTX_use_certificate_chain_file(ctx_, certPem.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx_, keyPem.c_str(), SSL_FILETYPE_PEM) != 1)
            return;
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_, 4) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~TlsSink() {
        stop_ = true;
        if (listen_ >= 0) shutdown(listen_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (listen_ >= 0) close(listen_);
        SSL_CTX_free(ctx_);
    }
    int port() const { return port_; }
    // DATA bytes of the last message, its end line included; 0 while none has ended.
    size_t lastDataBytes() const { return lastData_.load(); }
    int sessions() const { return sessions_.load(); }

private:
    void Run() {
        while (!stop_) {
            int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            Serve(c);
            close(c);
        }
    }

    bool Say(SSL *ssl, const char *text) { return SSL_write(ssl, text, static_cast<int>(std::strlen(text))) > 0; }

    // One command line out of the buffer, reading more records as needed.
    bool Line(SSL *ssl, std::string &line) {
        for (;;) {
            size_t e = in_.find("\r\n");
            if (e != std::string::npos) {
                line = in_.substr(0, e);
                in_.erase(0, e + 2);
                return true;
            }
            char b[4096];
            int n = SSL_read(ssl, b, sizeof b);
            if (n <= 0) return false;
            in_.append(b, static_cast<size_t>(n));
        }
    }

    // The message up to its end line. The client says nothing more before the reply, so
    // the end line is the stream's last five bytes; only those are kept.
    bool Data(SSL *ssl) {
        static char buf[64 * 1024];
        size_t total = in_.size();
        std::string last = in_.size() > 5 ? in_.substr(in_.size() - 5) : in_;
        in_.clear();
        while (last != "\r\n.\r\n") {
            int n = SSL_read(ssl, buf, sizeof buf);
            if (n <= 0) return false;
            total += static_cast<size_t>(n);
            if (n >= 5) {
                last.assign(buf + n - 5, 5);
            } else {
                last.append(buf, static_cast<size_t>(n));
                if (last.size() > 5) last.erase(0, last.size() - 5);
            }
        }
        lastData_ = total;
        return true;
    }

    void Serve(int c) {
        SSL *ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, c);
        in_.clear();
        if (SSL_accept(ssl) == 1 && Say(ssl, "220 sink ESMTP\r\n")) {
            std::string line;
            while (Line(ssl, line)) {
                const std::string verb = line.substr(0, 4);
                if (verb == "QUIT") {
                    Say(ssl, "221 bye\r\n");
                    break;
                }
                if (verb == "DATA") {
                    if (!Say(ssl, "354 go\r\n") || !Data(ssl) || !Say(ssl, "250 queued\r\n")) break;
                    continue;
                }
                if (!Say(ssl, verb == "EHLO" ? "250-sink\r\n250 8BITMIME\r\n" : "250 ok\r\n")) break;
            }
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ++sessions_;
    }

    SSL_CTX *ctx_ = nullptr;
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> lastData_{0};
    std::atomic<int> sessions_{0};
    std::string in_;
};

} // namespace zb
