// Base64 through the exported buffer codecs, file to file, for the peer comparison:
//
//   codec_bench enc INPUT [OUTPUT]    zemEncodeBuffer, 57-byte lines with CR LF
//   codec_bench dec INPUT [OUTPUT]    zemDecodeBuffer on CR LF (or LF) separated lines
//
// OUTPUT defaults to /dev/null. The input is read in large pieces: the encoder takes whole
// 57-byte lines per piece, the decoder whole lines (a piece ends after its last LF), so
// the result equals one call over the whole file. Exit status 0 on success.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "zem32.h"

namespace {

bool WriteAll(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads until the buffer is full or the file ends; returns the bytes read, -1 on error.
ssize_t ReadFull(int fd, char *p, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, p + got, n - got);
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

int Encode(int in, int out) {
    const size_t piece = 57 * 16384; // about 0.9 MiB of input per call
    std::vector<char> buf(piece), enc(piece / 57 * 78 + 78);
    for (;;) {
        ssize_t n = ReadFull(in, buf.data(), piece);
        if (n < 0) return 1;
        if (n == 0) return 0;
        int32_t k = zemEncodeBuffer(buf.data(), enc.data(), static_cast<int32_t>(n));
        if (k < 0 || !WriteAll(out, enc.data(), static_cast<size_t>(k))) return 1;
        if (static_cast<size_t>(n) < piece) return 0;
    }
}

int Decode(int in, int out) {
    const size_t piece = 1 << 20;
    std::vector<char> buf(piece + 4096), dec(piece + 4096);
    size_t kept = 0; // bytes of an unfinished line carried to the next piece
    for (;;) {
        ssize_t n = ReadFull(in, buf.data() + kept, piece);
        if (n < 0) return 1;
        size_t have = kept + static_cast<size_t>(n);
        bool last = static_cast<size_t>(n) < piece;
        size_t upto = have;
        if (!last) {
            const void *lf = nullptr;
            for (size_t i = have; i > 0 && lf == nullptr; --i)
                if (buf[i - 1] == '\n') lf = &buf[i - 1];
            if (lf == nullptr) return 1; // a line longer than a piece
            upto = static_cast<size_t>(static_cast<const char *>(lf) - buf.data()) + 1;
        }
        if (upto > 0) {
            int32_t k = zemDecodeBuffer(buf.data(), dec.data(), static_cast<int32_t>(upto));
            if (k < 0 || !WriteAll(out, dec.data(), static_cast<size_t>(k))) return 1;
        }
        if (last) return 0;
        kept = have - upto;
        std::memmove(buf.data(), buf.data() + upto, kept);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3 || (std::strcmp(argv[1], "enc") != 0 && std::strcmp(argv[1], "dec") != 0)) {
        std::fprintf(stderr, "usage: codec_bench enc|dec INPUT [OUTPUT]\n");
        return 2;
    }
    int in = open(argv[2], O_RDONLY);
    int out = open(argc > 3 ? argv[3] : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) {
        std::perror("open");
        return 1;
    }
    int rc = argv[1][0] == 'e' ? Encode(in, out) : Decode(in, out);
    close(in);
    if (close(out) != 0) rc = 1;
    if (rc != 0) std::fprintf(stderr, "codec_bench: failed\n");
    return rc;
}
