// libFuzzer target for the incoming MIME decoder: arbitrary line sequences go through the
// decoder's line entry (FeedDecoderLine) the way the line-mode save hands them over, with a
// real message file and a real attachment directory: nested boundaries, RFC 2231
// parameters, encoded words in any charset (iconv), attached messages saved whole.
//
// The first input byte chooses the set-up:
//   bits 0-2  starting decoder state (2 to 6; 0 and 7 give 2)
//   bit 3     numbered attachment names (code 10)
//   bit 4     save unnamed base64 parts (code 14)
//   bit 5     no attachment-saved line in the message file (code 21)
//   bit 6     another attachment directory: with a trailing '/' when bit 0 is set, else
//             one too long for any attachment path to fit
//   bit 7     the feeder knows the next line's first byte (as when it has already
//             arrived); otherwise every header line that may be folded is kept back
// The second byte:
//   bit 0     code 72: file names and Subject/From texts in UTF-8
//   bit 1     code 73: attached messages saved whole
//   bit 2     the old single-line handler (MimeLineHandler) instead of the line entry
// The rest is split at LF into lines of at most 1,023 bytes.
//
// ASan sees overflows of the channel record as a whole; writes from one buffer of the record
// into its neighbour are caught by the canaries checked after every line.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "codec/codec.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "mime/decoder_area.h"
#include "mime/message_file.h"
#include "mime/mime_decoder.h"

using namespace zem;

namespace {

std::string gDir;             // per-process scratch directory
alignas(64) unsigned char gRecord[kChannelBlockSize];
unsigned long gRuns = 0;

constexpr unsigned char kCanary = 0xA5;

// Buffers the decoder must never write into.
template <size_t N>
void Fill(char (&b)[N]) { std::memset(b, kCanary, N); }
unsigned char gCanaryBlock[kBufferSize];

template <size_t N>
void Check(const char (&b)[N], const char *name) {
    static_assert(N <= kBufferSize, "canary block too small");
    if (std::memcmp(b, gCanaryBlock, N) == 0) return;
    for (size_t i = 0; i < N; ++i)
        if (static_cast<unsigned char>(b[i]) != kCanary) std::fprintf(stderr, "canary of %s changed at %zu\n", name, i);
    std::abort();
}

template <size_t N>
void CheckTerminated(const char (&b)[N], const char *name) {
    if (std::memchr(b, 0, N) == nullptr) {
        std::fprintf(stderr, "%s is not terminated\n", name);
        std::abort();
    }
}

void CheckRecord(const Channel &ch) {
    Check(ch.CmdBuffer, "CmdBuffer");
    Check(ch.ReadAhead, "ReadAhead");
    Check(ch.LastReply, "LastReply");
    Check(ch.EmailPath, "EmailPath");
    Check(ch.CommandText, "CommandText");
    CheckTerminated(ch.MimeBoundary, "MimeBoundary");
    CheckTerminated(ch.AltBoundary, "AltBoundary");
    CheckTerminated(ch.Filename, "Filename");
    CheckTerminated(ch.AttachPath, "AttachPath");
    CheckTerminated(ch.SavedList, "SavedList");
    if (ch.BoundaryLen < 0 || ch.BoundaryLen > 128 || ch.AltBoundaryLen < 0 || ch.AltBoundaryLen > 128) {
        std::fprintf(stderr, "boundary length out of range\n");
        std::abort();
    }
    if (std::strlen(ch.Filename) > 128 || std::strlen(ch.SavedList) > 1025) {
        std::fprintf(stderr, "name or list too long\n");
        std::abort();
    }
}

// What the line-mode save did with a line the single-line handler hands back.
void SaveLine(Channel &ch) {
    if (MimeLineHandler(ch) != 1) return;
    const char *line = ch.ReplyBuffer;
    int32_t n = static_cast<int32_t>(std::strlen(line));
    if (ch.MimeEncoding == 3) {
        char decoded[kBufferSize];
        n = QpDecodeLine(line, decoded, kBufferSize);
        WriteToEmailFile(ch, decoded, n);
    } else {
        WriteToEmailFile(ch, line, n);
    }
}

void CheckArea(Channel &ch) {
    const DecoderArea &d = Decoder(ch);
    if (d.HeldLen < 0 || d.HeldLen > kHeldMax || d.Depth < 0 || d.Depth > kMaxNesting || d.EmlFill < 0 ||
        d.EmlFill > kWriteBlock || d.AttFill < 0 || d.AttFill > kWriteBlock || d.NameCount < 0 || d.NameCount > kNamesKept) {
        std::fprintf(stderr, "decoder area out of range\n");
        std::abort();
    }
    CheckTerminated(d.EmlName, "EmlName");
    CheckTerminated(d.EmlPath, "EmlPath");
    for (int i = 2; i < d.Depth; ++i)
        if (d.BoundLens[i] < 0 || d.BoundLens[i] > 128) {
            std::fprintf(stderr, "nested boundary length out of range\n");
            std::abort();
        }
}

void RunLines(Channel &ch, const uint8_t *data, size_t size, bool knowNext, bool single) {
    size_t pos = 0;
    while (pos < size) {
        size_t n = 0;
        while (pos + n < size && n < 1023) {
            ++n;
            if (data[pos + n - 1] == '\n') break;
        }
        std::memcpy(ch.ReplyBuffer, data + pos, n);
        ch.ReplyBuffer[n] = 0;
        pos += n;
        if (single) {
            SaveLine(ch);
        } else {
            const int32_t next = knowNext && pos < size ? data[pos] : kNextUnknown;
            FeedDecoderLine(ch, ch.ReplyBuffer, static_cast<int32_t>(n), next);
        }
        CheckRecord(ch);
        CheckArea(ch);
    }
    if (!single) FinishDecoder(ch);
}

void ClearDir() {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(gDir, ec)) std::filesystem::remove_all(e.path(), ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Memory-backed when possible: truncating and rewriting files on a journalling disk
    // flushes at every close and slows the run a hundredfold.
    char tmpl[] = "/dev/shm/zem-mime-fuzz-XXXXXX";
    char fallback[] = "/tmp/zem-mime-fuzz-XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (d == nullptr) d = mkdtemp(fallback);
    if (d == nullptr) std::abort();
    gDir = d;
    std::memset(gCanaryBlock, kCanary, sizeof gCanaryBlock);
    gSettings.pop3DataWait = 0;
    gSettings.replyTimeout = 0;
    gSettings.pollInterval = 0;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(gDir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 65536) return 0;
    const uint8_t mode = data[0];
    const uint8_t more = data[1];
    data += 2;
    size -= 2;

    std::memset(gRecord, 0, sizeof gRecord);
    Channel &ch = *new (gRecord) Channel();
    Fill(ch.CmdBuffer);
    Fill(ch.ReadAhead);
    Fill(ch.LastReply);
    Fill(ch.EmailPath);
    Fill(ch.CommandText);
    ch.Socket = -1;

    int32_t start = mode & 7;
    ch.DecodeState = (start >= 2 && start <= 6) ? start : 2;
    ch.NumberedNames = (mode & 8) ? 1 : 0;
    ch.SaveNoname = (mode & 16) ? 1 : 0;
    gSettings.noSavedNote = (mode & 32) ? 1 : 0;
    std::string attachDir = gDir + "/att";
    if (mode & 64) attachDir = (mode & 1) ? gDir + "/att/" : gDir + "/" + std::string(118, 'd');
    std::filesystem::create_directories(gDir + "/att");
    std::snprintf(ch.AttachDir, sizeof ch.AttachDir, "%s", attachDir.c_str());
    ch.AttachNumber = 2147483600 + static_cast<int32_t>(gRuns % 40); // numbered names near the wrap
    // A boundary and a file name kept from an earlier message, as after a real retrieval.
    std::snprintf(ch.Filename, sizeof ch.Filename, "%s", "earlier.bin");
    std::snprintf(ch.AltBoundary, sizeof ch.AltBoundary, "%s", "--alt");
    ch.AltBoundaryLen = 5;
    ch.Utf8Names = (more & 1) ? 1 : 0;
    ch.SaveMessages = (more & 2) ? 1 : 0;
    ResetDecoder(ch);

    const std::string msg = gDir + "/message.txt";
    ch.EmailFile = FileReplace(msg.c_str(), false);
    if (ch.EmailFile <= 0) std::abort();

    RunLines(ch, data, size, (mode & 128) != 0, (more & 4) != 0);

    CloseAttachmentFile(ch);
    CheckRecord(ch);
    FileClose(ch.EmailFile);
    ch.EmailFile = 0;
    ch.~Channel();
    if (++gRuns % 256 == 0) ClearDir();
    return 0;
}
